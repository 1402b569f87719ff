// The client's windows and state, set up in-process for each client test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "client/client_state.h"
#include "tests/wine/test_support.h"

// Creates a hidden top-level window with the three edit controls the connection code writes to,
// fills g_client with them (receive_start = receive_loop), and enters a fresh folder holding
// memo.ini.  Tear-down answers any box still up, disconnects and removes it all.
struct ClientTest : ::testing::Test {
    test_server server;
    test_peer peer;

    void SetUp() override;
    void TearDown() override;
    // Listens on address, points memo.ini at it, connects as Taro and takes the hello.
    void start(const char *address);
};

// How many WM_DESTROY messages the hidden main window has seen since SetUp.
extern int g_destroy_requests;

// The folder SetUp entered; memo.ini there holds use_memo's text.
extern std::string g_memo_folder;
void use_memo(const std::string &memo_ini);

std::string window_text(HWND window);

// Pumps until window's text is exactly text; false on time-out.
bool wait_for_text(HWND window, const std::string &text, int timeout_ms);

// One connect_to_server that nothing abandons.
int connect_once(void);

// Pumps until the receive thread of the current connection has ended.
bool wait_for_receive_thread_end(int timeout_ms);

// Accepts the client on server and reads its hello; fails the test when either does not come.
void accept_client(test_server *server, test_peer *peer);

std::string frame(const std::string &payload);
