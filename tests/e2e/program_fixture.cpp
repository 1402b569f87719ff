// The shared set-up of the tests of the real program.
#include "tests/e2e/program_fixture.h"

#include <stdio.h>

#include "tests/wine/expected_texts.h"

char address[32];
test_server server;
test_peer peer;
launched_program program;
std::string folder;
HWND main_window;

void program_fixture_begin(int address_byte) {
    snprintf(address, sizeof address, "127.0.0.%d", address_byte);
    server.listener = INVALID_SOCKET;
    peer.socket = INVALID_SOCKET;
    peer.unread.clear();
    ZeroMemory(&program, sizeof program);
    folder.clear();
    main_window = NULL;
}

void program_fixture_end(void) {
    program_end(&program);
    test_peer_close(&peer);
    test_server_close(&server);
    remove_memo_folder(folder);
}

std::string memo_for(const char *server_address) {
    return "name=" + NAME +
           ";\r\nfont_name=IPAGothic;\r\nfont_size=10;\r\nserver=" + server_address + ";\r\n";
}

std::string frame(const std::string &payload) {
    return payload + '\x80';
}

std::string time_stamp_now(void) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[32];
    snprintf(stamp, sizeof stamp, "(%d/%02d/%02d %02d:%02d)", now.wYear, now.wMonth, now.wDay,
             now.wHour, now.wMinute);
    return stamp;
}

HWND control(int id) {
    return GetDlgItem(main_window, id);
}

void launch(const std::string &memo_ini) {
    folder = make_memo_folder(memo_ini);
    ASSERT_FALSE(folder.empty());
    ASSERT_TRUE(program_start(&program, VANTREL_EXE, folder)) << "cannot start " << VANTREL_EXE;
}

void accept_hello(test_server *listener, test_peer *into) {
    ASSERT_TRUE(test_server_accept(listener, into, WAIT_MS)) << "the program did not connect";
    std::string hello;
    ASSERT_EQ(test_peer_read_frame(into, &hello, WAIT_MS), PEER_FRAME) << "no hello came";
    ASSERT_EQ(hello, "vantrel002;" + NAME)
        << "expected " << hex_bytes("vantrel002;" + NAME) << "\ngot      " << hex_bytes(hello);
}

void start_chat(void) {
    start_chat_with(memo_for(address));
}

void start_chat_with(const std::string &memo_ini) {
    if (server.listener == INVALID_SOCKET) {
        ASSERT_TRUE(test_server_open(&server, address));
    }
    ASSERT_NO_FATAL_FAILURE(launch(memo_ini));
    ASSERT_NO_FATAL_FAILURE(accept_hello(&server, &peer));
    main_window = program_wait_window(&program, MAIN_CLASS, MAIN_TITLE, WAIT_MS);
    ASSERT_NE(main_window, nullptr) << "no visible window of class vantrel titled Vantrel";
    std::string got;
    ASSERT_TRUE(wait_for_remote_text(control(TRANSCRIPT_ID), CONNECTED, WAIT_MS, &got))
        << "expected " << hex_bytes(CONNECTED) << "\ngot      " << hex_bytes(got);
}
