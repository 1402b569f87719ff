// Support for the tests that run under Wine: a scripted chat server on loopback, a message pump,
// message boxes found and answered, and memo.ini in a folder of its own.
//
// Every wait here dispatches the calling thread's messages while it waits.  A thread that calls
// SetWindowTextA, SendMessageA or MessageBoxA on a window of the waiting thread stays blocked
// until that thread serves it, so a test that waited without pumping would deadlock.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

// ---- Messages ------------------------------------------------------------------------------

// Dispatches this thread's messages for ms milliseconds (at least once, even for 0).
void pump_messages(int ms);

// Dispatches messages until done(context) holds or timeout_ms have passed; true when it held.
bool pump_until(bool (*done)(void *context), void *context, int timeout_ms);

// ---- Message boxes -------------------------------------------------------------------------

// Waits, pumping, for a visible top-level message box (class "#32770") with this caption, in any
// thread or process.  NULL when none showed up within timeout_ms.
HWND wait_for_message_box(const char *caption, int timeout_ms);

// The box's text, as shown (the static control with id 0xFFFF).
std::string message_box_text(HWND box);

// Clicks the box's button with this id (IDOK, IDYES, IDNO, ...), in this process or another, and
// waits, pumping, for the box to go away.  False when there is no such button or the box is still
// there after six seconds.
bool answer_message_box(HWND box, int button_id);

// ---- A scripted chat server ----------------------------------------------------------------

enum { TEST_SERVER_PORT = 2000 };

// Listens on one loopback address at port 2000.  Each test takes an address of its own
// (127.0.0.2 and up; the whole 127/8 block is loopback), so tests never meet each other's
// connections or lingering sockets.
struct test_server {
    SOCKET listener;
};

// One accepted connection.  Bytes that arrived but are not yet returned as frames wait in unread.
struct test_peer {
    SOCKET socket;
    std::string unread;
};

// Starts Windows Sockets (once per process) and listens.  False when the address cannot be had.
bool test_server_open(test_server *server, const char *address);
void test_server_close(test_server *server);

// Waits for the next connection.  False on time-out.
bool test_server_accept(test_server *server, test_peer *peer, int timeout_ms);

enum { PEER_CLOSED = -1, PEER_TIMEOUT = 0, PEER_FRAME = 1 };

// The next frame's payload, without its 0x80 terminator.  PEER_CLOSED when the other side closed
// the connection (or reset it) before a whole frame came.
int test_peer_read_frame(test_peer *peer, std::string *payload, int timeout_ms);

// Sends the bytes as given (add the 0x80 terminators yourself), all of them.  False when the
// connection is gone or the bytes are not taken within ten seconds.  Safe from any thread.
bool test_peer_send(test_peer *peer, const std::string &bytes);

// True once the other side has closed the connection; bytes that arrive meanwhile are kept in
// unread.  False on time-out.
bool test_peer_wait_closed(test_peer *peer, int timeout_ms);

void test_peer_close(test_peer *peer);

// ---- Failure messages ----------------------------------------------------------------------

// The bytes in hex, so Shift-JIS differences can be read in a failure message.
std::string hex_bytes(const std::string &bytes);

// ---- memo.ini ------------------------------------------------------------------------------

// Makes a new empty folder under the temporary folder, writes memo.ini there with exactly these
// bytes, and returns the folder's path (no trailing backslash); "" on failure.
std::string make_memo_folder(const std::string &memo_ini);

// Rewrites memo.ini in a folder made by make_memo_folder.  False on failure.
bool write_memo_ini(const std::string &folder, const std::string &memo_ini);

// Removes the folder with memo.ini and whatever else the program wrote into it.
void remove_memo_folder(const std::string &folder);
