// The main window built in this process from the program's own class, procedures and resources,
// for what only the owning process can read: the menu and its check mark, and the font.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include "tests/wine/test_support.h"
#include "ui/dpi_rules.h"
#include "ui/ui.h"

enum { WAIT_MS = 5000 };

// One loopback address per test, in 127.0.0.200-249.
static int next_address = 0;
static char address[32];
static test_server server;
static test_peer peer;
static std::string folder;
static char original_folder[MAX_PATH];
static HWND window;

static std::string memo_with(const char *font_size_line, const char *server_address) {
    return std::string("name=ui;\r\nfont_name=IPAGothic;\r\n") + font_size_line +
           "server=" + server_address + ";\r\n";
}

// Creates the window the way the entry point does, with memo.ini in the working folder, and takes
// its connection.
static void open_window(const char *font_size_line) {
    folder = make_memo_folder(memo_with(font_size_line, address));
    ASSERT_FALSE(folder.empty());
    ASSERT_TRUE(SetCurrentDirectoryA(folder.c_str()));
    window = create_main_window();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(test_server_accept(&server, &peer, WAIT_MS));
    std::string hello;
    ASSERT_EQ(test_peer_read_frame(&peer, &hello, WAIT_MS), PEER_FRAME);
    EXPECT_EQ(hello, "vantrel002;ui");
}

static void close_window(void) {
    if (window != NULL && IsWindow(window)) {
        DestroyWindow(window);
    }
    window = NULL;
    // Takes the quit message the destruction posted, so it cannot end a later wait early.
    pump_messages(0);
    test_peer_close(&peer);
    SetCurrentDirectoryA(original_folder);
    remove_memo_folder(folder);
    folder.clear();
}

struct UiTest : ::testing::Test {
    void SetUp() override {
        static bool registered = false;
        g_instance = GetModuleHandleA(NULL);
        GetCurrentDirectoryA(sizeof original_folder, original_folder);
        snprintf(address, sizeof address, "127.0.0.%d", 200 + next_address++ % 50);
        peer.socket = INVALID_SOCKET;
        ASSERT_TRUE(test_server_open(&server, address));
        if (!registered) {
            // As the entry point does, before the first window.
            EXPECT_NE(dpi_become_aware(), AWARE_NONE);
            registered = register_main_class();
        }
        ASSERT_TRUE(registered);
    }

    void TearDown() override {
        close_window();
        test_server_close(&server);
    }
};

// Read through the wide call and turned into Shift-JIS by code page 932 itself, so the labels
// read the same whatever the ANSI code page (ctest's ui_tests_en_us runs this under 1252).
static std::string menu_label(HMENU menu, int position) {
    wchar_t label[64] = L"";
    GetMenuStringW(menu, position, label, 64, MF_BYPOSITION);
    char bytes[128] = "";
    WideCharToMultiByte(932, 0, label, -1, bytes, sizeof bytes, NULL, NULL);
    return bytes;
}

using Menu = UiTest;

TEST_F(Menu, BarHoldsFileToolsAndHelpWithTheirCommands) {
    ASSERT_NO_FATAL_FAILURE(open_window("font_size=10;\r\n"));
    HMENU bar = GetMenu(window);
    ASSERT_NE(bar, nullptr);
    ASSERT_EQ(GetMenuItemCount(bar), 3);

    // item -1 is the popup's own label on the bar.
    const struct {
        int popup, item;
        std::string label;
        UINT id;
    } expected[] = {
        {0, -1, "\x83\x74\x83\x40\x83\x43\x83\x8B(&F)", 0}, // ファイル(&F)
        {0, 0, "\x8F\x49\x97\xB9(&X)", 40000},              // 終了(&X)
        {1, -1, "\x83\x63\x81\x5B\x83\x8B(&T)", 0},         // ツール(&T)
        {1, 0, "\x8D\xC4\x90\xDA\x91\xB1(&R)", 40003},      // 再接続(&R)
        {1, 1, "\x8F\xED\x82\xC9\x8E\xE8\x91\x4F\x82\xC9\x95\x5C\x8E\xA6(&N)",
         40001},                                    // 常に手前に表示(&N)
        {2, -1, "\x83\x77\x83\x8B\x83\x76(&H)", 0}, // ヘルプ(&H)
        {2, 0, "\x8F\xEE\x95\xF1(&A)", 40002},      // 情報(&A)
    };
    const int items_in_popup[] = {1, 2, 1};
    for (int popup = 0; popup < 3; popup++) {
        HMENU sub = GetSubMenu(bar, popup);
        ASSERT_NE(sub, nullptr) << "popup " << popup;
        EXPECT_EQ(GetMenuItemCount(sub), items_in_popup[popup]) << "popup " << popup;
    }
    for (const auto &e : expected) {
        SCOPED_TRACE("popup " + std::to_string(e.popup) + " item " + std::to_string(e.item));
        HMENU menu = e.item < 0 ? bar : GetSubMenu(bar, e.popup);
        std::string label = menu_label(menu, e.item < 0 ? e.popup : e.item);
        EXPECT_EQ(label, e.label) << "expected " << hex_bytes(e.label) << "\ngot      "
                                  << hex_bytes(label);
        if (e.item >= 0) {
            EXPECT_EQ(GetMenuItemID(menu, e.item), e.id);
        }
    }
    EXPECT_EQ(GetMenuState(bar, 40001, MF_BYCOMMAND) & MF_CHECKED, 0u);
}

TEST_F(Menu, AlwaysOnTopChecksThenUnchecksItself) {
    ASSERT_NO_FATAL_FAILURE(open_window("font_size=10;\r\n"));
    const struct { bool on; } steps[] = {{true}, {false}, {true}, {false}};
    for (const auto &s : steps) {
        EXPECT_EQ(SendMessageA(window, WM_COMMAND, 40001, 0), 0);
        bool checked = (GetMenuState(GetMenu(window), 40001, MF_BYCOMMAND) & MF_CHECKED) != 0;
        bool topmost = (GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
        EXPECT_EQ(checked, s.on);
        EXPECT_EQ(topmost, s.on);
    }
}

using Children = UiTest;

static HFONT font_of(int id) {
    return (HFONT)SendMessageA(GetDlgItem(window, id), WM_GETFONT, 0, 0);
}

static LONG font_height(HFONT font) {
    LOGFONTA logical;
    return GetObjectA(font, sizeof logical, &logical) == (int)sizeof logical ? logical.lfHeight
                                                                             : -99999;
}

// The font memo.ini asks for, made for a screen of this DPI.
static void expect_fonts_at(int dpi) {
    const struct {
        const char *line;
        LONG height;
    } cases[] = {
        {"font_size=10;\r\n", 20},
        {"font_size=12;\r\n", 24},
        {"", 0}, // no font_size line: the system's default height
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        ASSERT_NO_FATAL_FAILURE(open_window(c.line));
        HFONT font = font_of(ID_TRANSCRIPT_BOX);
        ASSERT_NE(font, nullptr);
        EXPECT_EQ(font_of(ID_INPUT_BOX), font);
        EXPECT_EQ(font_of(ID_MEMBER_LIST), font);
        EXPECT_NE(font_of(ID_SEND_BUTTON), font);
        LOGFONTA logical;
        ASSERT_EQ(GetObjectA(font, sizeof logical, &logical), (int)sizeof logical);
        EXPECT_EQ(logical.lfHeight, c.height * dpi / 96);
        EXPECT_EQ(logical.lfCharSet, SHIFTJIS_CHARSET);
        EXPECT_STREQ(logical.lfFaceName, "IPAGothic");
        close_window();
        EXPECT_EQ(font_height(font), -99999) << "font still alive";
    }
}

TEST_F(Children, FontComesFromMemoIniAndGoesWithTheWindow) {
    expect_fonts_at(96);
}

static std::string text_of(HWND box) {
    std::string text(GetWindowTextLengthA(box) + 1, '\0');
    text.resize(GetWindowTextA(box, &text[0], (int)text.size()));
    return text;
}

static bool transcript_has_line_40(void *box) {
    return text_of((HWND)box).find("line 40\r\n") != std::string::npos;
}

// The top of the transcript's last line of text lies inside the box.
static bool last_line_in_view(HWND box) {
    LRESULT lines = SendMessageA(box, EM_GETLINECOUNT, 0, 0);
    LRESULT start = SendMessageA(box, EM_LINEINDEX, lines - 2, 0);
    LRESULT position = SendMessageA(box, EM_POSFROMCHAR, start, 0);
    RECT inside;
    GetClientRect(box, &inside);
    int top = (short)HIWORD(position);
    return position != -1 && top >= 0 && top < inside.bottom;
}

// Wine 8 sends no WM_DPICHANGED of its own, so the test sends it as Windows would on a move to
// another monitor.
TEST_F(Children, DpiChangeMovesTheWindowAndRemakesFontAndColumn) {
    ASSERT_NO_FATAL_FAILURE(open_window("font_size=10;\r\n"));
    std::string relays;
    for (int i = 1; i <= 40; i++) {
        relays += "dx;line " + std::to_string(i) + "\r\n\x80";
    }
    ASSERT_TRUE(test_peer_send(&peer, relays));
    HWND transcript = GetDlgItem(window, ID_TRANSCRIPT_BOX);
    ASSERT_TRUE(pump_until(transcript_has_line_40, transcript, WAIT_MS));
    std::string before = text_of(transcript);

    const struct {
        int dpi;
        RECT suggested;
        LONG column, font_height;
    } steps[] = {
        {144, {40, 30, 865, 930}, 150, 30},
        {192, {10, 20, 1110, 1000}, 200, 40},
        {96, {40, 30, 590, 630}, 100, 20},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(std::to_string(s.dpi) + " DPI");
        HFONT old_font = font_of(ID_TRANSCRIPT_BOX);
        EXPECT_EQ(
            SendMessageA(window, WM_DPICHANGED, MAKEWPARAM(s.dpi, s.dpi), (LPARAM)&s.suggested), 0);
        RECT outer;
        GetWindowRect(window, &outer);
        EXPECT_TRUE(EqualRect(&outer, &s.suggested));

        RECT client, members;
        GetClientRect(window, &client);
        GetWindowRect(GetDlgItem(window, ID_MEMBER_LIST), &members);
        MapWindowPoints(NULL, window, (POINT *)&members, 2);
        EXPECT_EQ(members.right - members.left, s.column);
        EXPECT_EQ(members.left, client.right - s.column);

        HFONT font = font_of(ID_TRANSCRIPT_BOX);
        EXPECT_EQ(font_of(ID_INPUT_BOX), font);
        EXPECT_EQ(font_of(ID_MEMBER_LIST), font);
        EXPECT_EQ(font_height(font), s.font_height);
        EXPECT_EQ(font_height(old_font), -99999) << "the old font is still alive";

        EXPECT_EQ(text_of(transcript), before);
        EXPECT_TRUE(last_line_in_view(transcript));
    }
}

// Run in a Wine prefix of their own whose screen is 144 DPI (ctest's ui_tests_144dpi); every other
// test sees 96.
using HighDpi = UiTest;

TEST_F(HighDpi, FontIsMadeForTheWindowsDpi) {
    ASSERT_EQ(dpi_of_screen(), 144) << "needs a Wine prefix whose LogPixels is 144";
    expect_fonts_at(144);
}
