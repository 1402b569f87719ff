// Time stamps and transcript entries, byte for byte in Shift-JIS.
#include "client/entry.h"

#include <limits.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

TEST(TimeStamp, FormatAndCapacity) {
    struct {
        stamp_time t;
        const char *expected;
    } cases[] = {
        {{2026, 12, 7, 9, 5}, "(2026/12/07 09:05)"},
        {{2000, 1, 1, 0, 0}, "(2000/01/01 00:00)"},
        {{1999, 12, 31, 23, 59}, "(1999/12/31 23:59)"},
        // Fields no clock gives are cut at the capacity rather than written past it.
        {{INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN}, "(-2147483648/-2147483648/-21474"},
    };
    for (const auto &c : cases) {
        char out[TIME_STAMP_CAPACITY + 8];
        memset(out, 'G', sizeof out);
        format_time_stamp(out, &c.t);
        EXPECT_STREQ(c.expected, out);
        EXPECT_EQ(std::string(8, 'G'), std::string(out + TIME_STAMP_CAPACITY, 8));
    }
}

TEST(Entry, RelayedLineBecomesThisText) {
    const char *stamp = "(2026/12/07 09:05)";
    struct {
        std::string name;
        std::string text;
        std::string expected;
    } cases[] = {
        // CR LF, "◆ ", Taro, " の発言 ", stamp, " : ", CR LF, text
        {"Taro", "hello\r\n",
         "\r\n\x81\x9f Taro \x82\xcc\x94\xad\x8c\xbe (2026/12/07 09:05) : \r\nhello\r\n"},
        // An empty name leaves two spaces between ◆ and の発言.
        {"", "x;y\r\n", "\r\n\x81\x9f  \x82\xcc\x94\xad\x8c\xbe (2026/12/07 09:05) : \r\nx;y\r\n"},
        // 名無しさん says あ
        {"\x96\xbc\x96\xb3\x82\xb5\x82\xb3\x82\xf1", "\x82\xa0\r\n",
         "\r\n\x81\x9f \x96\xbc\x96\xb3\x82\xb5\x82\xb3\x82\xf1 \x82\xcc\x94\xad\x8c\xbe "
         "(2026/12/07 09:05) : \r\n\x82\xa0\r\n"},
        {"Taro", "", "\r\n\x81\x9f Taro \x82\xcc\x94\xad\x8c\xbe (2026/12/07 09:05) : \r\n"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.expected, compose_entry(c.name, stamp, c.text)) << "name [" << c.name << "]";
    }
}

TEST(Entry, ConnectionLinesInShiftJis) {
    // MESSAGE:接続されました。 and MESSAGE:接続が切れました。
    EXPECT_EQ(std::string("MESSAGE:\x90\xda\x91\xb1\x82\xb3\x82\xea\x82\xdc\x82\xb5\x82\xbd\x81"
                          "\x42\r\n"),
              TRANSCRIPT_CONNECTED);
    EXPECT_EQ(std::string("MESSAGE:\x90\xda\x91\xb1\x82\xaa\x90\xd8\x82\xea\x82\xdc\x82\xb5\x82"
                          "\xbd\x81\x42\r\n"),
              TRANSCRIPT_DISCONNECTED);
    // MESSAGE:srv に接続できません。接続できるまで自動で試します。
    EXPECT_EQ(
        std::string("MESSAGE:srv \x82\xc9\x90\xda\x91\xb1\x82\xc5\x82\xab\x82\xdc\x82\xb9"
                    "\x82\xf1\x81\x42\x90\xda\x91\xb1\x82\xc5\x82\xab\x82\xe9\x82\xdc\x82"
                    "\xc5\x8e\xa9\x93\xae\x82\xc5\x8e\x8e\x82\xb5\x82\xdc\x82\xb7\x81\x42\r\n"),
        compose_outage_line("srv"));
    // MESSAGE:ここまでが以前の会話です。 and MESSAGE:切れていた間の発言 3 件
    EXPECT_EQ(std::string("MESSAGE:\x82\xb1\x82\xb1\x82\xdc\x82\xc5\x82\xaa\x88\xc8\x91O\x82"
                          "\xcc\x89\xef\x98\x62\x82\xc5\x82\xb7\x81\x42\r\n"),
              TRANSCRIPT_HISTORY_END);
    EXPECT_EQ(std::string("MESSAGE:\x90\xd8\x82\xea\x82\xc4\x82\xa2\x82\xbd\x8a\xd4\x82\xcc\x94"
                          "\xad\x8c\xbe 3 \x8c\x8f\r\n"),
              compose_missed_count(3));
}

TEST(Entry, NoRelayedLineOrNamePassesForTheClientsOwn) {
    const struct {
        std::string text, shown;
    } texts[] = {
        // After CR LF, a lone LF or a lone CR; after VT, FF, tab, ideographic space and
        // escapes of blanks in either case, a surrogate pair's included (U+E0020); ◆ as ◇.
        {"a\r\n\x81\x9f\n\x81\x9f\r\x81\x9f", "a\r\n\x81\x9e\n\x81\x9e\r\x81\x9e"},
        {"\x0b\x0c\t\x81\x40&#x00a0&#x00A0&#xFEFF&#xDB40&#xDC20\x81\x9f",
         "\x0b\x0c\t\x81\x40&#x00a0&#x00A0&#xFEFF&#xDB40&#xDC20\x81\x9e"},
        {"x&#x2028MESSAGE:\nMESSAGE:", "x&#x2028MESSAGE\x81\x46\nMESSAGE\x81\x46"},
        // Not at a line start, or after what shows as text: &#x3042 (あ has bytes), an escaped
        // "&" whose "#x00A0" is never read again.
        {"x\x81\x9f &#x3042\x81\x9f", "x\x81\x9f &#x3042\x81\x9f"},
        {"&#x0026#x00A0\x81\x9f", "&#x0026#x00A0\x81\x9f"},
    };
    for (const auto &t : texts) {
        EXPECT_EQ(t.shown, disarm_relay_text(t.text)) << t.text;
    }
    // Names and each name of a member list: no control byte, no cut lead byte.
    EXPECT_EQ("Taro__\x81\x9f Fake", shown_name("Taro\r\n\x81\x9f Fake"));
    EXPECT_EQ("__Z", shown_name("\x7f\x01Z\x81"));
    EXPECT_EQ("A\r\nB_C_D_\r\n\r\nE", shown_member_list("A\r\nB\rC\nD\r\r\n\r\nE"));
}
