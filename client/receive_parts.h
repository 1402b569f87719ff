// What the receive thread's files share: one connection's view of the conversation.
#pragma once

#include <string>

#include "client/client_state.h"
#include "client/entry.h"
#include "client/members.h"
#include "client/protocol.h"

// What the thread does after a payload.
enum receive_next { RECEIVE_GO_ON, RECEIVE_END, RECEIVE_LOST };

// What one connection's thread keeps between payloads.
struct receive_view {
    std::string waiting;  // text for the box, shown with one append per received block
    bool waiting_entries; // some of it is lines said now, which flash the taskbar button
    std::string members;  // the connection's last member list, to tell who came and went
    bool members_known;   // the first list only says who was already there
    bool members_waiting; // the box shows an older list, and untold says what changed since
    member_changes untold;
    DWORD box_rested_at; // GetTickCount from which the box may be given the next list
    bool payload_cut;    // the payload in hand lost its end past the frame cap
    FLASHWINFO flash;
    // From the server's offer until its replay of the history ends: what ordinary frames bring
    // meanwhile waits here, so that it shows after the older lines the replay brings.
    bool replaying;
    std::string held;
    bool held_entries;
    int replayed;   // past lines shown by this replay
    long long gap;  // from the replay's first page end: where it is complete from; -1: whole
    bool gap_known; // the first page end has come
};

// Composes the entry for a line said by name (both as they came off the wire) at when, into
// cs->pending_entry, and adds it to the text waiting for the box.  A line said now flashes the
// taskbar button, and waits behind a replay in progress.
void add_entry(client_state *cs, receive_view *view, const std::string &name,
               const std::string &text, const stamp_time *when, bool said_now);

// Shows the waiting text with one append, and flashes once when it holds lines said now.
void show_entries(client_state *cs, receive_view *view);

// What was held behind a replay goes to the waiting text.
void release_held(receive_view *view);

// Gives the member box this list, a slice at a time.
void show_member_box(client_state *cs, const std::string &list);

// The history extension's frames.
receive_next handle_history_payload(client_state *cs, payload_kind kind, const std::string &payload,
                                    receive_view *view);
