// The user's lines on their way out, between the window's thread and the connection's.
#include "client/sending.h"

#include "client/connection.h"
#include "client/connection_thread.h"
#include "client/outbox.h"
#include "client/protocol.h"
#include "client/wide_text.h"
#include "client/window_messages.h"

// The outbox and what goes back to the user, under the lock.  Nothing blocking happens while it
// is held: the window's thread takes it too.
static SRWLOCK lock = SRWLOCK_INIT;
static outbox box = {};
static bool box_ready;
static std::string given_back; // chat payloads, one after another
// The connection's thread's own: which connection this is (never 0, which marks a line not yet
// sent), and whether its lines carry ids.
static unsigned connection_number = 1;
static bool with_ids;

static long long now_ms(void) {
    return (long long)GetTickCount64();
}

bool sending_queue(const std::string &chat) {
    AcquireSRWLockExclusive(&lock);
    if (!box_ready) {
        outbox_init(&box);
        box_ready = true;
    }
    bool queued = outbox_add(&box, chat, now_ms());
    ReleaseSRWLockExclusive(&lock);
    return queued;
}

void sending_new_connection(void) {
    connection_number = connection_number == 0xFFFFFFFFu ? 1 : connection_number + 1;
    with_ids = false;
    AcquireSRWLockExclusive(&lock);
    if (box_ready) {
        outbox_forget_unnumbered(&box);
    }
    ReleaseSRWLockExclusive(&lock);
}

void sending_with_ids(void) {
    with_ids = true;
}

int sending_send_waiting(client_state *cs) {
    for (;;) {
        // The line is marked sent before it goes, so an acknowledgement or echo that comes back
        // at once finds it; a copy goes out, since the window's thread may queue meanwhile.
        AcquireSRWLockExclusive(&lock);
        outbox_line *line = box_ready ? outbox_next_to_send(&box, connection_number) : NULL;
        if (line == NULL) {
            ReleaseSRWLockExclusive(&lock);
            return 0;
        }
        long long id = line->id;
        std::string chat = line->chat;
        outbox_sent(&box, line, connection_number, with_ids, now_ms());
        ReleaseSRWLockExclusive(&lock);

        if (send_frame(cs, with_ids ? numbered_line_payload(id, chat) : chat) != 0) {
            // Without ids nothing can go again without the risk of going twice: this line and
            // those behind it go back to the user, in order.
            if (!with_ids) {
                AcquireSRWLockExclusive(&lock);
                outbox_take_from(&box, id, &given_back);
                ReleaseSRWLockExclusive(&lock);
                PostMessageW(g_client.main_window, WM_LINES_GIVEN_BACK, 0, 0);
            }
            return -1;
        }
    }
}

void sending_acknowledged(long long id) {
    AcquireSRWLockExclusive(&lock);
    if (box_ready) {
        outbox_acknowledge(&box, id);
    }
    ReleaseSRWLockExclusive(&lock);
}

void sending_echoed(const std::string &text) {
    AcquireSRWLockExclusive(&lock);
    if (box_ready) {
        outbox_echoed(&box, text);
    }
    ReleaseSRWLockExclusive(&lock);
}

long long sending_in_flight_since(void) {
    AcquireSRWLockShared(&lock);
    long long since = box_ready ? outbox_in_flight_since(&box, connection_number) : -1;
    ReleaseSRWLockShared(&lock);
    return since;
}

bool sending_give_up(void) {
    AcquireSRWLockExclusive(&lock);
    int taken = box_ready ? outbox_give_up(&box, now_ms(), &given_back) : 0;
    ReleaseSRWLockExclusive(&lock);
    if (taken > 0) {
        PostMessageW(g_client.main_window, WM_LINES_GIVEN_BACK, 0, 0);
    }
    return taken > 0;
}

long long sending_due_in(long long wait_ms) {
    AcquireSRWLockShared(&lock);
    long long due = box_ready ? outbox_due_in(&box, now_ms(), wait_ms) : -1;
    ReleaseSRWLockShared(&lock);
    return due;
}

bool sending_slow(void) {
    return sending_due_in(OUTBOX_SLOW_MS) == 0;
}

std::u16string sending_take_given_back(void) {
    AcquireSRWLockExclusive(&lock);
    std::string chats;
    chats.swap(given_back);
    ReleaseSRWLockExclusive(&lock);
    // Each payload is the text as it went on the wire and its CR LF: shown as typed, the lines
    // one below the other, without the last line break.
    std::u16string text = wide_from_shift_jis(chats);
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, u"\r\n") == 0) {
        text.resize(text.size() - 2);
    }
    return text;
}
