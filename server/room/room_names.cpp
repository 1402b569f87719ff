// Names as the room lists and relays them: cut, made safe, made unique, and the frames they go in.
#include "server/room/room.h"

#include <stdio.h>
#include <string.h>

#include "client/protocol.h"
#include "server/room/canonical_name.h"

// 名無しさん in Shift-JIS, the client's own stand-in for a name left empty.  Written as bytes
// because the fuzz targets compile this file without converting literals to Shift-JIS.
static const char STAND_IN_NAME[] = "\x96\xbc\x96\xb3\x82\xb5\x82\xb3\x82\xf1";

// An escape is one character to the client, so a cut never parts it, nor a lead byte from the
// byte after it, whatever that byte is: the client pairs them the same way.
std::string room_cut_name(const char *bytes, size_t count) {
    return std::string(bytes, cut_at_character(bytes, count, NAME_LIMIT));
}

std::string room_safe_name(const char *bytes, size_t count) {
    // ";" would end the name inside a relay.
    std::string name = name_without_controls(room_cut_name(bytes, count), true);
    if (name.empty()) {
        name = STAND_IN_NAME;
    }
    return name;
}

// Names that look the same count as the same: ｏｂｓｅｒｖｅｒ and "observer " are observer.
static bool name_taken(const room *r, const std::string &name) {
    std::string form = canonical_name(name.data(), name.size());
    for (int i = 0; i < r->member_count; i++) {
        if (r->slots[r->order[i]].canonical == form) {
            return true;
        }
    }
    return false;
}

std::string room_unique_name(const room *r, const std::string &name) {
    if (!name_taken(r, name)) {
        return name;
    }
    // Each n gives a different ending, so different forms, and there are fewer members than
    // slots, so this ends.
    for (int n = 2;; n++) {
        char suffix[16];
        snprintf(suffix, sizeof suffix, "(%d)", n);
        std::string candidate(
            name, 0, cut_at_character(name.data(), name.size(), NAME_LIMIT - strlen(suffix)));
        candidate += suffix;
        if (!name_taken(r, candidate)) {
            return candidate;
        }
    }
}

std::string room_member_frame(const room *r) {
    std::string frame = "e";
    for (int i = 0; i < r->member_count; i++) {
        frame += r->slots[r->order[i]].name;
        frame += "\r\n";
    }
    frame += (char)FRAME_TERMINATOR;
    return frame;
}

std::string room_relay_frame(const std::string &name, const char *text, size_t count) {
    std::string frame;
    frame.reserve(name.size() + count + 3);
    frame += 'd';
    frame += name;
    frame += ';';
    frame.append(text, count);
    frame += (char)FRAME_TERMINATOR;
    return frame;
}
