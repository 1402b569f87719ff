// The receive thread: the server's frames become transcript entries and member-list text.
#pragma once

#include <string>

#include "client/client_state.h"

// Thread start routine; param is &g_client.  Returns 0 when it ends by itself.
DWORD WINAPI receive_loop(LPVOID param);

// Appends text to the conversation log and to the end of the transcript box, which keeps at most
// g_scrollback_bytes of it (two bytes a character): past that, whole entries leave from the top.
// A box that showed its last line scrolls on to show the new one; one the user has scrolled up
// keeps its view and selection, and counts the entries added below (WM_UNREAD_COUNT).  From the
// receive thread or the connection's, never the window's.
void append_to_transcript(client_state *cs, const std::string &text);

// memo.ini's scrollback (settings/settings.h), read at start-up; DEFAULT_SCROLLBACK_MB's before.
extern size_t g_scrollback_bytes;

// Whether the box's last line is in view.
bool transcript_shows_end(HWND box);
// Entries added since the user scrolled up; the window's thread clears it once the user is back
// at the end.
int transcript_unread(void);
// The user is at the end: the count is cleared, and the window told when it was not zero.
void transcript_read_to_end(HWND box);
// Brings the end into view, and so clears the count.
void transcript_follow_end(HWND box);

void set_member_list(client_state *cs, const std::string &text);
