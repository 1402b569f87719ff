// Sending what the user typed: the line is queued for the connection's own thread.
#include "client/send_chat.h"

#include "client/connection.h"
#include "client/connection_thread.h"
#include "client/protocol.h"
#include "client/sending.h"

int send_chat_line(client_state *cs) {
    // All of it: text put into the box by the program (lines given back) may pass the limit
    // that typing has, and a cut would lose the rest without a word.
    int length = GetWindowTextLengthA(cs->input_box);
    std::string text(length > 0 ? (size_t)length + 1 : 1, '\0');
    text.resize((size_t)GetWindowTextA(cs->input_box, &text[0], (int)text.size()));
    if (text.empty()) {
        return -1;
    }
    // A line that cannot reach the server stays in the box for the user to send after
    // reconnecting; the server's relay, not this, is what shows it in the transcript.
    if (!connection_usable() || !sending_queue(chat_payload(text.c_str()))) {
        return -1;
    }
    connection_line_queued();
    SetWindowTextA(cs->input_box, "");
    SetFocus(cs->input_box);
    return 0;
}
