// Fuzzes frame assembly: any byte stream, cut into blocks of any sizes.
#include "client/protocol.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

// Input: one byte whose three low bits, all set, ask for the stream to be repeated past the payload
// cap (short inputs cannot reach it otherwise; one run in eight, as such runs are slow), one byte
// starting the block-size generator, then the stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) {
        return 0;
    }
    bool repeat = (data[0] & 7) == 7;
    unsigned state = data[1];
    std::string stream((const char *)data + 2, size - 2);
    if (repeat && !stream.empty()) {
        std::string unit = stream;
        while (stream.size() <= FRAME_PAYLOAD_CAP + 2) {
            stream += unit;
        }
    }

    // What the frames must be: the stream split at each 0x80, NULs gone, each cut at the cap.
    std::string expected;
    for (size_t i = 0; i < stream.size(); i++) {
        if (stream[i] != '\0') {
            expected.push_back(stream[i]);
        }
    }

    frame_assembler fa;
    size_t at = 0, segment_start = 0;
    while (at < stream.size()) {
        state = state * 1103515245u + 12345u;
        size_t block = 1 + (state >> 16) % 4096;
        for (size_t end = at + block < stream.size() ? at + block : stream.size(), used; at < end;
             at += used) {
            if (!frame_take_bytes(&fa, &stream[at], end - at, &used)) {
                continue;
            }
            const std::string &p = fa.payload;
            if (p.size() > FRAME_PAYLOAD_CAP || p.find('\0') != std::string::npos ||
                p.find((char)FRAME_TERMINATOR) != std::string::npos) {
                abort();
            }
            size_t segment_end = expected.find((char)FRAME_TERMINATOR, segment_start);
            if (segment_end == std::string::npos) {
                abort(); // a frame the stream does not end
            }
            size_t length = segment_end - segment_start;
            if (length > FRAME_PAYLOAD_CAP) {
                length = FRAME_PAYLOAD_CAP;
            }
            if (p.compare(0, std::string::npos, expected, segment_start, length) != 0 ||
                fa.dropped != segment_end - segment_start - length) {
                abort();
            }
            segment_start = segment_end + 1;
            frame_reset(&fa);
        }
    }
    if (expected.find((char)FRAME_TERMINATOR, segment_start) != std::string::npos) {
        abort(); // a terminator that ended no frame
    }
    return 0;
}
