// The receive thread: the server's frames become transcript entries and member-list text.
#pragma once

#include <string>

#include "client/client_state.h"

// Thread start routine; param is &g_client.  Returns 0 when it ends by itself.
DWORD WINAPI receive_loop(LPVOID param);

// Appends text to the conversation log, to cs->transcript and to the end of the transcript box,
// scrolled to its last line.  From the receive thread or the connection's, never the window's.
void append_to_transcript(client_state *cs, const std::string &text);

void set_member_list(client_state *cs, const std::string &text);
