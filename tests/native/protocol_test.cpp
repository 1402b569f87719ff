// Frame assembly over any chunking of the stream, payload kinds, relay parsing, sent payloads.
#include "client/protocol.h"

#include "client/code_page.h"
#include "client/cut_text.h"
#include "client/wide_text.h"

#include <string.h>

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

// Every finished frame as "<length>:<payload>|", and "<length>+<dropped>:<payload>|" when bytes
// past the cap were dropped, so frames with any bytes compare as one string.
static void note_frame(std::string *frames, const std::string &payload, size_t dropped = 0) {
    *frames += std::to_string(payload.size()) + (dropped ? "+" + std::to_string(dropped) : "") +
               ":" + payload + "|";
}

// Feeds stream to one assembler the way the receive loop does, a received block at a time, the
// blocks cut where next_block says.
static std::string assemble(const std::string &stream, size_t (*next_block)(size_t *),
                            size_t state) {
    frame_assembler fa;
    std::string frames;
    size_t at = 0;
    while (at < stream.size()) {
        size_t end = std::min(stream.size(), at + next_block(&state));
        for (size_t used; at < end; at += used) {
            if (frame_take_bytes(&fa, &stream[at], end - at, &used)) {
                note_frame(&frames, fa.payload, fa.dropped);
                frame_reset(&fa);
            }
        }
    }
    return frames;
}

static size_t fixed_block(size_t *size) {
    return *size;
}

// A small linear congruential generator: blocks of 1 to 64 bytes, the same for the same start.
static size_t random_block(size_t *state) {
    *state = (*state * 1103515245u + 12345u) & 0x7fffffffu;
    return 1 + (*state >> 16) % 64;
}

static std::string bytes(const char *s, size_t n) {
    return std::string(s, n);
}

TEST(FrameAssembly, SameFramesWhateverTheChunking) {
    struct {
        std::string stream;
        std::string frames;
    } cases[] = {
        {"dTaro;hello\r\n\x80", "13:dTaro;hello\r\n|"},
        {"a\x80\x80"
         "b\x80",
         "1:a|0:|1:b|"},
        {"abc", ""},
        {"eA\nB\x80"
         "dX;y\x80"
         "tail",
         "4:eA\nB|4:dX;y|"},
        {bytes("x\0y\x80", 4), "2:xy|"},
        {bytes("\0\0\x80\0", 4), "0:|"},
        // ム is 83 80: the frame ends after 0x83 and the rest arrives as a frame of its own.
        {"dA;\x83\x80X\x80", "4:dA;\x83|1:X|"},
        // あ is 82 A0, 0x3B-free and 0x80-free: it passes whole.
        {"dA;\x82\xa0\r\n\x80", "7:dA;\x82\xa0\r\n|"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        for (size_t block = 1; block <= cases[i].stream.size() + 1; block++) {
            EXPECT_EQ(cases[i].frames, assemble(cases[i].stream, fixed_block, block))
                << "case " << i << ", blocks of " << block;
        }
        for (size_t start = 1; start <= 20; start++) {
            EXPECT_EQ(cases[i].frames, assemble(cases[i].stream, random_block, start))
                << "case " << i << ", random blocks from " << start;
        }
    }
}

TEST(FrameAssembly, OverlongFrameIsCutAtTheCapAndTheNextIsIntact) {
    std::string pattern;
    for (size_t i = 0; pattern.size() < FRAME_PAYLOAD_CAP + 5000; i++) {
        pattern.push_back((char)('a' + i % 26));
    }
    struct {
        size_t length;
        size_t kept;
    } cases[] = {
        {FRAME_PAYLOAD_CAP - 1, FRAME_PAYLOAD_CAP - 1},
        {FRAME_PAYLOAD_CAP, FRAME_PAYLOAD_CAP},
        {FRAME_PAYLOAD_CAP + 1, FRAME_PAYLOAD_CAP},
        {FRAME_PAYLOAD_CAP + 5000, FRAME_PAYLOAD_CAP},
    };
    for (const auto &c : cases) {
        std::string stream = pattern.substr(0, c.length) + "\x80" + "eok\x80";
        std::string expected = "";
        note_frame(&expected, pattern.substr(0, c.kept), c.length - c.kept);
        note_frame(&expected, "eok");
        for (size_t start = 1; start <= 3; start++) {
            std::string got = assemble(stream, random_block, start);
            EXPECT_TRUE(expected == got)
                << "a frame of " << c.length << " bytes: expected " << expected.size()
                << " bytes of frames, got " << got.size() << " starting " << got.substr(0, 12);
        }
    }
}

TEST(PayloadKinds, VersionRefusalIsTheWholePayloadThenTheFirstByteDecides) {
    struct {
        std::string payload;
        payload_kind kind;
    } cases[] = {
        {"ver_err", PAYLOAD_VERSION_REFUSAL},
        {"ver_err\n", PAYLOAD_IGNORED},
        {"ver_errX", PAYLOAD_IGNORED},
        {"ver_er", PAYLOAD_IGNORED},
        {"ever_err", PAYLOAD_MEMBER_LIST},
        {"dver_err", PAYLOAD_RELAY},
        {"", PAYLOAD_IGNORED},
        {"d", PAYLOAD_RELAY},
        {"e", PAYLOAD_MEMBER_LIST},
        {"dTaro;hi\r\n", PAYLOAD_RELAY},
        {"eTaro\r\nHana\r\n", PAYLOAD_MEMBER_LIST},
        {"D", PAYLOAD_IGNORED},
        {"E", PAYLOAD_IGNORED},
        {"x", PAYLOAD_IGNORED},
        {"vantrel002;Taro", PAYLOAD_IGNORED},
        {"\x83", PAYLOAD_IGNORED},
        {"\x82\xa0", PAYLOAD_IGNORED},
        {"o1;3f9a0c2d5e7b1a64", PAYLOAD_OFFER},
        {"s1;2;Taro;x", PAYLOAD_LIVE_LINE},
        {"p1;2;Taro;x", PAYLOAD_PAST_LINE},
        {"fe;;0", PAYLOAD_PAGE_END},
        {"a7", PAYLOAD_ACK},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.kind, classify_payload(c.payload)) << "payload [" << c.payload << "]";
    }
}

// What a client sends past the offer is read strictly: anything not exactly one of the requests
// is refused, and a frame without the leading 0x00 is never one.  (The server's frames are read
// back by the room fuzzer, from every frame the room sends.)
TEST(HistoryFrames, RequestsAreReadStrictly) {
    const std::string token = "0123456789abcdef0123456789abcdef";
    const std::string mark(1, '\0');
    struct {
        std::string payload;
        request_kind kind;
        long long number; // after, or the line's id
    } cases[] = {
        {mark + "r" + token + ";;", REQUEST_REGISTER, -1},
        {mark + "r" + token + ";3f9a0c2d5e7b1a64;41", REQUEST_REGISTER, 41},
        {mark + "r" + token + ";3f9a;", REQUEST_MALFORMED, -1},
        {mark + "r" + token + ";;41", REQUEST_MALFORMED, -1},
        {mark + "r" + token.substr(1) + ";;", REQUEST_MALFORMED, -1},
        {mark + "r0123456789ABCDEF0123456789abcdef;;", REQUEST_MALFORMED, -1},
        {mark + "r" + token + ";3f;1234567890123456", REQUEST_MALFORMED, -1},
        {mark + "l7;了解です\r\n", REQUEST_LINE, 7},
        {mark + "l0;x\r\n", REQUEST_MALFORMED, -1},
        {mark + "l-1;x\r\n", REQUEST_MALFORMED, -1},
        {mark + "l7", REQUEST_MALFORMED, -1},
        {mark + "m", REQUEST_MORE, -1},
        {mark + "mm", REQUEST_MALFORMED, -1},
        {mark, REQUEST_MALFORMED, -1},
        {"r" + token + ";;", REQUEST_NONE, -1},
        {"l7;hello\r\n", REQUEST_NONE, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.payload.substr(1));
        extension_request r;
        r.after = r.id = -1;
        ASSERT_EQ(c.kind, parse_request(c.payload.data(), c.payload.size(), &r));
        EXPECT_EQ(c.number, c.kind == REQUEST_LINE ? r.id : r.after);
        if (c.kind == REQUEST_LINE) {
            EXPECT_EQ(c.payload.substr(r.text_at), c.payload.substr(c.payload.find(';') + 1));
        }
    }
}

TEST(RelayParsing, FirstSemicolonSeparatesNameAndText) {
    struct {
        std::string body;
        std::string name;
        std::string text;
        bool shutdown;
    } cases[] = {
        {"Taro;hello\r\n", "Taro", "hello\r\n", false},
        {";text\r\n", "", "text\r\n", false},
        {"a;b;c;", "a", "b;c;", false},
        {"Taro;", "Taro", "", false},
        {"no separator", "no separator", "", false},
        {"", "", "", false},
        {";", "", "", false},
        // 名無しさん;あ
        {"\x96\xbc\x96\xb3\x82\xb5\x82\xb3\x82\xf1;\x82\xa0",
         "\x96\xbc\x96\xb3\x82\xb5\x82\xb3\x82\xf1", "\x82\xa0", false},
        {"server_end\n", "server_end\n", "", true},
        {"server_end", "server_end", "", false},
        {"server_end\r\n", "server_end\r\n", "", false},
        {"xserver_end\n", "xserver_end\n", "", false},
        {"server_end\n;", "server_end\n", "", false},
    };
    for (const auto &c : cases) {
        std::string name = "stale", text = "stale";
        split_relay(c.body, &name, &text);
        EXPECT_EQ(c.name, name) << "body [" << c.body << "]";
        EXPECT_EQ(c.text, text) << "body [" << c.body << "]";
        EXPECT_EQ(c.shutdown, is_shutdown_notice(c.body)) << "body [" << c.body << "]";
    }
}

TEST(CutCharacters, OnlyADanglingFirstByteCounts) {
    struct {
        std::string text;
        bool cut;
    } cases[] = {
        {"", false},
        {"abc\r\n", false},
        {"\x83", true},         // ム cut before its 0x80
        {"ab\x81", true},       // ÷ cut likewise
        {"\x82\xa0", false},    // あ whole
        {"\x82\xa0\x83", true}, // あ, then a cut character
        {"\x83\x81", false},    // one character whose second byte looks like a first byte
        {"\x83\x81\x81", true}, // that character, then a cut one
        {"\xe0\x40\xfc", true}, // the upper lead range
        {"\xa0\xdf", false},    // half-width katakana are single bytes
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.cut, ends_in_cut_character(c.text)) << "text [" << c.text << "]";
    }
}

// Cut after ム's first byte, in an escape, between a pair's escapes, between CR and LF.
TEST(CutCharacters, ATextCutAtTheCapKeepsWholeCharactersAndSaysSo) {
    const char *cases[][2] = {
        {"abc", "abc"},      {"ab\x83", "ab"},         {"ab\x83\x81", "ab\x83\x81"},
        {"ab&", "ab"},       {"ab&#x30", "ab"},        {"ab&#x30E0", "ab&#x30E0"},
        {"ab&#xD83D", "ab"}, {"ab&#xD83D&#xDE", "ab"}, {"ab&#xD83D&#xDE00", "ab&#xD83D&#xDE00"},
        {"a&b", "a&b"},      {"ab&#xZ", "ab&#xZ"},     {"ab\r", "ab"},
        {"ab\r\n", "ab\r\n"}};
    for (const auto &c : cases) {
        EXPECT_EQ(c[1], std::string(c[0], whole_characters_length(c[0], strlen(c[0])))) << c[0];
    }
    // …（長すぎるため省略しました）
    const std::string mark = "\x81\x63\x81\x69\x92\xb7\x82\xb7\x82\xac\x82\xe9\x82\xbd\x82\xdf"
                             "\x8f\xc8\x97\xaa\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x6a\r\n";
    EXPECT_EQ("ab\r\n" + mark, end_with_cut_mark("ab"));
    EXPECT_EQ("ab\r\n" + mark, end_with_cut_mark("ab\r\n"));
    EXPECT_EQ(mark, end_with_cut_mark(""));
}

TEST(SentPayloads, HelloChatAndGoodbyeBytes) {
    // The name buffer holds 31 bytes and a NUL; nothing past it is sent.
    char long_name[40];
    memset(long_name, 'n', sizeof long_name - 1);
    long_name[sizeof long_name - 1] = '\0';
    struct {
        std::string got;
        std::string expected;
    } cases[] = {
        // 名無しさん
        {frame_bytes(hello_payload("\x96\xbc\x96\xb3\x82\xb5\x82\xb3\x82\xf1")),
         "vantrel002;\x96\xbc\x96\xb3\x82\xb5\x82\xb3\x82\xf1\x80"},
        {frame_bytes(hello_payload("a;b")), "vantrel002;a;b\x80"},
        {frame_bytes(hello_payload("")), "vantrel002;\x80"},
        {hello_payload(long_name), "vantrel002;" + std::string(31, 'n')},
        // ム and 準 escaped; five escapes would pass 31 bytes, so the fifth ム goes whole.
        {hello_payload("\x83\x80\x8f\x80"), "vantrel002;&#x30E0&#x6E96"},
        {hello_payload("abc\x83\x80\x83\x80\x83\x80\x83\x80\x83\x80"),
         "vantrel002;abc&#x30E0&#x30E0&#x30E0&#x30E0"},
        // Three ム escaped and a pair of escapes would pass 31 bytes: the pair goes whole.
        {hello_payload("\x83\x80\x83\x80\x83\x80&#xD83D&#xDE00"),
         "vantrel002;&#x30E0&#x30E0&#x30E0"},
        {frame_bytes(chat_payload("\x83\x80\x81\x80\r\n\x80")), "&#x30E0&#x00F7\r\n?\r\n\x80"},
        // あ
        {frame_bytes(chat_payload("\x82\xa0")), "\x82\xa0\r\n\x80"},
        {frame_bytes(chat_payload("one\r\ntwo")), "one\r\ntwo\r\n\x80"},
        {frame_bytes(GOODBYE_PAYLOAD), "end\n\x80"},
        {frame_bytes(""), "\x80"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        EXPECT_EQ(cases[i].expected, cases[i].got) << "case " << i;
    }
}

TEST(Escapes, EveryEightyCharacterRoundTripsAndNothingElseChanges) {
    int characters = 0;
    for (unsigned lead = 0x81; lead <= 0xFC; lead++) {
        std::string pair = {(char)lead, '\x80'};
        if (!is_shift_jis_lead_byte((unsigned char)lead) ||
            cp932_to_code_point(pair.data(), 2) == 0) {
            continue;
        }
        characters++;
        std::string sent = escape_frame_text("a" + pair + "b");
        EXPECT_EQ(sent.size(), 2u + ESCAPE_LENGTH) << "lead " << std::hex << lead;
        EXPECT_EQ(sent.find('\x80'), std::string::npos) << "lead " << std::hex << lead;
        // ED 80 and EE 80 come back as the IBM row's encoding of the same character.
        std::string shown = lead == 0xED ? "\xfa\x9c" : lead == 0xEE ? "\xfb\x9c" : pair;
        EXPECT_EQ(unescape_frame_text(sent), "a" + shown + "b") << "lead " << std::hex << lead;
    }
    EXPECT_EQ(characters, 51);

    // Sent as they are, and shown as they came.
    // あ has no 0x80 byte, so a literal escape of it stays literal; ャ's second byte is a first
    // byte; the rest are escapes cut short or misspelt, and a lone first byte.
    const char *unchanged[] = {"",        "abc\r\n", "\x82\xa0\x83\x81", "&#x3042",  "&#x30E",
                               "&#x30EG", "&#X30E0", "&#30E0",           "& #x30E0", "\x83"};
    for (const char *text : unchanged) {
        EXPECT_EQ(escape_frame_text(text), text);
        EXPECT_EQ(unescape_frame_text(text), text);
    }
    // Either case of hex digit, escapes back to back and at both ends.
    EXPECT_EQ(unescape_frame_text("&#x30e0&#x6E96x&#x30E0"), "\x83\x80\x8f\x80x\x83\x80");
}

// Typed in the window, on the wire, shown again; rows with nothing typed are only received.
TEST(WideText, TypedSentAndShown) {
    struct {
        const char16_t *typed;
        std::string wire;
        std::u16string shown;
    } cases[] = {
        {u"😀", "&#xD83D&#xDE00", u"😀"},
        {u"了解です👍", "了解です&#xD83D&#xDC4D", u"了解です👍"},
        {u"𠮷野家", "&#xD842&#xDFB7野家", u"𠮷野家"},
        {u"♡♥", "&#x2661&#x2665", u"♡♥"},
        // JIS X 0208's forms go as code page 932's characters, which show as Windows has them.
        {u"〜−‖—¢£¬", "\x81\x60\x81\x7c\x81\x61\x81\x5c\x81\x91\x81\x92\x81\xca", u"～－∥―￠￡￢"},
        {u"한국어", "&#xD55C&#xAD6D&#xC5B4", u"한국어"},
        {u"这个", "&#x8FD9\x98\xa2", u"这个"},
        {u"€①㈱髙～", "&#x20AC\x87\x40\x87\x8a\xfb\xfc\x81\x60", u"€①㈱髙～"},
        {u"ム", "&#x30E0", u"ム"},
        {u"&#x00E9 &#x00e", "&#x0026#x00E9 &#x00e", u"&#x00E9 &#x00e"},
        {u"a\xD83Dz\xDE00", "a?z?", u"a?z?"},
        {nullptr, "&#x3042&#x000A&#xDE00&#xD83D", u"&#x3042&#x000A&#xDE00&#xD83D"},
        {nullptr, "&#xB9D1&#xC740 &#xACE0&#xB515", u"맑은 고딕"}, // memo.ini's font name
        {nullptr, "\x83\x80&#x30e0&#xd83d&#xde00", u"ムム😀"},
        // No character: a first byte before a line break and at the end, a pair the tables lack,
        // and the bytes only Windows maps.
        {nullptr, "a\x83\r\n\x85\x40\x80\xa0\xfd\x83",
         u"a\xFFFD\r\n\xFFFD\xFFFD\xFFFD\xFFFD\xFFFD"},
    };
    for (const auto &c : cases) {
        if (c.typed != nullptr) {
            size_t length = std::char_traits<char16_t>::length(c.typed);
            EXPECT_EQ(c.wire, wire_from_wide(c.typed, length));
            EXPECT_EQ(c.wire + "\r\n", chat_payload(c.typed, length));
        }
        EXPECT_EQ(c.shown, wide_from_shift_jis(c.wire)) << c.wire;
        EXPECT_EQ(c.shown, wide_from_shift_jis(unescape_frame_text(c.wire))) << c.wire;
    }

    // Every other character comes back as it was typed, and nothing on the wire ends a frame.
    const std::u16string variants = u"〜−‖—¢£¬";
    std::u16string all;
    for (unsigned c = 1; c <= 0xFFFF; c++) {
        if ((c < 0xD800 || c > 0xDFFF) && (c < 0x80 || c > 0x9F) &&
            variants.find((char16_t)c) == std::u16string::npos) {
            all += (char16_t)c;
        }
    }
    std::string wire = wire_from_wide(all.data(), all.size());
    EXPECT_EQ(std::string::npos, wire.find_first_of(std::string("\x80\0", 2)));
    std::u16string shown = wide_from_shift_jis(wire);
    size_t differs =
        std::mismatch(all.begin(), all.end(), shown.begin(), shown.end()).first - all.begin();
    EXPECT_EQ(all.size(), differs)
        << "U+" << std::hex << (differs < all.size() ? (unsigned)all[differs] : 0);

    // One pass, no step looking back: 100,000 escapes take no time.
    std::string many;
    for (int i = 0; i < 100000; i++) {
        many += "&#x00E9";
    }
    EXPECT_EQ(std::u16string(100000, u'\xE9'), wide_from_shift_jis(many));
}
