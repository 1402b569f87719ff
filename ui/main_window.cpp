// The main window's class and procedure: creation, sizing, closing and the menu commands.
#include <winsock2.h>
#include <windows.h>

#include "client/connection.h"
#include "client/connection_plan.h"
#include "client/connection_thread.h"
#include "client/conversation_log.h"
#include "client/receive.h"
#include "client/send_chat.h"
#include "client/sending.h"
#include "client/window_messages.h"
#include "resources/resource.h"
#include "resources/version.h"
#include "settings/settings.h"
#include "ui/dpi_rules.h"
#include "ui/ui.h"

HINSTANCE g_instance;

static BYTE topmost;

bool register_main_class(void) {
    WNDCLASSEXA wc;
    ZeroMemory(&wc, sizeof wc);
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = main_window_procedure;
    wc.hInstance = g_instance;
    wc.hIcon =
        (HICON)LoadImageA(g_instance, "MYICON", IMAGE_ICON, 0, 0, LR_SHARED | LR_DEFAULTSIZE);
    wc.hIconSm = wc.hIcon;
    wc.hCursor =
        (HCURSOR)LoadImageA(NULL, IDC_ARROW, IMAGE_CURSOR, 0, 0, LR_SHARED | LR_DEFAULTSIZE);
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszMenuName = "MYMENU";
    wc.lpszClassName = MAIN_WINDOW_CLASS;
    return RegisterClassExA(&wc) != 0;
}

HWND create_main_window(void) {
    // Only the system's DPI is known before the window exists; the window's own DPI sizes the font
    // and the column once it does.
    int dpi = dpi_of_screen();
    HWND window = CreateWindowExA(0, MAIN_WINDOW_CLASS, MAIN_WINDOW_TITLE, WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, dpi_scale(MAIN_WINDOW_WIDTH, dpi),
                                  dpi_scale(MAIN_WINDOW_HEIGHT, dpi), NULL, NULL, g_instance, NULL);
    if (window) {
        fit_to_monitor(window);
    }
    return window;
}

static void ask_to_close(HWND window) {
    if (MessageBoxA(window, "終了してもよろしいですか", "確認", MB_YESNO | MB_ICONQUESTION) ==
        IDYES)
        DestroyWindow(window);
}

static void toggle_topmost(HWND window) {
    topmost = !topmost;
    SetWindowPos(window, topmost ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE);
    CheckMenuItem(GetMenu(window), IDM_TOPMOST, topmost ? MF_CHECKED : MF_UNCHECKED);
}

static void show_about(HWND window) {
    MessageBoxA(window,
                "Vantrel バージョン " VANTREL_VERSION_TEXT "\n\n"
                "グループチャットに参加するためのシンプルなクライアントです。\n\n"
                "Vantrel Project",
                "バージョン情報", MB_OK);
}

// Shown here, on the window's thread, while the receive thread carries on: entries keep arriving
// in the transcript behind the box.
static void report_log_failure(HWND window) {
    std::string text = "ログを書き込めません\r\n";
    text += conversation_log_failed_path();
    MessageBoxA(window, text.c_str(), "ERROR", MB_OK);
}

// Returns at once: the connection's thread drops the connection and tries again.  Unlike its
// own attempts, a Reconnect the user chose says so when memo.ini is missing.
static void reconnect(void) {
    connection_reconnect();
    if (FILE *file = open_settings_file()) {
        fclose(file);
    }
}

// The connection's state as last told, and whether sent lines wait for the server, as the timer
// last found.  The timer asks the outbox itself: the connection's thread may be held in a send
// for seconds, just when lines wait, and could not say so.
static WPARAM link_state_now = LINK_CONNECTING;
static bool lines_waiting;
enum { SENDING_TIMER = 1 };

// The title, and with it the taskbar button, says whether the user can be heard.
static void show_title(HWND window) {
    const char *title = MAIN_WINDOW_TITLE;
    if (link_state_now == LINK_CONNECTING) {
        title = MAIN_WINDOW_TITLE " - 接続中";
    } else if (link_state_now == LINK_WAITING) {
        title = MAIN_WINDOW_TITLE " - 未接続";
    } else if (link_state_now == LINK_CONNECTED && lines_waiting) {
        title = MAIN_WINDOW_TITLE " - 送信待ち";
    }
    SetWindowTextA(window, title);
}

// Lines the server never took go back in front of whatever the user has typed since, for the
// user to send again or not.
static void take_back_lines(void) {
    std::string given = sending_take_given_back();
    if (given.empty()) {
        return;
    }
    int length = GetWindowTextLengthA(g_client.input_box);
    std::string typed(length > 0 ? (size_t)length + 1 : 1, '\0');
    typed.resize((size_t)GetWindowTextA(g_client.input_box, &typed[0], (int)typed.size()));
    SetWindowTextA(g_client.input_box, (typed.empty() ? given : given + "\r\n" + typed).c_str());
}

static void on_command(HWND window, WORD id) {
    switch (id) {
    case ID_SEND_BUTTON:
        send_chat_line(&g_client);
        break;
    case IDM_EXIT:
        PostMessageA(window, WM_CLOSE, 0, 0);
        break;
    case IDM_TOPMOST:
        toggle_topmost(window);
        break;
    case IDM_ABOUT:
        show_about(window);
        break;
    case IDM_RECONNECT:
        reconnect();
        break;
    }
}

// The children first, since the connection's threads write into them.  memo.ini's start-up values
// come with the children, which need the font; the log folder and keep-alive time follow.
static void on_create(HWND window) {
    create_children(window);
    conversation_log_start_from_settings();
    g_keepalive_seconds = load_keepalive_seconds();
    g_client.receive_start = receive_loop;
    // The window shows at once, whatever the server does: connecting is the connection's own
    // thread's work, and it tells the window how it goes.
    connection_start();
    SetTimer(window, SENDING_TIMER, SENDING_CHECK_MS, NULL);
}

// The other way round: the threads that write into the children have ended (the goodbye sent)
// before the font and the controls go.
static void on_destroy(void) {
    connection_stop();
    destroy_children();
    PostQuitMessage(0);
}

LRESULT CALLBACK main_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_CREATE:
        on_create(window);
        return 0;
    case WM_SIZE:
        layout_children(window);
        return 0;
    case WM_DPICHANGED:
        rescale_children(window, HIWORD(wparam), (const RECT *)lparam);
        return 0;
    case WM_CLOSE:
        ask_to_close(window);
        return 0;
    case WM_DESTROY:
        on_destroy();
        return 0;
    case WM_COMMAND:
        on_command(window, LOWORD(wparam));
        return 0;
    case WM_LOG_FAILED:
        report_log_failure(window);
        return 0;
    case WM_CONNECTION_STATE:
        link_state_now = wparam;
        show_title(window);
        return 0;
    case WM_TIMER:
        if (wparam == SENDING_TIMER && sending_slow() != lines_waiting) {
            lines_waiting = !lines_waiting;
            show_title(window);
        }
        return 0;
    case WM_LINES_GIVEN_BACK:
        take_back_lines();
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}
