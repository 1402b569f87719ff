// The client's windows and state, set up in-process for each client test.
#include "tests/wine/client_fixture.h"

#include <stdio.h>
#include <string.h>

#include "client/connection.h"
#include "client/receive.h"

int g_destroy_requests;
std::string g_memo_folder;
static std::string original_folder;

static LRESULT CALLBACK test_main_procedure(HWND window, UINT message, WPARAM wparam,
                                            LPARAM lparam) {
    if (message == WM_DESTROY) {
        g_destroy_requests++;
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

static const char TEST_MAIN_CLASS[] = "vantrel_client_test";

static void register_class_once(void) {
    static bool registered = false;
    if (registered) {
        return;
    }
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    WNDCLASSA wc;
    ZeroMemory(&wc, sizeof wc);
    wc.lpfnWndProc = test_main_procedure;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = TEST_MAIN_CLASS;
    registered = RegisterClassA(&wc) != 0;
}

// The same style and set-up the program gives its edit controls, with the transcript's text limit
// lifted.  A small size, so a few lines already scroll.
static HWND make_edit(HWND parent, int id, int height) {
    HWND box = CreateWindowExA(0, "EDIT", "",
                               WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL |
                                   ES_AUTOHSCROLL | ES_WANTRETURN,
                               0, 0, 300, height, parent, (HMENU)(INT_PTR)id,
                               GetModuleHandleA(NULL), NULL);
    return box;
}

// A deadlock (a disconnect waiting for a thread that waits for it) would hold the whole run until
// ctest gives up; this ends it at once and says which test hung.
enum { TEST_TIME_LIMIT_MS = 30000 };
static HANDLE test_finished;
static HANDLE watchdog_thread;
static char running_test[256];

static DWORD WINAPI watchdog(LPVOID) {
    if (WaitForSingleObject(test_finished, TEST_TIME_LIMIT_MS) == WAIT_TIMEOUT) {
        fprintf(stderr, "\n%s did not finish within %d s: deadlocked\n", running_test,
                TEST_TIME_LIMIT_MS / 1000);
        fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    return 0;
}

static void start_watchdog(void) {
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    snprintf(running_test, sizeof running_test, "%s.%s", test->test_suite_name(), test->name());
    test_finished = CreateEventA(NULL, TRUE, FALSE, NULL);
    watchdog_thread = CreateThread(NULL, 0, watchdog, NULL, 0, NULL);
}

static void stop_watchdog(void) {
    SetEvent(test_finished);
    WaitForSingleObject(watchdog_thread, INFINITE);
    CloseHandle(watchdog_thread);
    CloseHandle(test_finished);
}

void ClientTest::SetUp() {
    start_watchdog();
    register_class_once();
    client_state *cs = &g_client;
    cs->main_window = CreateWindowExA(0, TEST_MAIN_CLASS, "client test", WS_OVERLAPPEDWINDOW, 0, 0,
                                      550, 600, NULL, NULL, GetModuleHandleA(NULL), NULL);
    ASSERT_NE(cs->main_window, (HWND)NULL);
    cs->transcript_box = make_edit(cs->main_window, 101, 80);
    SendMessageA(cs->transcript_box, EM_SETREADONLY, 1, 0);
    SendMessageA(cs->transcript_box, EM_SETLIMITTEXT, 0, 0);
    cs->member_list = make_edit(cs->main_window, 104, 80);
    SendMessageA(cs->member_list, EM_SETREADONLY, 1, 0);
    cs->input_box = make_edit(cs->main_window, 102, 80);
    SendMessageA(cs->input_box, EM_LIMITTEXT, 511, 0);
    cs->send_button = NULL;
    ASSERT_TRUE(cs->transcript_box && cs->member_list && cs->input_box);

    cs->name[0] = '\0';
    cs->server[0] = '\0';
    cs->pending_entry.clear();
    cs->receive_start = receive_loop;
    g_destroy_requests = 0;
    server.listener = INVALID_SOCKET;
    peer.socket = INVALID_SOCKET;

    char here[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(sizeof here, here);
    original_folder = length > 0 && length < sizeof here ? here : "";
    g_memo_folder = make_memo_folder("");
    ASSERT_FALSE(g_memo_folder.empty());
    ASSERT_TRUE(SetCurrentDirectoryA(g_memo_folder.c_str()));
}

void ClientTest::TearDown() {
    // A box left up by a failed test would hold the receive thread, and the disconnect below
    // would wait for it forever.  Once disconnect has raised its stop flag no new box comes.
    HWND box;
    while ((box = wait_for_message_box("ERROR", 0)) != NULL) {
        answer_message_box(box, IDOK);
    }
    disconnect_from_server();
    test_peer_close(&peer);
    test_server_close(&server);
    DestroyWindow(g_client.main_window);
    g_client.main_window = g_client.transcript_box = NULL;
    g_client.member_list = g_client.input_box = NULL;
    pump_messages(0);
    if (!original_folder.empty()) {
        SetCurrentDirectoryA(original_folder.c_str());
    }
    remove_memo_folder(g_memo_folder);
    stop_watchdog();
}

void ClientTest::start(const char *address) {
    ASSERT_TRUE(test_server_open(&server, address));
    use_memo(std::string("name=Taro;\r\nserver=") + address + ";\r\n");
    strcpy(g_client.name, "Taro");
    ASSERT_EQ(connect_once(), 0);
    accept_client(&server, &peer);
}

void use_memo(const std::string &memo_ini) {
    ASSERT_TRUE(write_memo_ini(g_memo_folder, memo_ini));
}

std::string window_text(HWND window) {
    int length = GetWindowTextLengthA(window);
    std::string text((size_t)length + 1, '\0');
    int got = GetWindowTextA(window, &text[0], length + 1);
    text.resize(got < 0 ? 0 : (size_t)got);
    return text;
}

struct text_wait {
    HWND window;
    const std::string *text;
};

static bool text_is(void *context) {
    text_wait *wait = (text_wait *)context;
    return window_text(wait->window) == *wait->text;
}

bool wait_for_text(HWND window, const std::string &text, int timeout_ms) {
    text_wait wait = {window, &text};
    return pump_until(text_is, &wait, timeout_ms);
}

static bool thread_ended(void *) {
    return g_client.receive_thread == NULL ||
           WaitForSingleObject(g_client.receive_thread, 0) == WAIT_OBJECT_0;
}

static bool never_abandoned(void) {
    return false;
}

int connect_once(void) {
    // Never set: the attempt only ends by connecting or failing.
    static const HANDLE never = CreateEventA(NULL, TRUE, FALSE, NULL);
    attempt_control control = {never, never_abandoned, false};
    return connect_to_server(&control);
}

bool wait_for_receive_thread_end(int timeout_ms) {
    return pump_until(thread_ended, NULL, timeout_ms);
}

void accept_client(test_server *server, test_peer *peer) {
    ASSERT_TRUE(test_server_accept(server, peer, 3000)) << "the client never connected";
    std::string hello;
    ASSERT_EQ(test_peer_read_frame(peer, &hello, 3000), PEER_FRAME) << "no hello came";
}

std::string frame(const std::string &payload) {
    return payload + '\x80';
}
