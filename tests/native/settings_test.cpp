// memo.ini lookups and start-up values, read from real files in a scratch folder.
#include "settings/settings.h"

#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "client/connection_plan.h"
#include "tests/native/scratch_folder.h"

// The allocation-failure case asks for SIZE_MAX bytes; the sanitizer must hand back NULL for it
// as the C library would, instead of stopping the program.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char *__asan_default_options() {
    return "allocator_may_return_null=1";
}
#endif

static int g_missing_reports = 0;

void report_missing_settings_file(void) {
    g_missing_reports++;
}

// 名無しさん
static const char ANONYMOUS[] = "\x96\xbc\x96\xb3\x82\xb5\x82\xb3\x82\xf1";

static const size_t GUARD = 16;
static const char GUARD_BYTE = 'G';

// Writes contents as memo.ini in a fresh folder and looks key up in it with a destination of
// capacity bytes followed by guard bytes.  *result gets read_setting's result; *overrun is set
// when a guard byte changed or the value is not terminated within the capacity.
static std::string look_up_in(const std::string &contents, const char *key, size_t capacity,
                              int *result, bool *overrun) {
    std::string folder;
    if (!make_scratch_folder(&folder)) {
        ADD_FAILURE() << "no scratch folder";
        return "";
    }
    std::string path = folder + "/memo.ini";
    EXPECT_TRUE(write_file(path, contents));
    std::string destination(capacity + GUARD, GUARD_BYTE);
    FILE *file = fopen(path.c_str(), "rb");
    EXPECT_TRUE(file != NULL);
    *result = read_setting(file, key, capacity, &destination[0]);
    // Windows refuses to remove a file that is still open, so this also shows it was closed.
    EXPECT_EQ(0, remove(path.c_str())) << "memo.ini left open";
    EXPECT_TRUE(remove_scratch_folder(folder));
    *overrun = destination.find('\0') >= capacity ||
               destination.compare(capacity, GUARD, std::string(GUARD, GUARD_BYTE)) != 0;
    return destination.substr(0, destination.find('\0'));
}

struct lookup_case {
    const char *contents;
    const char *key;
    const char *expected;
};

static void check_lookups(const lookup_case *cases, size_t count) {
    for (size_t i = 0; i < count; i++) {
        const lookup_case &c = cases[i];
        int result = 0;
        bool overrun = false;
        std::string got = look_up_in(c.contents, c.key, SERVER_CAPACITY, &result, &overrun);
        EXPECT_EQ(0, result) << "case " << i;
        EXPECT_FALSE(overrun) << "case " << i;
        EXPECT_EQ(std::string(c.expected), got)
            << "case " << i << ": key " << c.key << " in [" << c.contents << "]";
    }
}

TEST(ReadSetting, TextBeforeEqualsMustBeAPrefixOfTheKey) {
    const lookup_case cases[] = {
        {"name=Taro;\n", "name", "Taro"},
        {"name= Taro ;\n", "name", " Taro "},
        {"nam=Hana;\n", "name", "Hana"},
        {"n=Ken;\n", "name", "Ken"},
        {"=Any;\n", "server", "Any"},
        {"font=Mincho;\n", "font_name", "Mincho"},
        {"names=No;\nname=Yes;\n", "name", "Yes"},
        {"name =No;\nname=Yes;\n", "name", "Yes"},
        {" name=No;\nname=Yes;\n", "name", "Yes"},
        {"Name=No;\n", "name", "NONE"},
        {"font_size_x=1;\nfont_size=9;\n", "font_size", "9"},
        {"name\n", "name", "NONE"},
        {"name;=x\n", "name", "NONE"},
    };
    check_lookups(cases, sizeof cases / sizeof cases[0]);
}

TEST(ReadSetting, FirstMatchingLineWinsAndNoMatchGivesNone) {
    const lookup_case cases[] = {
        {"server=a.example;\nserver=b.example;\n", "server", "a.example"},
        {"font_size=12;\nserver=s;\nname=Taro;\n", "name", "Taro"},
        {"=shadow;\nname=Taro;\n", "name", "shadow"},
        {"name=Taro;\n=late;\n", "name", "Taro"},
        {"", "name", "NONE"},
        {"\n\n\n", "name", "NONE"},
        {"font_name=Gothic;\n", "name", "NONE"},
        {"\nname=Taro;", "name", "Taro"},
        // Text mode stopped at 0x1A, and a Shift-JIS file still does.
        {"\x1a\nname=Taro;\n", "name", "NONE"},
    };
    check_lookups(cases, sizeof cases / sizeof cases[0]);
}

TEST(ReadSetting, ValueEndsAtTheFirstSemicolon) {
    const lookup_case cases[] = {
        {"name=Taro; whatever=1;\n", "name", "Taro"},
        {"name=;\n", "name", ""},
        {"name=;Taro;\n", "name", ""},
        {"name=Taro;\r\n", "name", "Taro"},
        {"name=a=b;\n", "name", "a=b"},
        // 名無 stays as its Shift-JIS bytes.
        {"name=\x96\xbc\x96\xb3;\n", "name", "\x96\xbc\x96\xb3"},
        // ﾃｨ in Shift-JIS is valid UTF-8 (è), but with no longer sequence it stays as it is.
        {"name=\xc3\xa8;\r\n", "name", "\xc3\xa8"},
        // é太郎 in UTF-8 without a mark: é has no Shift-JIS form and must not pass for "e"; it
        // travels as its escape.
        {"name=\xc3\xa9\xe5\xa4\xaa\xe9\x83\x8e;\r\n", "name", "&#x00E9\x91\xbe\x98\x59"},
        // 😀 and the font 맑은 고딕 likewise (shown again: WideText).
        {"name=\xf0\x9f\x98\x80;\r\n", "name", "&#xD83D&#xDE00"},
        {"font_name=\xeb\xa7\x91\xec\x9d\x80 \xea\xb3\xa0\xeb\x94\x95;", "font_name",
         "&#xB9D1&#xC740 &#xACE0&#xB515"},
    };
    check_lookups(cases, sizeof cases / sizeof cases[0]);
}

TEST(ReadSetting, ValueWithoutSemicolonRunsToTheLineBreak) {
    const lookup_case cases[] = {
        {"name=Taro\n", "name", "Taro"},     {"name=Taro\r\n", "name", "Taro"},
        {"name=Taro", "name", "Taro"},       {"name=\n", "name", ""},
        {"name=Ta\rro\n", "name", "Ta\rro"}, {"name=Taro\nname=Jiro;\n", "name", "Taro"},
    };
    check_lookups(cases, sizeof cases / sizeof cases[0]);
}

// One memo.ini, saved in each encoding Notepad offers.  The text is written once; p is the
// literal's prefix (u8 or u).
#define LOGICAL_MEMO(p)                                                                            \
    p##"log_folder=会話\\尚;\r\n"                                                               \
       "name=一二三四五六七八九十百千;\r\n"                                            \
       "font_name=ＭＳ ゴシック;\r\n"                                                        \
       "font_size=10;\r\n"                                                                         \
       "server=表示.example;\r\n"

static std::string utf16_bytes(const char16_t *text, bool big_endian) {
    std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (; *text != 0; text++) {
        char high = (char)(*text >> 8), low = (char)(*text & 0xFF);
        bytes += big_endian ? std::string{high, low} : std::string{low, high};
    }
    return bytes;
}

TEST(ReadSetting, EveryEncodingNotepadOffersGivesTheShiftJisValues) {
    const struct {
        const char *key;
        size_t capacity;
        std::string shift_jis;
    } values[] = {
        // 会話\尚: 尚 is 1a 5c in UTF-16, where text mode would have stopped reading.
        {"log_folder", LOG_FOLDER_CAPACITY, "\x89\xEF\x98\x62\\\x8F\xAE"},
        // The longest name in Shift-JIS still fits as UTF-8's 36 bytes: capacities count
        // Shift-JIS bytes.  十 ends in 5c.
        {"name", NAME_CAPACITY,
         "\x88\xEA\x93\xF1\x8E\x4F\x8E\x6C\x8C\xDC\x98\x5A\x8E\xB5\x94\xAA\x8B\xE3\x8F\x5C\x95\x53"
         "\x90\xE7"},
        {"font_name", FONT_NAME_CAPACITY,
         "\x82\x6C\x82\x72 \x83\x53\x83\x56\x83\x62\x83\x4E"}, // ＭＳ ゴシック
        {"font_size", FONT_SIZE_CAPACITY, "10"},
        {"server", SERVER_CAPACITY, "\x95\x5C\x8E\xA6.example"}, // 表示: 表 ends in 5c
    };
    std::string shift_jis_file;
    for (const auto &v : values) {
        shift_jis_file += std::string(v.key) + "=" + v.shift_jis + ";\r\n";
    }
    const std::string utf8 = (const char *)LOGICAL_MEMO(u8);
    // Shift-JIS, UTF-8 with and without a BOM, UTF-16 LE and BE.
    const std::string files[] = {shift_jis_file, "\xEF\xBB\xBF" + utf8, utf8,
                                 utf16_bytes(LOGICAL_MEMO(u), false),
                                 utf16_bytes(LOGICAL_MEMO(u), true)};
    for (size_t f = 0; f < 5; f++) {
        for (const auto &v : values) {
            SCOPED_TRACE("file " + std::to_string(f) + ", " + v.key);
            int result = 0;
            bool overrun = false;
            EXPECT_EQ(v.shift_jis, look_up_in(files[f], v.key, v.capacity, &result, &overrun));
            EXPECT_EQ(0, result);
            EXPECT_FALSE(overrun);
        }
    }
}

struct capacity_case {
    const char *key;
    size_t capacity;
};

static const capacity_case CAPACITIES[] = {
    {"name", NAME_CAPACITY},
    {"font_name", FONT_NAME_CAPACITY},
    {"font_size", FONT_SIZE_CAPACITY},
    {"server", SERVER_CAPACITY},
};

// Lines are cut into chunks of capacity - 1 bytes; only the first chunk of a matching line counts.
TEST(ReadSetting, LongLinesNearEachCapacity) {
    for (const capacity_case &c : CAPACITIES) {
        const std::string key = c.key;
        const size_t chunk = c.capacity - 1;
        const size_t longest = chunk - key.size() - 2; // key "=" value ";" fill one chunk
        const std::string value(3 * c.capacity, 'v');
        struct {
            std::string contents;
            std::string expected;
        } cases[] = {
            {key + "=" + value.substr(0, longest) + ";\n", value.substr(0, longest)},
            // The ";" is the first byte of the next chunk: the chunk's bytes after "=" count.
            {key + "=" + value.substr(0, longest + 1) + ";\n", value.substr(0, longest + 1)},
            {key + "=" + value + ";\n", value.substr(0, longest + 1)},
            {key + "=" + value + "\n", value.substr(0, longest + 1)},
            // The largest value any line can give: capacity - 2 bytes after a bare "=".
            {"=" + value.substr(0, chunk - 1) + "\n", value.substr(0, chunk - 1)},
            {"=" + value.substr(0, chunk - 2) + "\n", value.substr(0, chunk - 2)},
            // The line break alone spills into the next chunk.
            {key + "=" + value.substr(0, longest + 1) + "\n", value.substr(0, longest + 1)},
            {std::string(2 * c.capacity, 'x') + "\n" + key + "=ok;\n", "ok"},
            // Each chunk is tested on its own, so a key starting a later chunk matches.
            {std::string(chunk, 'x') + key + "=late;\n", "late"},
            {std::string(chunk - 1, 'x') + key + "=late;\n", "NONE"},
        };
        for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
            int result = 0;
            bool overrun = false;
            std::string got = look_up_in(cases[i].contents, c.key, c.capacity, &result, &overrun);
            EXPECT_EQ(0, result) << key << " case " << i;
            EXPECT_FALSE(overrun) << key << " case " << i;
            EXPECT_EQ(cases[i].expected, got)
                << key << " case " << i << ": expected " << cases[i].expected.size()
                << " bytes, got " << got.size();
        }
    }
}

TEST(ReadSetting, NoMemoryLeavesDestinationAndSaysWhy) {
    std::string folder;
    ASSERT_TRUE(make_scratch_folder(&folder));
    std::string path = folder + "/memo.ini";
    ASSERT_TRUE(write_file(path, "name=Taro;\n"));
    char destination[8] = "keep";
    FILE *file = fopen(path.c_str(), "r");
    ASSERT_TRUE(file != NULL);
    testing::internal::CaptureStderr();
    int result = read_setting(file, "name", SIZE_MAX, destination);
    std::string said = testing::internal::GetCapturedStderr();
    int error = errno;
    EXPECT_EQ(-1, result);
    EXPECT_STREQ("keep", destination);
    // メモリ確保に失敗しました: + the system's text for the error + newline
    std::string expected = "\x83\x81\x83\x82\x83\x8a\x8a\x6d\x95\xdb\x82\xc9\x8e\xb8\x94\x73"
                           "\x82\xb5\x82\xdc\x82\xb5\x82\xbd: ";
    expected += strerror(ENOMEM);
    expected += "\n";
    // The sanitizer may say its own word first; the program's line is the last.
    EXPECT_TRUE(said.size() >= expected.size() &&
                said.compare(said.size() - expected.size(), expected.size(), expected) == 0)
        << "expected the line [" << expected << "], got [" << said << "], errno " << error;
    EXPECT_EQ(0, remove(path.c_str())) << "memo.ini left open";
    EXPECT_TRUE(remove_scratch_folder(folder));
}

struct start_up_case {
    const char *contents;
    const char *name;
    const char *font_face;
    int font_height;
    const char *server;
};

TEST(LoadSettings, StartUpValuesFromTheFile) {
    const start_up_case cases[] = {
        {"name=Taro;\nfont_name=MS Gothic;\nfont_size=12;\nserver=chat.example;\n", "Taro",
         "MS Gothic", 24, "chat.example"},
        {"server=s;\nfont_size=10;\nname=Hana;\n", "Hana", "NONE", 20, "s"},
        {"name=;\n", ANONYMOUS, "NONE", 0, "NONE"},
        {"name=SYSTEM;\n", ANONYMOUS, "NONE", 0, "NONE"},
        {"name=system;\n", "system", "NONE", 0, "NONE"},
        {"name=SYSTEMS;\n", "SYSTEMS", "NONE", 0, "NONE"},
        {"", "NONE", "NONE", 0, "NONE"},
        {"font_size=abc;\n", "NONE", "NONE", 0, "NONE"},
        {"font_size= -7px;\n", "NONE", "NONE", -14, "NONE"},
        {"font_size=12;font_size=99;\n", "NONE", "NONE", 24, "NONE"},
        // Doubling would overflow an int: held at the largest one.
        {"font_size=2000000000;\n", "NONE", "NONE", INT_MAX, "NONE"},
        {"=x;\n", "x", "x", 0, "x"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        const start_up_case &c = cases[i];
        std::string folder, previous;
        ASSERT_TRUE(make_scratch_folder(&folder));
        ASSERT_TRUE(write_file(folder + "/memo.ini", c.contents));
        ASSERT_TRUE(enter_folder(folder, &previous));
        char name[NAME_CAPACITY] = "";
        char server[SERVER_CAPACITY] = "";
        char font_face[FONT_NAME_CAPACITY] = "";
        int font_height = -1;
        int reports_before = g_missing_reports;
        load_settings(name, server, font_face, &font_height);
        ASSERT_TRUE(leave_folder(previous));
        EXPECT_TRUE(remove_scratch_folder(folder));
        EXPECT_EQ(reports_before, g_missing_reports) << "case " << i;
        EXPECT_STREQ(c.name, name) << "case " << i;
        EXPECT_STREQ(c.font_face, font_face) << "case " << i;
        EXPECT_EQ(c.font_height, font_height) << "case " << i;
        EXPECT_STREQ(c.server, server) << "case " << i;
    }
}

TEST(LoadSettings, MissingFileIsReportedPerLookupAndKeepsDestinations) {
    struct {
        const char *name_before;
        const char *name_after;
    } cases[] = {
        {"", ANONYMOUS},
        {"Taro", "Taro"},
        {"SYSTEM", ANONYMOUS},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        std::string folder, previous;
        ASSERT_TRUE(make_scratch_folder(&folder));
        ASSERT_TRUE(enter_folder(folder, &previous));
        char name[NAME_CAPACITY];
        snprintf(name, sizeof name, "%s", cases[i].name_before);
        char server[SERVER_CAPACITY] = "old.example";
        char font_face[FONT_NAME_CAPACITY] = "Old Face";
        int font_height = 99;
        int reports_before = g_missing_reports;
        load_settings(name, server, font_face, &font_height);
        ASSERT_TRUE(leave_folder(previous));
        EXPECT_TRUE(remove_scratch_folder(folder));
        EXPECT_EQ(4, g_missing_reports - reports_before) << "case " << i;
        EXPECT_STREQ(cases[i].name_after, name) << "case " << i;
        EXPECT_STREQ("old.example", server) << "case " << i;
        EXPECT_STREQ("Old Face", font_face) << "case " << i;
        EXPECT_EQ(0, font_height) << "case " << i;
    }
}

TEST(Reconnecting, WaitsKeepTheirScheduleAndSpreadAndNumbersFallBackToDefaults) {
    // Each step at a time, then whether the cannot-connect line is due and the wait before jitter
    // (0: none).  A connection lost within 30 s of coming up goes on with the schedule.
    enum { FAIL, CONNECT, LOSE, RECONNECT };
    const struct {
        int step;
        long long at_ms;
        bool line;
        long long base;
    } steps[] = {
        {FAIL, 0, true, 1000},      {FAIL, 0, false, 2000},      {FAIL, 0, false, 4000},
        {FAIL, 0, false, 8000},     {FAIL, 0, false, 16000},     {FAIL, 0, false, 30000},
        {FAIL, 0, false, 30000},    {CONNECT, 0, false, 0},      {LOSE, 30000, false, 1000},
        {FAIL, 0, true, 2000},      {CONNECT, 40000, false, 0},  {LOSE, 40100, false, 4000},
        {CONNECT, 50000, false, 0}, {LOSE, 79999, false, 8000},  {FAIL, 0, true, 16000},
        {CONNECT, 90000, false, 0}, {LOSE, 90000, false, 30000}, {RECONNECT, 0, false, 0},
        {FAIL, 0, true, 1000}};
    connection_plan plan;
    plan_start(&plan, 7);
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; i++) {
        bool line = false;
        if (steps[i].step == FAIL) {
            line = plan_attempt_failed(&plan);
        } else if (steps[i].step == CONNECT) {
            plan_connected(&plan, steps[i].at_ms);
        } else if (steps[i].step == LOSE) {
            plan_lost(&plan, steps[i].at_ms);
        } else {
            plan_reconnect(&plan);
        }
        EXPECT_EQ(steps[i].line, line) << "step " << i;
        EXPECT_EQ(steps[i].base != 0, plan.state == LINK_WAITING) << "step " << i;
        if (plan.state == LINK_WAITING) {
            EXPECT_TRUE(plan.wait_ms >= steps[i].base * 8 / 10 &&
                        plan.wait_ms <= steps[i].base * 12 / 10)
                << "step " << i << ": " << plan.wait_ms << " ms";
            plan_wait_over(&plan);
        }
    }
    // Over many draws the spread reaches both ends of its 20 % and never passes them.
    unsigned random = 1;
    long long low = 30000, high = 30000;
    for (int i = 0; i < 10000; i++) {
        long long wait = retry_wait_ms(9, &random);
        low = wait < low ? wait : low;
        high = wait > high ? wait : high;
    }
    EXPECT_TRUE(low >= 24000 && low < 24200 && high <= 36000 && high > 35800) << low << " " << high;

    const struct {
        const char *value;
        int port, keepalive;
    } numbers[] = {{"1", 1, 1},        {"0080", 80, 80},     {"3600", 3600, 3600},
                   {"3601", 3601, 30}, {"65535", 65535, 30}, {"65536", 2000, 30},
                   {"0", 2000, 30},    {"", 2000, 30},       {"NONE", 2000, 30},
                   {" 80", 2000, 30},  {"80 ", 2000, 30},    {"+80", 2000, 30},
                   {"-1", 2000, 30},   {"0x50", 2000, 30},   {"99999999999999999999", 2000, 30}};
    for (const auto &n : numbers) {
        EXPECT_EQ(n.port, setting_number(n.value, 1, 65535, DEFAULT_PORT)) << "[" << n.value << "]";
        EXPECT_EQ(n.keepalive, setting_number(n.value, 1, 3600, DEFAULT_KEEPALIVE_SECONDS))
            << "[" << n.value << "]";
    }
    const struct {
        const char *value;
        size_t megabytes;
    } scrollbacks[] = {{"1", 1}, {"0256", 256}, {"257", 16}, {"0", 16}, {"8 ", 16}, {"", 16}};
    for (const auto &n : scrollbacks) {
        EXPECT_EQ(n.megabytes << 20, scrollback_bytes(n.value)) << "[" << n.value << "]";
    }
}

TEST(Reconnecting, ANetworkThatComesBackIsTriedAtOnceWithoutANewOutageLine) {
    connection_plan plan;
    plan_start(&plan, 7);
    EXPECT_TRUE(plan_attempt_failed(&plan));
    plan_wait_over(&plan);
    EXPECT_FALSE(plan_attempt_failed(&plan)); // 2 s to wait
    plan_network_changed(&plan);
    EXPECT_EQ(LINK_CONNECTING, plan.state);
    plan_network_changed(&plan); // while trying, nothing changes
    EXPECT_FALSE(plan_attempt_failed(&plan)) << "the outage was told again";
    EXPECT_TRUE(plan.wait_ms >= 800 && plan.wait_ms <= 1200) << plan.wait_ms << " ms";
}
