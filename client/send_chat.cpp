// Sending what the user typed as one chat frame.
#include "client/send_chat.h"

#include "client/connection.h"
#include "client/connection_thread.h"
#include "client/protocol.h"

enum { CHAT_TEXT_CAPACITY = 512 }; // the input box's 511 bytes and a NUL

int send_chat_line(client_state *cs) {
    char text[CHAT_TEXT_CAPACITY];
    text[0] = '\0';
    GetWindowTextA(cs->input_box, text, sizeof text);
    if (text[0] == '\0') {
        return -1;
    }
    // A line that cannot reach the server stays in the box for the user to send after
    // reconnecting; the server's relay, not this, is what shows it in the transcript.
    if (connection_lost() || send_frame(cs, chat_payload(text)) != 0) {
        return -1;
    }
    connection_line_sent();
    SetWindowTextA(cs->input_box, "");
    SetFocus(cs->input_box);
    return 0;
}
