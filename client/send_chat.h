// Sending what the user typed.
#pragma once

#include "client/client_state.h"

// Queues the input box's text as one chat line for the connection's thread, then empties the box
// and focuses it.  0 when the line was queued; -1 when the box was empty, or there is no
// connection to send it on (the text is then left in the box for the user to send again after
// reconnecting).
int send_chat_line(client_state *cs);
