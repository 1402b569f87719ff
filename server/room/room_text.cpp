// What the room changes in a relayed text: its line breaks, and nothing else.
#include "server/room/room_parts.h"

// Every CR LF stays one CR LF; a CR or an LF on its own becomes CR LF, so CR CR LF is two
// breaks, and LF CR two as well.  A scan byte by byte is right for Shift-JIS: a double-byte
// character's second byte is 0x40 or above, so 0x0D and 0x0A are always characters of their own,
// never the end of one.
void room_line_breaks(const char *text, size_t count, std::string *out) {
    out->clear();
    size_t from = 0;
    for (size_t i = 0; i < count; i++) {
        if (text[i] != '\r' && text[i] != '\n') {
            continue;
        }
        out->append(text + from, i - from);
        out->append("\r\n", 2);
        i += text[i] == '\r' && i + 1 < count && text[i + 1] == '\n';
        from = i + 1;
    }
    out->append(text + from, count - from);
}
