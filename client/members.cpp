// Who came and went: the transcript lines for the difference between two member lists.
#include "client/members.h"

#include <stdlib.h>
#include <string.h>

// One name of a list: where it is, and its place in the list.
struct listed_name {
    const char *bytes;
    size_t length;
    size_t place;
    bool changed; // gone from the previous list, or new in the current one
};

// Splits list into names, or only counts them when names is NULL; names has room for them all.
static size_t split_names(const std::string &list, listed_name *names) {
    size_t count = 0;
    for (size_t at = 0; at < list.size();) {
        size_t end = list.find("\r\n", at);
        end = end == std::string::npos ? list.size() : end;
        if (end > at && names != NULL) {
            listed_name name = {list.data() + at, end - at, count, false};
            names[count] = name;
        }
        count += end > at;
        at = end + 2;
    }
    return count;
}

// By the name's bytes, then by place, so that repeats of one name stay in list order.
static int compare_names(const void *a, const void *b) {
    const listed_name *x = (const listed_name *)a, *y = (const listed_name *)b;
    size_t shorter = x->length < y->length ? x->length : y->length;
    int order = memcmp(x->bytes, y->bytes, shorter);
    if (order == 0 && x->length != y->length) {
        order = x->length < y->length ? -1 : 1;
    }
    if (order == 0) {
        order = x->place < y->place ? -1 : x->place > y->place;
    }
    return order;
}

static bool same_name(const listed_name *x, const listed_name *y) {
    return x->length == y->length && memcmp(x->bytes, y->bytes, x->length) == 0;
}

// Walks both sorted lists together.  A name listed k times more in one list than in the other
// marks its last k repeats there.
static void mark_changes(listed_name *before, size_t before_count, listed_name *after,
                         size_t after_count) {
    size_t i = 0, j = 0;
    while (i < before_count || j < after_count) {
        listed_name *name = i == before_count                          ? &after[j]
                            : j == after_count                         ? &before[i]
                            : compare_names(&before[i], &after[j]) < 0 ? &before[i]
                                                                       : &after[j];
        size_t in_before = 0, in_after = 0;
        while (i + in_before < before_count && same_name(&before[i + in_before], name)) {
            in_before++;
        }
        while (j + in_after < after_count && same_name(&after[j + in_after], name)) {
            in_after++;
        }
        for (size_t k = in_after; k < in_before; k++) {
            before[i + k].changed = true;
        }
        for (size_t k = in_before; k < in_after; k++) {
            after[j + k].changed = true;
        }
        i += in_before;
        j += in_after;
    }
}

// Back in list order, then one line for each name marked.
static void add_lines(listed_name *names, size_t count, const char *what, std::string *lines) {
    listed_name *in_order = (listed_name *)malloc((count > 0 ? count : 1) * sizeof *names);
    if (in_order == NULL) {
        return;
    }
    for (size_t i = 0; i < count; i++) {
        in_order[names[i].place] = names[i];
    }
    for (size_t i = 0; i < count; i++) {
        if (in_order[i].changed) {
            *lines += "MESSAGE:";
            lines->append(in_order[i].bytes, in_order[i].length);
            *lines += what;
        }
    }
    free(in_order);
}

std::string compose_member_changes(const std::string &previous, const std::string &current) {
    size_t before_count = split_names(previous, NULL), after_count = split_names(current, NULL);
    listed_name *before = (listed_name *)malloc((before_count + 1) * sizeof *before);
    listed_name *after = (listed_name *)malloc((after_count + 1) * sizeof *after);
    std::string lines;
    if (before != NULL && after != NULL) {
        split_names(previous, before);
        split_names(current, after);
        qsort(before, before_count, sizeof *before, compare_names);
        qsort(after, after_count, sizeof *after, compare_names);
        mark_changes(before, before_count, after, after_count);
        add_lines(before, before_count, " が退出しました。\r\n", &lines);
        add_lines(after, after_count, " が参加しました。\r\n", &lines);
    }
    free(before);
    free(after);
    return lines;
}
