// The one record the window and the connection share.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "settings/settings.h"

enum { SERVER_PORT = 2000 };

struct client_state {
    char name[NAME_CAPACITY];
    SOCKET chat_socket; // INVALID_SOCKET when there is no connection
    char server[SERVER_CAPACITY];
    unsigned short port;   // host byte order
    HANDLE receive_thread; // NULL when there is no receive thread
    std::string pending_entry;
    LPTHREAD_START_ROUTINE receive_start; // given &g_client
    HWND main_window;
    HWND transcript_box;
    HWND input_box;
    HWND send_button;
    HWND member_list;
    std::string transcript;
};

// The receive thread alone touches pending_entry and transcript; the UI thread everything else.
extern client_state g_client;
