// What the tests of the real program share: a scripted server on a loopback address of the test's
// own, the program started against it in a fresh folder, and everything ended after each test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/program_driver.h"
#include "tests/wine/test_support.h"

enum { TRANSCRIPT_ID = 101, INPUT_ID = 102, SEND_ID = 103, MEMBERS_ID = 104 };

// Long next to a loopback round trip, short enough to keep a failing run quick.
enum { WAIT_MS = 5000 };

// The current test's address, its server, the program's connection to it, the program, the
// program's folder and its main window.
extern char address[32];
extern test_server server;
extern test_peer peer;
extern launched_program program;
extern std::string folder;
extern HWND main_window;

// Called from a fixture's SetUp and TearDown.  Each test takes an address of its own,
// 127.0.0.<address_byte>, so a lingering connection of one test never meets the next; the end
// never leaves the program running into the next test, whatever failed.
void program_fixture_begin(int address_byte);
void program_fixture_end(void);

// memo.ini naming the test's user and this server.
std::string memo_for(const char *server_address);

std::string frame(const std::string &payload);
// "(2026/12/07 09:05)" for the local time now, as an entry is stamped.
std::string time_stamp_now(void);
HWND control(int id);

// Starts the program in a fresh folder holding this memo.ini.
void launch(const std::string &memo_ini);

// Accepts the program's connection on listener and checks its first frame: the hello, exactly.
void accept_hello(test_server *listener, test_peer *into);

// The program started against this test's server (opened unless it is already): connected,
// greeted and showing its window.
void start_chat(void);
void start_chat_with(const std::string &memo_ini);
