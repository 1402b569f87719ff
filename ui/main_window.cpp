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
#include "client/window_text.h"
#include "resources/resource.h"
#include "resources/version.h"
#include "settings/settings.h"
#include "ui/dpi_rules.h"
#include "ui/ui.h"

HINSTANCE g_instance;

static BYTE topmost;

bool register_main_class(void) {
    WNDCLASSEXW wc;
    ZeroMemory(&wc, sizeof wc);
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = main_window_procedure;
    wc.hInstance = g_instance;
    wc.hIcon =
        (HICON)LoadImageW(g_instance, L"MYICON", IMAGE_ICON, 0, 0, LR_SHARED | LR_DEFAULTSIZE);
    wc.hIconSm = wc.hIcon;
    // IDC_ARROW, in the form the wide call takes (the header gives it for the ANSI one here).
    wc.hCursor = (HCURSOR)LoadImageW(NULL, MAKEINTRESOURCEW(32512), IMAGE_CURSOR, 0, 0,
                                     LR_SHARED | LR_DEFAULTSIZE);
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszMenuName = L"MYMENU";
    wc.lpszClassName = MAIN_WINDOW_CLASS;
    return RegisterClassExW(&wc) != 0;
}

HWND create_main_window(void) {
    // Only the system's DPI is known before the window exists; the window's own DPI sizes the font
    // and the column once it does.
    int dpi = dpi_of_screen();
    HWND window = CreateWindowExW(0, MAIN_WINDOW_CLASS, MAIN_WINDOW_TITLE, WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, dpi_scale(MAIN_WINDOW_WIDTH, dpi),
                                  dpi_scale(MAIN_WINDOW_HEIGHT, dpi), NULL, NULL, g_instance, NULL);
    if (window) {
        fit_to_monitor(window);
    }
    return window;
}

static void ask_to_close(HWND window) {
    if (MessageBoxW(window, L"終了してもよろしいですか", L"確認", MB_YESNO | MB_ICONQUESTION) ==
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
    MessageBoxW(window,
                L"Vantrel バージョン " VANTREL_VERSION_TEXT L"\n\n"
                L"グループチャットに参加するためのシンプルなクライアントです。\n\n"
                L"Vantrel Project",
                L"バージョン情報", MB_OK);
}

// Shown here, on the window's thread, while the receive thread carries on: entries keep arriving
// in the transcript behind the box.
static void report_log_failure(HWND window) {
    std::u16string text = u"ログを書き込めません\r\n";
    text += wide_from_shift_jis(conversation_log_failed_path());
    MessageBoxW(window, wide_chars(text), L"ERROR", MB_OK);
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

// The title, and with it the taskbar button, says whether the user can be heard, then whether
// the user's lines wait, then how many entries came below where the user reads.
static void show_title(HWND window) {
    const wchar_t *title = MAIN_WINDOW_TITLE;
    std::wstring counted;
    int unread = transcript_unread();
    if (link_state_now == LINK_CONNECTING) {
        title = MAIN_WINDOW_TITLE L" - 接続中";
    } else if (link_state_now == LINK_WAITING) {
        title = MAIN_WINDOW_TITLE L" - 未接続";
    } else if (link_state_now == LINK_CONNECTED && lines_waiting) {
        title = MAIN_WINDOW_TITLE L" - 送信待ち";
    } else if (unread > 0) {
        counted = MAIN_WINDOW_TITLE L" - 新着 " + std::to_wstring(unread);
        title = counted.c_str();
    }
    SetWindowTextW(window, title);
}

// Lines the server never took go back in front of whatever the user has typed since, for the
// user to send again or not.
static void take_back_lines(void) {
    std::u16string given = sending_take_given_back();
    if (given.empty()) {
        return;
    }
    std::u16string typed = window_wide_text(g_client.input_box);
    SetWindowTextW(g_client.input_box, wide_chars(typed.empty() ? given : given + u"\r\n" + typed));
}

static void on_command(HWND window, WORD id) {
    switch (id) {
    case ID_SEND_BUTTON:
        send_chat_line(&g_client);
        break;
    case IDM_EXIT:
        PostMessageW(window, WM_CLOSE, 0, 0);
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
// come with the children, which need the font; the log folder, keep-alive time and scrollback
// follow.
static void on_create(HWND window) {
    create_children(window);
    conversation_log_start_from_settings();
    g_keepalive_seconds = load_keepalive_seconds();
    g_scrollback_bytes = load_scrollback_bytes();
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
    case WM_UNREAD_COUNT:
        show_title(window);
        return 0;
    case WM_LINES_GIVEN_BACK:
        take_back_lines();
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}
