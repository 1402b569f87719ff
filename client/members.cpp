// Who came and went: the transcript lines for the difference between two member lists.
#include "client/members.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// One distinct name of either list: how often each list holds it, and how many of its repeats a
// walk through a list has met so far.
struct distinct_name {
    const char *bytes;
    unsigned length;
    unsigned in_before, in_after;
    unsigned met;
};

// A slot of the table: the hash of its name, and the name's entry plus one; 0 when free.  The
// hash is compared first, so a probe touches an entry only for its own name.
struct name_slot {
    unsigned hash;
    unsigned entry;
};

// The distinct names of both lists, open addressing with room for twice as many as there can be.
// Every name is looked up once, so two lists of n names cost time in proportion to n.
struct name_table {
    name_slot *slots;
    size_t mask;
    distinct_name *entries;
    unsigned count;
};

// The table's entry for the name, made when it is new.
static unsigned entry_for(name_table *table, const char *bytes, unsigned length, unsigned hash) {
    for (size_t slot = hash & table->mask;; slot = (slot + 1) & table->mask) {
        name_slot *held = &table->slots[slot];
        if (held->entry == 0) {
            distinct_name entry = {bytes, length, 0, 0, 0};
            table->entries[table->count] = entry;
            held->hash = hash;
            held->entry = ++table->count;
            return table->count - 1;
        }
        const distinct_name *e = &table->entries[held->entry - 1];
        if (held->hash == hash && e->length == length && memcmp(e->bytes, bytes, length) == 0) {
            return held->entry - 1;
        }
    }
}

// At most this many names are in a list: every one but the last ends in CR LF.
static size_t most_names(const std::string &list) {
    size_t count = 1;
    for (const char *at = list.data(), *end = at + list.size();
         (at = (const char *)memchr(at, '\n', (size_t)(end - at))) != NULL; at++) {
        count++;
    }
    return count;
}

// A list's names are its CR LF-ended lines and a last line without CR LF; empty lines are not
// names.  Enters each in the table and lists its entry, in list order; names has room for
// most_names.  CR and LF are never part of a double-byte character, so the bytes are enough.
static size_t split_names(const std::string &list, unsigned *names, name_table *table,
                          bool before) {
    const char *text = list.data();
    size_t size = list.size(), count = 0;
    for (size_t at = 0; at < size;) {
        unsigned hash = 2166136261u; // FNV-1a
        size_t end = at;
        while (end < size && !(text[end] == '\r' && end + 1 < size && text[end + 1] == '\n')) {
            hash = (hash ^ (unsigned char)text[end]) * 16777619u;
            end++;
        }
        if (end > at) {
            unsigned distinct = entry_for(table, text + at, (unsigned)(end - at), hash);
            (before ? table->entries[distinct].in_before : table->entries[distinct].in_after)++;
            names[count++] = distinct;
        }
        at = end + 2;
    }
    return count;
}

// A name listed k times more in one list than in the other: its last k repeats there changed.
// Walks the list in order and adds a line for each.
static void add_lines(const unsigned *names, size_t count, name_table *table, bool before,
                      const char *what, std::string *lines) {
    for (unsigned i = 0; i < table->count; i++) {
        table->entries[i].met = 0;
    }
    for (size_t i = 0; i < count; i++) {
        distinct_name *e = &table->entries[names[i]];
        if (++e->met > (before ? e->in_after : e->in_before)) {
            *lines += "MESSAGE:";
            lines->append(e->bytes, e->length);
            *lines += what;
        }
    }
}

std::string tell_member_changes(const member_changes *changes) {
    if (changes->joined + changes->left <= MEMBER_LINES_LIMIT) {
        return changes->lines;
    }
    char line[96];
    unsigned long joined = (unsigned long)changes->joined, left = (unsigned long)changes->left;
    if (joined > 0 && left > 0) {
        snprintf(line, sizeof line, "MESSAGE:%lu 人が参加し、%lu 人が退出しました。\r\n", joined,
                 left);
    } else if (joined > 0) {
        snprintf(line, sizeof line, "MESSAGE:%lu 人が参加しました。\r\n", joined);
    } else {
        snprintf(line, sizeof line, "MESSAGE:%lu 人が退出しました。\r\n", left);
    }
    return line;
}

void add_member_changes(member_changes *changes, const std::string &previous,
                        const std::string &current) {
    size_t before_room = most_names(previous), after_room = most_names(current);
    size_t room = before_room + after_room;
    size_t slot_count = 16;
    while (slot_count < 2 * room) {
        slot_count *= 2;
    }
    unsigned *before = (unsigned *)malloc(before_room * sizeof *before);
    unsigned *after = (unsigned *)malloc(after_room * sizeof *after);
    name_table table = {(name_slot *)calloc(slot_count, sizeof(name_slot)), slot_count - 1,
                        (distinct_name *)malloc(room * sizeof(distinct_name)), 0};
    if (before != NULL && after != NULL && table.slots != NULL && table.entries != NULL) {
        size_t before_count = split_names(previous, before, &table, true);
        size_t after_count = split_names(current, after, &table, false);
        size_t joined = 0, left = 0;
        for (unsigned i = 0; i < table.count; i++) {
            const distinct_name *e = &table.entries[i];
            left += e->in_before > e->in_after ? e->in_before - e->in_after : 0;
            joined += e->in_after > e->in_before ? e->in_after - e->in_before : 0;
        }
        changes->joined += joined;
        changes->left += left;
        if (changes->joined + changes->left <= MEMBER_LINES_LIMIT) {
            add_lines(before, before_count, &table, true, " が退出しました。\r\n", &changes->lines);
            add_lines(after, after_count, &table, false, " が参加しました。\r\n", &changes->lines);
        } else {
            // Past the limit the names are not told, only how many.
            changes->lines.clear();
        }
    }
    free(before);
    free(after);
    free(table.slots);
    free(table.entries);
}

std::string compose_member_changes(const std::string &previous, const std::string &current) {
    member_changes changes = {0, 0, ""};
    add_member_changes(&changes, previous, current);
    return tell_member_changes(&changes);
}
