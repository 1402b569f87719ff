// Entry point: Windows Sockets, the window class, the main window and the message loop.
#include <winsock2.h>
#include <windows.h>

#include "ui/ui.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    g_instance = instance;

    WSADATA wsa;
    if (WSAStartup(0x0202, &wsa) != 0) {
        MessageBoxA(NULL, "WSAError\n", "ERROR", MB_OK);
        WSACleanup();
        return -1;
    }

    if (!register_main_class())
        return 0;

    HWND window = CreateWindowExA(0, MAIN_WINDOW_CLASS, MAIN_WINDOW_TITLE, WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, MAIN_WINDOW_WIDTH,
                                  MAIN_WINDOW_HEIGHT, NULL, NULL, instance, NULL);
    if (!window)
        return 0;

    ShowWindow(window, show);
    UpdateWindow(window);

    MSG msg;
    ZeroMemory(&msg, sizeof msg);
    for (;;) {
        BOOL got = GetMessageA(&msg, NULL, 0, 0);
        if (got == 0)
            break;
        if (got == -1) {
            // A broken queue ends the program the way the quit message would.
            msg.wParam = 0;
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }

    WSACleanup();
    return (int)msg.wParam;
}
