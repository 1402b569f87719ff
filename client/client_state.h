// The one record the window and the connection share.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "settings/settings.h"

struct client_state {
    char name[NAME_CAPACITY];
    SOCKET chat_socket; // INVALID_SOCKET when there is no connection
    char server[SERVER_CAPACITY];
    unsigned short port;   // host byte order; memo.ini's port, read again for every attempt
    HANDLE receive_thread; // NULL when there is no receive thread
    std::string pending_entry;
    LPTHREAD_START_ROUTINE receive_start; // given &g_client
    HWND main_window;
    HWND transcript_box;
    HWND input_box;
    HWND send_button;
    HWND member_list;
};

// The receive thread alone touches pending_entry while it runs; server, port and the socket and
// thread handles are the connection thread's; the window's thread only sends, under the
// connection's lock.
extern client_state g_client;
