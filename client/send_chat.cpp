// Sending what the user typed: the line is queued for the connection's own thread.
#include "client/send_chat.h"

#include "client/connection.h"
#include "client/connection_thread.h"
#include "client/protocol.h"
#include "client/receive.h"
#include "client/sending.h"
#include "client/window_text.h"

int send_chat_line(client_state *cs) {
    // All of it: text put into the box by the program (lines given back) may pass the limit
    // that typing has, and a cut would lose the rest without a word.
    std::u16string text = window_wide_text(cs->input_box);
    if (text.empty()) {
        return -1;
    }
    // A line that cannot reach the server stays in the box for the user to send after
    // reconnecting; the server's relay, not this, is what shows it in the transcript.
    if (!connection_usable() || !sending_queue(chat_payload(text.data(), text.size()))) {
        return -1;
    }
    connection_line_queued();
    SetWindowTextW(cs->input_box, L"");
    SetFocus(cs->input_box);
    // Whoever just spoke reads on from the end.
    transcript_follow_end(cs->transcript_box);
    return 0;
}
