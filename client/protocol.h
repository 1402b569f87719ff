// Frames on the wire and what the server's payloads mean.  Portable: no window or socket here.
//
// A frame is its payload followed by the single byte 0x80.  Shift-JIS uses that byte as the second
// byte of 51 characters (ム is 83 80), so what this client sends writes each of them as an escape,
// "&#x" and the code point in four hex digits, and shows such escapes as the characters again.
// Characters Shift-JIS lacks travel as escapes too (client/wide_text.h).  Frames of peers that
// send the raw bytes still end half way through such a character; the receiver copes rather than
// guesses.
#pragma once

#include <stddef.h>
#include <string>

const unsigned char FRAME_TERMINATOR = 0x80;

// The longest name on the wire, in bytes: the hello's, and every name the server gives a member.
const size_t NAME_LIMIT = 31;

// The first byte of a two-byte Shift-JIS character.  Its second byte may be any byte from 0x40
// on, 0x5C and 0x80 included, so only a walk from the start of a text tells the two apart.
inline bool is_shift_jis_lead_byte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// A byte that may follow a first byte: 40-7E or 80-FC.  Nothing below 0x40 ever does, so line
// breaks, ";" and "&" always stand for themselves.
inline bool is_shift_jis_second_byte(unsigned char byte) {
    return byte >= 0x40 && byte <= 0xFC && byte != 0x7F;
}

// How many bytes the character at text[at] takes: 2 for a first byte followed by a byte that may
// follow it, else 1.  A first byte before anything else is a character cut short, on its own.
inline size_t shift_jis_character_length(const char *text, size_t length, size_t at) {
    return is_shift_jis_lead_byte((unsigned char)text[at]) && at + 1 < length &&
                   is_shift_jis_second_byte((unsigned char)text[at + 1])
               ? 2
               : 1;
}

// The longest payload kept of one incoming frame; bytes beyond it are dropped up to the frame's
// terminator.  Member frames have no natural bound, so the cap is generous.
const size_t FRAME_PAYLOAD_CAP = 64 * 1024;

#define CLIENT_IDENTIFIER "vantrel002"
#define GOODBYE_PAYLOAD "end\n"
#define VERSION_REFUSAL_PAYLOAD "ver_err"
#define SHUTDOWN_NOTICE "server_end\n"

// Cuts the received byte stream into payloads.  Holds at most FRAME_PAYLOAD_CAP bytes.
struct frame_assembler {
    std::string payload;
    size_t dropped = 0; // bytes of this frame past the cap, which the payload lacks
};

// Feeds received bytes up to the first terminator among them, and sets *used to how many it took,
// the terminator included.  Returns 1 when it took a terminator, and the finished payload is then
// in fa->payload (and what it lost past the cap in fa->dropped) until frame_reset; returns 0 when
// it took every byte and the frame goes on.  0x00 bytes are dropped and not counted: they are
// never part of a text.
int frame_take_bytes(frame_assembler *fa, const char *bytes, size_t count, size_t *used);
void frame_reset(frame_assembler *fa);

enum payload_kind {
    PAYLOAD_IGNORED,
    PAYLOAD_VERSION_REFUSAL,
    PAYLOAD_MEMBER_LIST, // "e" + the new member list text
    PAYLOAD_RELAY,       // "d" + name + ";" + text
    // The history extension, below.
    PAYLOAD_OFFER,     // "o1;" + epoch
    PAYLOAD_LIVE_LINE, // "s" + a stored line
    PAYLOAD_PAST_LINE, // "p" + a stored line
    PAYLOAD_PAGE_END,  // "f" + "m" or "e" + ";" + gap + ";" + seq
    PAYLOAD_ACK        // "a" + id
};

payload_kind classify_payload(const std::string &payload);

// For a relay payload without its leading "d": true when it is the server's shutdown notice.
bool is_shutdown_notice(const std::string &relay_body);

// Splits a relay payload (without its leading "d") at its first ";".  Without any ";" the whole
// body is the name and the text is empty.
void split_relay(const std::string &relay_body, std::string *name, std::string *text);

// True when text ends in the first byte of a two-byte Shift-JIS character whose second byte never
// came, as a frame cut at a 0x80 second byte leaves it.
bool ends_in_cut_character(const std::string &text);

// A name with each control byte (and each ";" when asked) as "_", and a first byte cut from its
// second dropped, so that it can neither add lines to a member list nor take the byte after it.
std::string name_without_controls(const std::string &name, bool semicolons);

// An escape: "&#x" and a code point in four hex digits, "&#x30E0" for ム.
enum { ESCAPE_LENGTH = 7 };

// text with each double-byte character whose second byte is 0x80 as its escape, in upper-case
// hex.  A lone 0x80, or a pair code page 932 has no character for, becomes "?".  The result never
// holds the byte 0x80.
std::string escape_frame_text(const std::string &text);

// Each escape (hex digits in either case) that names one of those 51 characters as the bytes code
// page 932 gives for it; everything else, escapes of other characters included, as it came.
std::string unescape_frame_text(const std::string &text);

// A text as the room relays it: every CR LF stays one CR LF, and a CR or an LF on its own
// becomes CR LF.
void frame_line_breaks(const char *text, size_t count, std::string *out);

// The escape at text[at], as the receiver shows it: ESCAPE_LENGTH for one that stands for a
// character, with its code point in *code_point; twice that for a high surrogate's escape right
// before a low one's, with the character beyond U+FFFF they name; 0 for anything else, which is
// shown as it came.  An escape stands for "&", for one of the 51 characters, or for a character
// code page 932 lacks that is neither a control nor half a pair: the text of an escape of a
// character it has (&#x3042 for あ), of a control (&#x000A) or of a lone surrogate stays as it is.
size_t escape_at(const char *text, size_t length, size_t at, unsigned *code_point);

// escape_at's length alone.
size_t escape_length_at(const char *text, size_t length, size_t at);

// The length of the longest start of text, at most limit bytes, that ends between two characters
// or escapes: a cut there never splits a double-byte character, an escape, nor a pair of escapes.
size_t cut_at_character(const char *text, size_t length, size_t limit);

// The length of the longest start of text, a text whose end was cut off, that holds only whole
// characters: without a first byte whose second byte is gone, an escape cut short ("&#x30"), a high
// surrogate's escape whose pair is gone, or a CR whose LF is.
size_t whole_characters_length(const char *text, size_t length);

// "vantrel002;" + name, escaped and cut to NAME_LIMIT bytes: the first frame's payload on every
// connection.  Only the first NAME_LIMIT bytes of name count.
std::string hello_payload(const char *name);

// The payload for one line the user sends: the text as typed, escaped, then CR LF.
std::string chat_payload(const char *text);

// The same for a line typed in UTF-16 (wire_from_wide), then CR LF.
std::string chat_payload(const char16_t *text, size_t length);

// The payload plus its terminator, ready for the socket.
std::string frame_bytes(const std::string &payload);

// ---- The history extension (docs/protocol.md) ---------------------------------------------------
//
// A server that keeps history offers it first; only then does a client send the extension's
// frames, each starting with EXTENSION_MARK.  No frame built from a C string holds that byte, so
// nothing typed into any client is ever taken for one.

const char EXTENSION_MARK = '\0';
enum { CLIENT_TOKEN_LENGTH = 32, EPOCH_LENGTH = 16 };
// Sequence numbers, times and line ids: 1 to this many decimal digits, so any of them fits a
// double exactly and no sum of two overflows.
enum { NUMBER_DIGITS_LIMIT = 15 };
// One page of a replay: at most this many lines, and this many bytes of names and texts.
enum { PAGE_LINES_LIMIT = 1000 };
const size_t PAGE_BYTES_LIMIT = 256 * 1024;

// A line as the server stored it.
struct stored_line {
    long long seq;
    long long at; // when the server received it: seconds since 1970-01-01 00:00 UTC
    std::string name;
    std::string text;
};

// text[0..length) as a number of 1 to NUMBER_DIGITS_LIMIT decimal digits and nothing else.
bool parse_number_field(const char *text, size_t length, long long *number);
// 32 lower-case hex digits, a client's token.
bool is_client_token(const char *text, size_t length);

// Server to client.
std::string offer_payload(const std::string &epoch);
// kind 's' (said now) or 'p' (past): kind + seq + ";" + at + ";" + name + ";" + text.
std::string stored_line_payload(char kind, long long seq, long long at, const std::string &name,
                                const char *text, size_t text_length);
// gap < 0: the replay holds everything asked for.  upto: the newest seq the replay has covered,
// so that a client knows where it stands even when nothing was replayed.
std::string page_end_payload(bool more, long long gap, long long upto);
std::string ack_payload(long long id);

bool parse_offer(const std::string &payload, std::string *epoch);
// An "s" or "p" payload.
bool parse_stored_line(const std::string &payload, stored_line *line);
// *gap is -1 when the page end carries none.
bool parse_page_end(const std::string &payload, bool *more, long long *gap, long long *upto);
bool parse_ack(const std::string &payload, long long *id);

// Client to server.  after < 0: nothing shown yet (the epoch is then left out too).
std::string register_payload(const std::string &token, const std::string &epoch, long long after);
// chat is what a chat frame would carry: the text and its CR LF.
std::string numbered_line_payload(long long id, const std::string &chat);
std::string more_payload(void);

enum request_kind {
    REQUEST_NONE,      // not the extension's: an ordinary frame
    REQUEST_MALFORMED, // starts with EXTENSION_MARK but is none of the below
    REQUEST_REGISTER,
    REQUEST_LINE,
    REQUEST_MORE
};

struct extension_request {
    std::string token; // REQUEST_REGISTER
    std::string epoch; // REQUEST_REGISTER; "" when none
    long long after;   // REQUEST_REGISTER; -1 when none
    long long id;      // REQUEST_LINE
    size_t text_at;    // REQUEST_LINE: where its text starts in the payload
};

// What a client's frame asks of the server.
request_kind parse_request(const char *payload, size_t count, extension_request *request);
