// Entry point: Windows Sockets, the window class, the main window and the message loop.
#include <winsock2.h>
#include <windows.h>

#include "client/connection_thread.h"
#include "ui/ui.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    g_instance = instance;
    // Awareness is settled for the whole process by the time its first window exists.
    dpi_become_aware();

    WSADATA wsa;
    if (WSAStartup(0x0202, &wsa) != 0) {
        MessageBoxW(NULL, L"WSAError\n", L"ERROR", MB_OK);
        WSACleanup();
        return -1;
    }

    if (!register_main_class())
        return 0;

    HWND window = create_main_window();
    if (!window)
        return 0;

    ShowWindow(window, show);
    UpdateWindow(window);

    MSG msg;
    ZeroMemory(&msg, sizeof msg);
    for (;;) {
        BOOL got = GetMessageW(&msg, NULL, 0, 0);
        if (got == 0)
            break;
        if (got == -1) {
            // A broken queue ends the program the way the quit message would.
            msg.wParam = 0;
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }

    // A connection thread still held up in a name lookup would meet a socket library cleaned up
    // under it; the end of the process takes both.
    if (!connection_running()) {
        WSACleanup();
    }
    return (int)msg.wParam;
}
