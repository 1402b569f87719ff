// Sending what the user typed.
#pragma once

#include "client/client_state.h"

// Sends the input box's text as one chat frame, then empties the box and focuses it.  0 when a
// frame went out; -1 when the box was empty, or the line could not be sent (the text is then left
// in the box for the user to send again after reconnecting).
int send_chat_line(client_state *cs);
