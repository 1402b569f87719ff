// The real vantrel.exe, started against a scripted chat server in a folder of its own and driven
// from outside the way a user and the system would.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include "tests/e2e/program_fixture.h"
#include "tests/wine/expected_texts.h"
#include "tests/wine/test_support.h"

// What a user's tools see of the program: its class and caption, control ids, menu commands.
enum { CMD_EXIT = 40000, CMD_TOPMOST = 40001, CMD_ABOUT = 40002, CMD_RECONNECT = 40003 };

// How long "nothing happens" is watched for.
enum { QUIET_MS = 400 };

static const std::string HELLO_TEXT = "\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD"; // こんにちは
static const std::string LINE_ONE = "\x88\xEA\x8D\x73\x96\xDA";                   // 一行目
static const std::string LINE_TWO = "\x93\xF1\x8D\x73\x96\xDA";                   // 二行目
static const std::string NEXT_NAME = "\x8E\x9F\x98\x59";                          // 次郎
// 明日のゲームはチームで参加します。, and as it goes out, each ム (83 80) escaped
static const std::string GAME_TEXT =
    "\x96\xBE\x93\xFA\x82\xCC\x83\x51\x81\x5B\x83\x80\x82\xCD\x83\x60\x81\x5B\x83\x80\x82\xC5"
    "\x8E\x51\x89\xC1\x82\xB5\x82\xDC\x82\xB7\x81\x42";
static const std::string GAME_SENT =
    "\x96\xBE\x93\xFA\x82\xCC\x83\x51\x81\x5B&#x30E0\x82\xCD\x83\x60\x81\x5B&#x30E0\x82\xC5"
    "\x8E\x51\x89\xC1\x82\xB5\x82\xDC\x82\xB7\x81\x42";
static const std::string BUTTON_TEXT =
    "\x83\x7B\x83\x5E\x83\x93\x82\xC5\x91\x97\x82\xE8\x82\xDC\x82\xB7"; // ボタンで送ります

// Each test has two loopback addresses of its own in 127.0.0.100-199, so a lingering connection
// of one test never meets the next.
static int next_address = 0;
static char other_address[32];
static test_server other_server;

struct ProgramTest : ::testing::Test {
    void SetUp() override {
        program_fixture_begin(100 + next_address++ % 100);
        snprintf(other_address, sizeof other_address, "127.0.0.%d", 100 + next_address++ % 100);
        other_server.listener = INVALID_SOCKET;
    }

    void TearDown() override {
        program_fixture_end();
        test_server_close(&other_server);
    }
};

static std::string text_of(HWND window) {
    std::string text;
    if (!remote_text(window, &text)) {
        return "<no answer>";
    }
    return text;
}

static void expect_frame(test_peer *from, const std::string &payload) {
    std::string got;
    ASSERT_EQ(test_peer_read_frame(from, &got, WAIT_MS), PEER_FRAME)
        << "expected the frame " << hex_bytes(payload);
    EXPECT_EQ(got, payload) << "expected " << hex_bytes(payload) << "\ngot      " << hex_bytes(got);
}

static void expect_no_frame(test_peer *from) {
    std::string got;
    EXPECT_EQ(test_peer_read_frame(from, &got, QUIET_MS), PEER_TIMEOUT)
        << "unexpected frame " << hex_bytes(got);
}

static void expect_text(HWND window, const std::string &expected) {
    std::string got;
    EXPECT_TRUE(wait_for_remote_text(window, expected, WAIT_MS, &got))
        << "expected " << hex_bytes(expected) << "\ngot      " << hex_bytes(got);
}

static bool title_is(void *expected) {
    char title[64] = "";
    GetWindowTextA(main_window, title, sizeof title);
    return strcmp(title, (const char *)expected) == 0;
}

static void expect_title(const char *title) {
    EXPECT_TRUE(pump_until(title_is, (void *)title, WAIT_MS)) << "no title " << hex_bytes(title);
}

static void post_command(WORD id) {
    ASSERT_TRUE(PostMessageA(main_window, WM_COMMAND, id, 0));
}

// Waits for the program's box with this caption, checks its text and clicks the button.
static void answer_box(const char *caption, const std::string &text, int button) {
    HWND box = program_wait_box(&program, caption, WAIT_MS);
    ASSERT_NE(box, nullptr) << "no box captioned " << hex_bytes(caption);
    EXPECT_EQ(message_box_text(box), text)
        << "expected " << hex_bytes(text) << "\ngot      " << hex_bytes(message_box_text(box));
    ASSERT_TRUE(answer_message_box(box, button));
}

static void expect_exit_code_zero(void) {
    DWORD code = 99;
    ASSERT_TRUE(program_wait_exit(&program, WAIT_MS, &code)) << "the program is still running";
    EXPECT_EQ(code, 0u);
}

// The input box is emptied; the line break Enter produces must not linger once it settles.
static void expect_input_settles_empty(void) {
    HWND input = control(INPUT_ID);
    ASSERT_NO_FATAL_FAILURE(expect_text(input, ""));
    pump_messages(QUIET_MS);
    EXPECT_EQ(text_of(input), "") << "the input box did not stay empty";
}

// ---- Start-up ------------------------------------------------------------------------------

using StartUp = ProgramTest;

TEST_F(StartUp, AnnouncesItselfAndShowsTheWindowWithItsControls) {
    ASSERT_NO_FATAL_FAILURE(start_chat()); // the hello frame is checked byte for byte there

    char class_name[64] = "";
    GetClassNameA(main_window, class_name, sizeof class_name);
    EXPECT_STREQ(class_name, MAIN_CLASS);
    EXPECT_EQ(GetWindowLongA(main_window, GWL_STYLE) & WS_OVERLAPPEDWINDOW, WS_OVERLAPPEDWINDOW);
    EXPECT_EQ(GetWindowLongA(main_window, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
    EXPECT_NE(GetMenu(main_window), nullptr);
    RECT outer;
    GetWindowRect(main_window, &outer);
    EXPECT_EQ(outer.right - outer.left, 550);
    EXPECT_EQ(outer.bottom - outer.top, 600);

    const LONG edit_style =
        WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN;
    // The transcript scrolls sideways to long lines, the input box wraps them.
    const struct {
        int id;
        const char *window_class;
        std::string text;
        bool read_only;
        LONG sideways;
    } children[] = {
        {TRANSCRIPT_ID, "EDIT", CONNECTED, true, WS_HSCROLL | ES_AUTOHSCROLL},
        {MEMBERS_ID, "EDIT", "", true, ES_AUTOHSCROLL},
        {INPUT_ID, "EDIT", "", false, 0},
        {SEND_ID, "BUTTON", SEND_LABEL, false, 0},
    };
    for (const auto &c : children) {
        SCOPED_TRACE(c.id);
        HWND child = control(c.id);
        ASSERT_NE(child, nullptr);
        GetClassNameA(child, class_name, sizeof class_name);
        EXPECT_EQ(_stricmp(class_name, c.window_class), 0) << "class " << class_name;
        EXPECT_EQ(text_of(child), c.text)
            << "expected " << hex_bytes(c.text) << "\ngot      " << hex_bytes(text_of(child));
        LONG style = GetWindowLongA(child, GWL_STYLE);
        EXPECT_EQ(style & WS_TABSTOP, 0);
        EXPECT_EQ(GetWindowLongA(child, GWL_EXSTYLE) & WS_EX_CLIENTEDGE, 0);
        if (c.window_class[0] == 'E') {
            EXPECT_EQ(style & edit_style, edit_style) << std::hex << style;
            EXPECT_EQ(style & (WS_BORDER | WS_HSCROLL | ES_AUTOHSCROLL), c.sideways)
                << std::hex << style;
            EXPECT_EQ((style & ES_READONLY) != 0, c.read_only) << std::hex << style;
        } else {
            EXPECT_EQ(style & BS_TYPEMASK, BS_PUSHBUTTON) << std::hex << style;
        }
    }
    EXPECT_EQ(remote_send(control(INPUT_ID), EM_GETLIMITTEXT, 0, 0), 511);

    // Created in this order; each new child goes below its older siblings.
    std::string order;
    for (HWND child = GetWindow(main_window, GW_CHILD); child != NULL;
         child = GetWindow(child, GW_HWNDNEXT)) {
        order += std::to_string(GetDlgCtrlID(child)) + " ";
    }
    EXPECT_EQ(order, "101 104 102 103 ");
}

// Resizes the window until its client area has this size; a narrow window may wrap its menu bar,
// which changes the non-client height, hence the second try.
static bool set_client_size(HWND window, int width, int height) {
    for (int attempt = 0; attempt < 3; attempt++) {
        RECT outer, client;
        GetWindowRect(window, &outer);
        GetClientRect(window, &client);
        if (client.right == width && client.bottom == height) {
            return true;
        }
        SetWindowPos(window, NULL, 0, 0, outer.right - outer.left + width - client.right,
                     outer.bottom - outer.top + height - client.bottom,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        pump_messages(50);
    }
    RECT client;
    GetClientRect(window, &client);
    return client.right == width && client.bottom == height;
}

// Where the top of the transcript's last line of text is in the box.  The final line break leaves
// an empty line below it, which has no character to ask the position of.
static int last_text_line_top(HWND box) {
    LRESULT lines = remote_send(box, EM_GETLINECOUNT, 0, 0);
    LRESULT start = remote_send(box, EM_LINEINDEX, lines - 2, 0);
    LRESULT position = remote_send(box, EM_POSFROMCHAR, start, 0);
    return position == -1 ? -1 : (short)HIWORD(position);
}

// "450x400 at 0,0": the child's size and place in the main window's client area.
static std::string placement(HWND child) {
    RECT r = rect_in_parent(child);
    char text[64];
    snprintf(text, sizeof text, "%ldx%ld at %ld,%ld", r.right - r.left, r.bottom - r.top, r.left,
             r.top);
    return text;
}

static bool transcript_complete(void *box) {
    std::string text;
    return remote_text((HWND)box, &text) && text.size() > 9 &&
           text.compare(text.size() - 9, 9, "line 15\r\n") == 0;
}

TEST_F(StartUp, ControlsFollowTheClientSize) {
    ASSERT_NO_FATAL_FAILURE(start_chat());
    // A transcript far taller than the box, so keeping its last line in view takes scrolling.
    std::string relays;
    for (int i = 1; i <= 15; i++) {
        relays += frame("d" + OTHER + ";line " + std::to_string(i) + "\r\n");
    }
    ASSERT_TRUE(test_peer_send(&peer, relays));
    HWND transcript = control(TRANSCRIPT_ID);
    ASSERT_TRUE(pump_until(transcript_complete, transcript, WAIT_MS));

    // Larger first, then much smaller (the box shrinks under its last line), then larger again.
    // 507 and 248 are not multiples of 5: the bottom row is h / 5, truncated, and one row is left.
    const struct {
        int width, height;
        const char *transcript, *members, *input, *button;
    } cases[] = {
        {640, 507, "540x405 at 0,0", "100x405 at 540,0", "540x101 at 0,405", "100x101 at 540,405"},
        {333, 248, "233x198 at 0,0", "100x198 at 233,0", "233x49 at 0,198", "100x49 at 233,198"},
        {550, 500, "450x400 at 0,0", "100x400 at 450,0", "450x100 at 0,400", "100x100 at 450,400"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
        ASSERT_TRUE(set_client_size(main_window, c.width, c.height));
        EXPECT_EQ(placement(transcript), c.transcript);
        EXPECT_EQ(placement(control(MEMBERS_ID)), c.members);
        EXPECT_EQ(placement(control(INPUT_ID)), c.input);
        EXPECT_EQ(placement(control(SEND_ID)), c.button);
        RECT box;
        GetClientRect(transcript, &box);
        int top = last_text_line_top(transcript);
        EXPECT_TRUE(top >= 0 && top < box.bottom)
            << "last text line at y " << top << ", box height " << box.bottom;
    }
}

// ---- Chat ----------------------------------------------------------------------------------

using Chat = ProgramTest;

TEST_F(Chat, EnterSendsTheTypedLineAndEmptiesTheBox) {
    ASSERT_NO_FATAL_FAILURE(start_chat());
    HWND input = control(INPUT_ID);
    ASSERT_TRUE(focus_remote_window(&program, input));
    // The caret stays at the start after WM_SETTEXT: Enter sends the whole text regardless.
    remote_send_text(input, WM_SETTEXT, 0, HELLO_TEXT);
    ASSERT_TRUE(key_press(VK_RETURN, false));
    ASSERT_NO_FATAL_FAILURE(expect_frame(&peer, HELLO_TEXT + "\r\n"));
    expect_input_settles_empty();
    expect_no_frame(&peer);
}

TEST_F(Chat, ShiftEnterKeepsLinesTogetherInOneFrame) {
    ASSERT_NO_FATAL_FAILURE(start_chat());
    HWND input = control(INPUT_ID);
    ASSERT_TRUE(focus_remote_window(&program, input));
    remote_send_text(input, WM_SETTEXT, 0, LINE_ONE);
    remote_send(input, EM_SETSEL, LINE_ONE.size(), LINE_ONE.size());
    ASSERT_TRUE(key_press(VK_RETURN, true));
    ASSERT_NO_FATAL_FAILURE(expect_text(input, LINE_ONE + "\r\n"));
    expect_no_frame(&peer);

    remote_send_text(input, EM_REPLACESEL, FALSE, LINE_TWO);
    ASSERT_NO_FATAL_FAILURE(expect_text(input, LINE_ONE + "\r\n" + LINE_TWO));
    ASSERT_TRUE(key_press(VK_RETURN, false));
    ASSERT_NO_FATAL_FAILURE(expect_frame(&peer, LINE_ONE + "\r\n" + LINE_TWO + "\r\n"));
    expect_input_settles_empty();
}

TEST_F(Chat, EmptyBoxSendsNothing) {
    ASSERT_NO_FATAL_FAILURE(start_chat());
    HWND input = control(INPUT_ID);
    ASSERT_TRUE(focus_remote_window(&program, input));
    ASSERT_TRUE(key_press(VK_RETURN, false));
    expect_input_settles_empty();
    ASSERT_TRUE(PostMessageA(control(SEND_ID), BM_CLICK, 0, 0));
    pump_messages(QUIET_MS);
    EXPECT_EQ(text_of(input), "");

    // Frames keep their order, so the first one to arrive shows nothing went before it.
    ASSERT_TRUE(focus_remote_window(&program, input));
    remote_send_text(input, WM_SETTEXT, 0, NEXT_NAME);
    ASSERT_TRUE(key_press(VK_RETURN, false));
    expect_frame(&peer, NEXT_NAME + "\r\n");
}

TEST_F(Chat, SendButtonSendsAndGivesTheFocusBack) {
    ASSERT_NO_FATAL_FAILURE(start_chat());
    HWND input = control(INPUT_ID);
    remote_send_text(input, WM_SETTEXT, 0, BUTTON_TEXT);
    ASSERT_TRUE(PostMessageA(control(SEND_ID), BM_CLICK, 0, 0));
    ASSERT_NO_FATAL_FAILURE(expect_frame(&peer, BUTTON_TEXT + "\r\n"));
    ASSERT_NO_FATAL_FAILURE(expect_text(input, ""));
    GUITHREADINFO gui;
    ZeroMemory(&gui, sizeof gui);
    gui.cbSize = sizeof gui;
    ASSERT_TRUE(GetGUIThreadInfo(GetWindowThreadProcessId(main_window, NULL), &gui));
    EXPECT_EQ(gui.hwndFocus, input);
}

static bool stamp_shaped(const std::string &stamp) {
    const char shape[] = "(dddd/dd/dd dd:dd)";
    if (stamp.size() != sizeof shape - 1) {
        return false;
    }
    for (size_t i = 0; i < stamp.size(); i++) {
        bool digit = stamp[i] >= '0' && stamp[i] <= '9';
        if (shape[i] == 'd' ? !digit : stamp[i] != shape[i]) {
            return false;
        }
    }
    return true;
}

// Compares got with expected, where each '\x01' in expected stands for one time stamp taken
// between earliest and latest.  Zero-padded stamps sort as the times they show.
static bool matches_with_stamps(const std::string &got, const std::string &expected,
                                const std::string &earliest, const std::string &latest) {
    size_t g = 0;
    for (size_t e = 0; e < expected.size(); e++) {
        if (expected[e] != '\x01') {
            if (g >= got.size() || got[g] != expected[e]) {
                return false;
            }
            g++;
            continue;
        }
        std::string stamp = got.substr(g, earliest.size());
        if (!stamp_shaped(stamp) || stamp < earliest || stamp > latest) {
            return false;
        }
        g += stamp.size();
    }
    return g == got.size();
}

static std::string entry(const std::string &name, const std::string &text) {
    // "\r\n◆ " name " の発言 " stamp " : \r\n" text
    return "\r\n\x81\x9F " + name + " \x82\xCC\x94\xAD\x8C\xBE \x01 : \r\n" + text;
}

// Waits for the transcript to be expected, each '\x01' in it a stamp taken from earliest on.
static void expect_transcript(const std::string &expected, const std::string &earliest) {
    std::string got;
    DWORD start = GetTickCount();
    bool matched = false;
    while (!matched && GetTickCount() - start < WAIT_MS) {
        pump_messages(20);
        matched = remote_text(control(TRANSCRIPT_ID), &got) &&
                  matches_with_stamps(got, expected, earliest, time_stamp_now());
    }
    ASSERT_TRUE(matched) << "expected (01 = a stamp from " << earliest << " on) "
                         << hex_bytes(expected) << "\ngot      " << hex_bytes(got);
}

TEST_F(Chat, RelayedLinesBecomeTimeStampedEntries) {
    ASSERT_NO_FATAL_FAILURE(start_chat());
    std::string earliest = time_stamp_now();
    // ム's second byte is the frame terminator: the line goes out as one frame with ム escaped,
    // and the same frame relayed back shows it whole.
    HWND input = control(INPUT_ID);
    ASSERT_TRUE(focus_remote_window(&program, input));
    remote_send_text(input, WM_SETTEXT, 0, GAME_TEXT);
    ASSERT_TRUE(key_press(VK_RETURN, false));
    ASSERT_NO_FATAL_FAILURE(expect_frame(&peer, GAME_SENT + "\r\n"));
    // The second text keeps its own ";": only the first one ends the name.
    ASSERT_TRUE(test_peer_send(&peer, frame("d" + OTHER + ";" + HELLO_TEXT + "\r\n") +
                                          frame("d" + NAME + ";a;b\r\n") +
                                          frame("d" + NAME + ";" + GAME_SENT + "\r\n")));
    expect_transcript(CONNECTED + entry(OTHER, HELLO_TEXT + "\r\n") + entry(NAME, "a;b\r\n") +
                          entry(NAME, GAME_TEXT + "\r\n"),
                      earliest);
}

TEST_F(Chat, MemberListFollowsMemberFrames) {
    ASSERT_NO_FATAL_FAILURE(start_chat());
    HWND members = control(MEMBERS_ID);
    const std::string lists[] = {NAME + "\r\n" + OTHER + "\r\n", NAME + "\r\n", ""};
    for (const auto &list : lists) {
        ASSERT_TRUE(test_peer_send(&peer, frame("e" + list)));
        expect_text(members, list);
    }
}

// Scrolled up to read, the view stays while entries come below, and the title counts them until
// the user is back at the end.
TEST_F(Chat, ScrolledUpTheViewStaysAndTheTitleCountsWhatCameBelow) {
    ASSERT_NO_FATAL_FAILURE(start_chat());
    HWND box = control(TRANSCRIPT_ID);
    std::string frames, shown = CONNECTED, got;
    for (int i = 0; i < 40; i++) {
        frames += frame("d" + OTHER + ";" + std::to_string(i) + "\r\n");
        shown +=
            ENTRY_LEAD + OTHER + SAID + time_stamp_now() + STAMP_END + std::to_string(i) + "\r\n";
    }
    ASSERT_TRUE(test_peer_send(&peer, frames));
    ASSERT_TRUE(wait_for_remote_text(box, shown, WAIT_MS, &got)) << hex_bytes(got.substr(0, 200));
    remote_send(box, EM_LINESCROLL, 0, -40);
    LRESULT first = remote_send(box, EM_GETFIRSTVISIBLELINE, 0, 0);
    ASSERT_GT(first, 0) << "the box did not scroll";
    ASSERT_TRUE(test_peer_send(&peer, frame("d" + OTHER + ";a\r\n") +
                                          frame("d" + OTHER + ";b\r\n") +
                                          frame("d" + OTHER + ";c\r\n")));
    EXPECT_TRUE(wait_for_remote_text(main_window, "Vantrel - \x90\x56\x92\x85 3", WAIT_MS, &got))
        << "the title: " << got; // Vantrel - 新着 3
    EXPECT_TRUE(remote_text(box, &got) && got.size() > 3 &&
                got.compare(got.size() - 3, 3, "c\r\n") == 0);
    EXPECT_EQ(remote_send(box, EM_GETFIRSTVISIBLELINE, 0, 0), first) << "the view moved";
    remote_send(box, WM_VSCROLL, SB_BOTTOM, 0);
    EXPECT_TRUE(wait_for_remote_text(main_window, MAIN_TITLE, WAIT_MS, &got)) << got;
    // A resize brings the end into view too, and so clears the count.
    remote_send(box, EM_LINESCROLL, 0, -40);
    ASSERT_TRUE(test_peer_send(&peer, frame("d" + OTHER + ";d\r\n")));
    EXPECT_TRUE(wait_for_remote_text(main_window, "Vantrel - \x90\x56\x92\x85 1", WAIT_MS, &got));
    SetWindowPos(main_window, NULL, 0, 0, 600, 650, SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_TRUE(wait_for_remote_text(main_window, MAIN_TITLE, WAIT_MS, &got)) << got;
}

// ---- Menu ----------------------------------------------------------------------------------

using Menu = ProgramTest;

static bool topmost_on(void *) {
    return (GetWindowLongA(main_window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
}

static bool topmost_off(void *) {
    return !topmost_on(NULL);
}

TEST_F(Menu, AlwaysOnTopTwiceReturnsToNormal) {
    ASSERT_NO_FATAL_FAILURE(start_chat());
    post_command(CMD_TOPMOST);
    EXPECT_TRUE(pump_until(topmost_on, NULL, WAIT_MS)) << "not topmost after the first time";
    post_command(CMD_TOPMOST);
    EXPECT_TRUE(pump_until(topmost_off, NULL, WAIT_MS)) << "still topmost after the second time";
}

TEST_F(Menu, ReconnectSaysGoodbyeThenHelloOnANewConnection) {
    ASSERT_NO_FATAL_FAILURE(start_chat());
    post_command(CMD_RECONNECT);
    ASSERT_NO_FATAL_FAILURE(expect_frame(&peer, "end\n"));
    EXPECT_TRUE(test_peer_wait_closed(&peer, WAIT_MS));
    EXPECT_EQ(peer.unread, "");
    test_peer_close(&peer);

    ASSERT_NO_FATAL_FAILURE(accept_hello(&server, &peer));
    expect_text(control(TRANSCRIPT_ID), CONNECTED + CONNECTED);
    pump_messages(QUIET_MS);
    EXPECT_EQ(text_of(control(TRANSCRIPT_ID)), CONNECTED + CONNECTED);
    EXPECT_EQ(program_box_count(&program), 0);
}

TEST_F(Menu, ReconnectWithTheServerDownSaysSoOnceAndComesBackByItself) {
    ASSERT_NO_FATAL_FAILURE(start_chat());
    test_server_close(&server);
    post_command(CMD_RECONNECT);
    ASSERT_NO_FATAL_FAILURE(expect_frame(&peer, "end\n"));
    EXPECT_TRUE(test_peer_wait_closed(&peer, WAIT_MS));
    test_peer_close(&peer);
    // One line for the outage, however many retries fail, and no box.
    expect_text(control(TRANSCRIPT_ID), CONNECTED + outage_line(address));
    expect_title(TITLE_WAITING);
    pump_messages(1500);
    EXPECT_EQ(text_of(control(TRANSCRIPT_ID)), CONNECTED + outage_line(address));
    EXPECT_EQ(program_box_count(&program), 0);

    ASSERT_TRUE(test_server_open(&server, address));
    ASSERT_NO_FATAL_FAILURE(accept_hello(&server, &peer));
    expect_text(control(TRANSCRIPT_ID), CONNECTED + outage_line(address) + CONNECTED);
    expect_title(MAIN_TITLE);
}

TEST_F(Menu, ReconnectReadsTheServerLineAgain) {
    ASSERT_NO_FATAL_FAILURE(start_chat());
    ASSERT_TRUE(test_server_open(&other_server, other_address));
    ASSERT_TRUE(write_memo_ini(folder, memo_for(other_address)));
    post_command(CMD_RECONNECT);
    ASSERT_NO_FATAL_FAILURE(expect_frame(&peer, "end\n"));
    test_peer_close(&peer);
    ASSERT_NO_FATAL_FAILURE(accept_hello(&other_server, &peer));
}

TEST_F(Menu, AboutShowsTheVersionBox) {
    ASSERT_NO_FATAL_FAILURE(start_chat());
    post_command(CMD_ABOUT);
    HWND box = program_wait_box(&program, ABOUT_CAPTION, WAIT_MS);
    ASSERT_NE(box, nullptr);
    std::string text = message_box_text(box);
    EXPECT_NE(text.find("Vantrel"), std::string::npos) << text;
    EXPECT_EQ(GetWindow(box, GW_OWNER), main_window);
    ASSERT_TRUE(answer_message_box(box, IDOK));
    EXPECT_TRUE(program_running(&program));
}

TEST_F(Menu, ExitAsksFirstThenNoKeepsRunningAndYesEnds) {
    ASSERT_NO_FATAL_FAILURE(start_chat());
    post_command(CMD_EXIT);
    ASSERT_NO_FATAL_FAILURE(answer_box(CONFIRM_CAPTION, QUIT_QUESTION, IDNO));
    expect_no_frame(&peer);
    ASSERT_TRUE(program_running(&program));
    // Still connected and still sending.
    remote_send_text(control(INPUT_ID), WM_SETTEXT, 0, HELLO_TEXT);
    ASSERT_TRUE(PostMessageA(control(SEND_ID), BM_CLICK, 0, 0));
    ASSERT_NO_FATAL_FAILURE(expect_frame(&peer, HELLO_TEXT + "\r\n"));

    post_command(CMD_EXIT);
    ASSERT_NO_FATAL_FAILURE(answer_box(CONFIRM_CAPTION, QUIT_QUESTION, IDYES));
    ASSERT_NO_FATAL_FAILURE(expect_frame(&peer, "end\n"));
    EXPECT_TRUE(test_peer_wait_closed(&peer, WAIT_MS));
    expect_exit_code_zero();
}

// ---- Endings -------------------------------------------------------------------------------

using Endings = ProgramTest;

TEST_F(Endings, NoServerAtStartUpIsToldAndTheProgramConnectsOnceItIsThere) {
    ASSERT_NO_FATAL_FAILURE(launch(memo_for(address)));
    main_window = program_wait_window(&program, MAIN_CLASS, TITLE_WAITING, WAIT_MS);
    ASSERT_NE(main_window, nullptr);
    expect_text(control(TRANSCRIPT_ID), outage_line(address));
    EXPECT_EQ(program_box_count(&program), 0);
    ASSERT_TRUE(test_server_open(&server, address));
    ASSERT_NO_FATAL_FAILURE(accept_hello(&server, &peer));
    expect_text(control(TRANSCRIPT_ID), outage_line(address) + CONNECTED);
}

TEST_F(Endings, VersionRefusalIsReportedAndEndsTheProgram) {
    ASSERT_NO_FATAL_FAILURE(start_chat());
    ASSERT_TRUE(test_peer_send(&peer, frame("ver_err")));
    HWND box = program_wait_box(&program, ERROR_CAPTION, WAIT_MS);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(GetWindow(box, GW_OWNER), main_window);
    ASSERT_NO_FATAL_FAILURE(answer_box(ERROR_CAPTION, WRONG_VERSION, IDOK));
    ASSERT_NO_FATAL_FAILURE(expect_frame(&peer, "end\n"));
    expect_exit_code_zero();
}

// The server restarts: its notice, the close, and listening again a second later.
TEST_F(Endings, ServerRestartIsShownAndTheProgramComesBackByItself) {
    ASSERT_NO_FATAL_FAILURE(start_chat());
    ASSERT_TRUE(test_peer_send(&peer, frame("e" + NAME + "\r\n" + OTHER + "\r\n")));
    expect_text(control(MEMBERS_ID), NAME + "\r\n" + OTHER + "\r\n");
    ASSERT_TRUE(test_peer_send(&peer, frame("dserver_end\n")));
    EXPECT_TRUE(test_peer_wait_closed(&peer, WAIT_MS)) << "the program waited for the server";
    test_peer_close(&peer);
    test_server_close(&server);
    expect_text(control(TRANSCRIPT_ID), CONNECTED + LOST);
    expect_text(control(MEMBERS_ID), "");
    expect_title(TITLE_WAITING);
    pump_messages(1000);
    ASSERT_TRUE(test_server_open(&server, address));
    DWORD listening = GetTickCount();
    ASSERT_NO_FATAL_FAILURE(accept_hello(&server, &peer));
    printf("[          ] new hello %lu ms after listening again\n", GetTickCount() - listening);
    // A retry may have come before the server listened again; it tells the outage once.
    const std::string at_once = CONNECTED + LOST + CONNECTED;
    const std::string later = CONNECTED + LOST + outage_line(address) + CONNECTED;
    std::string shown;
    bool back = false;
    for (DWORD start = GetTickCount(); !back && GetTickCount() - start < WAIT_MS;) {
        pump_messages(20);
        back = remote_text(control(TRANSCRIPT_ID), &shown) && (shown == at_once || shown == later);
    }
    EXPECT_TRUE(back) << hex_bytes(shown);
    expect_title(MAIN_TITLE);
    EXPECT_EQ(program_box_count(&program), 0);
}

TEST_F(Endings, MissingMemoIniIsReportedOncePerLookup) {
    folder = make_memo_folder("");
    ASSERT_FALSE(folder.empty());
    ASSERT_TRUE(DeleteFileA((folder + "\\memo.ini").c_str()));
    ASSERT_TRUE(program_start(&program, VANTREL_EXE, folder));
    // Four at start-up (name, font_name, font_size, server); the attempts read it quietly.
    for (int boxes = 0; boxes <= 4; boxes++) {
        HWND box = program_wait_box(&program, NULL, boxes < 4 ? WAIT_MS : 2 * QUIET_MS);
        if (boxes == 4) {
            EXPECT_EQ(box, nullptr) << "a fifth box";
            break;
        }
        ASSERT_NE(box, nullptr) << "after " << boxes << " memo.ini boxes";
        ASSERT_NO_FATAL_FAILURE(answer_box(MEMO_CAPTION, NO_FILE, IDOK));
    }
    // The user's own Reconnect still says so.
    main_window = program_wait_window(&program, MAIN_CLASS, NULL, WAIT_MS);
    post_command(CMD_RECONNECT);
    ASSERT_NO_FATAL_FAILURE(answer_box(MEMO_CAPTION, NO_FILE, IDOK));
    EXPECT_TRUE(program_running(&program));
}

// ---- memo.ini as editors save it, and the conversation log ---------------------------------

using Settings = ProgramTest;

// UTF-16 LE with its mark.
static std::string utf16le(const std::string &utf8) {
    WCHAR wide[256];
    int units = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), wide, 256);
    return "\xFF\xFE" + std::string((const char *)wide, 2 * (size_t)units);
}

// The first line's key is the one a mark left in place would spoil; 尚 is 1a 5c in UTF-16 LE,
// where reading in text mode would stop.
TEST_F(Settings, MemoIniSavedAsUnicodeGivesTheHelloInShiftJis) {
    ASSERT_TRUE(test_server_open(&server, address));
    const std::string tail = ";\r\nserver=" + std::string(address) + ";\r\n";
    const std::string memos[] = {
        "\xEF\xBB\xBF" + std::string((const char *)u8"name=太郎") + tail,
        utf16le((const char *)u8"font_name=尚;\r\nname=太郎" + tail),
    };
    for (const std::string &memo : memos) {
        SCOPED_TRACE(hex_bytes(memo.substr(0, 8)));
        ASSERT_NO_FATAL_FAILURE(launch(memo));
        ASSERT_NO_FATAL_FAILURE(accept_hello(&server, &peer));
        program_end(&program);
        test_peer_close(&peer);
        remove_memo_folder(folder);
        folder.clear();
    }
}

using Log = ProgramTest;

// The day files of folder\log, oldest first: a test that runs past midnight writes two.
static std::string read_log(void) {
    std::string first_name, log;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\log\\*.txt").c_str(), &found);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
        std::string text;
        if (FILE *file = fopen((folder + "\\log\\" + found.cFileName).c_str(), "rb")) {
            for (int c; (c = fgetc(file)) != EOF;) {
                text.push_back((char)c);
            }
            fclose(file);
        }
        bool earlier = first_name.empty() || found.cFileName < first_name;
        log = earlier ? text + log : log + text;
        first_name = earlier ? found.cFileName : first_name;
    }
    FindClose(search);
    return log;
}

TEST_F(Log, ASessionWithALostConnectionAndItsReturnIsLoggedAsShown) {
    ASSERT_NO_FATAL_FAILURE(start_chat_with(memo_for(address) + "log_folder=log;\r\n"));
    const std::string earliest = time_stamp_now();
    ASSERT_TRUE(test_peer_send(&peer, frame("d" + OTHER + ";" + HELLO_TEXT + "\r\n") +
                                          frame("d" + NAME + ";" + LINE_ONE + "\r\n")));
    std::string shown =
        CONNECTED + entry(OTHER, HELLO_TEXT + "\r\n") + entry(NAME, LINE_ONE + "\r\n");
    ASSERT_NO_FATAL_FAILURE(expect_transcript(shown, earliest));
    test_peer_close(&peer);
    ASSERT_NO_FATAL_FAILURE(expect_transcript(shown += LOST, earliest));
    ASSERT_NO_FATAL_FAILURE(accept_hello(&server, &peer));
    ASSERT_TRUE(test_peer_send(&peer, frame("d" + OTHER + ";" + LINE_TWO + "\r\n")));
    shown += CONNECTED + entry(OTHER, LINE_TWO + "\r\n");
    ASSERT_NO_FATAL_FAILURE(expect_transcript(shown, earliest));
    EXPECT_EQ(read_log(), text_of(control(TRANSCRIPT_ID)));
}

TEST_F(Log, KillingTheProgramLeavesEveryShownLineInTheLog) {
    ASSERT_NO_FATAL_FAILURE(start_chat_with(memo_for(address) + "log_folder=log;\r\n"));
    std::string flood;
    for (int i = 0; i < 3000; i++) {
        flood += frame("d" + OTHER + ";" + HELLO_TEXT + " " + std::to_string(i) + "\r\n");
    }
    ASSERT_TRUE(test_peer_send(&peer, flood));
    // Killed in the middle of the flood, right after looking: what was on screen must be on disk.
    std::string shown;
    while (remote_text(control(TRANSCRIPT_ID), &shown) && shown.size() < 20000) {
        pump_messages(10);
    }
    ASSERT_TRUE(TerminateProcess(program.process.hProcess, 99));
    ASSERT_EQ(WaitForSingleObject(program.process.hProcess, WAIT_MS), WAIT_OBJECT_0);
    std::string log = read_log();
    ASSERT_GE(shown.size(), 20000u);
    EXPECT_EQ(log.substr(0, shown.size()), shown)
        << shown.size() << " bytes shown, " << log.size() << " in the log";
}

// log_folder names a file, memo.ini itself, so no day file can be made there.
TEST_F(Log, AnUnwritableLogIsReportedOnceWhileTheChatGoesOn) {
    ASSERT_NO_FATAL_FAILURE(start_chat_with(memo_for(address) + "log_folder=memo.ini;\r\n"));
    HWND box = program_wait_box(&program, ERROR_CAPTION, WAIT_MS);
    ASSERT_NE(box, nullptr);
    std::string text = message_box_text(box);
    const std::string lead = LOG_FAILED + "\r\nmemo.ini\\";
    EXPECT_TRUE(text.size() == lead.size() + 14 && text.compare(0, lead.size(), lead) == 0 &&
                text.compare(text.size() - 4, 4, ".txt") == 0)
        << hex_bytes(text);
    // The box is up, and the conversation goes on behind it.
    const std::string earliest = time_stamp_now();
    ASSERT_TRUE(test_peer_send(&peer, frame("d" + OTHER + ";" + LINE_ONE + "\r\n")));
    std::string shown = CONNECTED + entry(OTHER, LINE_ONE + "\r\n");
    ASSERT_NO_FATAL_FAILURE(expect_transcript(shown, earliest));
    EXPECT_TRUE(IsWindowVisible(box));
    ASSERT_TRUE(answer_message_box(box, IDOK));

    ASSERT_TRUE(test_peer_send(&peer, frame("d" + OTHER + ";" + LINE_TWO + "\r\n")));
    ASSERT_NO_FATAL_FAILURE(expect_transcript(shown + entry(OTHER, LINE_TWO + "\r\n"), earliest));
    pump_messages(QUIET_MS);
    EXPECT_EQ(program_box_count(&program), 0);
}

// ---- Resources and a picture ---------------------------------------------------------------

using Program = ProgramTest;

#pragma pack(push, 2)
struct icon_group_entry {
    BYTE width, height, colours, reserved;
    WORD planes, bits;
    DWORD bytes;
    WORD id;
};
struct icon_group {
    WORD reserved, type, count;
    icon_group_entry entries[1];
};
#pragma pack(pop)

// The icon group, manifest and version as they are inside vantrel.exe.
TEST_F(Program, CarriesItsIconManifestAndVersion) {
    HMODULE exe = LoadLibraryExA(windows_path(VANTREL_EXE).c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(exe, nullptr);

    HRSRC found = FindResourceA(exe, "MYICON", MAKEINTRESOURCEA(14)); // RT_GROUP_ICON
    ASSERT_NE(found, nullptr);
    const icon_group *icons = (const icon_group *)LockResource(LoadResource(exe, found));
    ASSERT_NE(icons, nullptr);
    ASSERT_EQ(icons->count, 1);
    // 32 x 32 in 256 colours: 8 bits a pixel, a colour count of 0 standing for 256.
    EXPECT_EQ(icons->entries[0].width, 32);
    EXPECT_EQ(icons->entries[0].height, 32);
    EXPECT_EQ(icons->entries[0].bits, 8);
    EXPECT_EQ(icons->entries[0].colours, 0);

    found = FindResourceA(exe, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)); // RT_MANIFEST
    ASSERT_NE(found, nullptr);
    std::string manifest((const char *)LockResource(LoadResource(exe, found)),
                         SizeofResource(exe, found));
    EXPECT_NE(manifest.find("\"asInvoker\""), std::string::npos) << manifest;
    EXPECT_EQ(manifest.find("Common-Controls"), std::string::npos) << manifest;

    EXPECT_NE(FindResourceA(exe, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16)), nullptr); // version
    EXPECT_NE(FindResourceA(exe, "MYMENU", MAKEINTRESOURCEA(4)), nullptr);             // menu
    FreeLibrary(exe);
}

// Who says what in the picture, in order.
static const struct {
    std::string speaker, text;
} SCENE[] = {
    // 花子: こんにちは。会議は 15 時からです。
    {OTHER, "\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD\x81\x42\x89\xEF\x8B\x63\x82\xCD 15 "
            "\x8E\x9E\x82\xA9\x82\xE7\x82\xC5\x82\xB7\x81\x42\r\n"},
    // 太郎: 了解です。資料を用意しておきます。
    {NAME, "\x97\xB9\x89\xF0\x82\xC5\x82\xB7\x81\x42\x8E\x91\x97\xBF\x82\xF0\x97\x70\x88\xD3"
           "\x82\xB5\x82\xC4\x82\xA8\x82\xAB\x82\xDC\x82\xB7\x81\x42\r\n"},
    // 次郎: 資料は共有フォルダーに置きました。
    {NEXT_NAME, "\x8E\x91\x97\xBF\x82\xCD\x8B\xA4\x97\x4C\x83\x74\x83\x48\x83\x8B\x83\x5F\x81"
                "\x5B\x82\xC9\x92\x75\x82\xAB\x82\xDC\x82\xB5\x82\xBD\x81\x42\r\n"},
};

static bool transcript_has_the_scene(void *box) {
    std::string text;
    return remote_text((HWND)box, &text) && text.find(SCENE[2].text) != std::string::npos;
}

// The part of the window Wine paints itself: the menu bar and the client area.  With no window
// manager nobody draws the caption and frame, which would show as a black band.
static RECT painted_area(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    MapWindowPoints(window, NULL, (POINT *)&client, 2);
    RECT outer;
    GetWindowRect(window, &outer);
    RECT frame = {0, 0, 0, 0};
    AdjustWindowRectEx(&frame, WS_OVERLAPPEDWINDOW, FALSE, 0);
    client.top = outer.top - frame.top;
    return client;
}

// Shows the window as it looks in a chat, and saves the picture at png_path.
static void take_picture_of_a_chat(const char *png_path) {
    ASSERT_NO_FATAL_FAILURE(start_chat());
    std::string frames = frame("e" + NAME + "\r\n" + OTHER + "\r\n" + NEXT_NAME + "\r\n");
    for (const auto &line : SCENE) {
        frames += frame("d" + line.speaker + ";" + line.text);
    }
    ASSERT_TRUE(test_peer_send(&peer, frames));
    ASSERT_NO_FATAL_FAILURE(
        expect_text(control(MEMBERS_ID), NAME + "\r\n" + OTHER + "\r\n" + NEXT_NAME + "\r\n"));
    // よろしくお願いします
    remote_send_text(control(INPUT_ID), WM_SETTEXT, 0,
                     "\x82\xE6\x82\xEB\x82\xB5\x82\xAD\x82\xA8\x8A\xE8\x82\xA2\x82\xB5\x82\xDC"
                     "\x82\xB7");
    ASSERT_TRUE(pump_until(transcript_has_the_scene, control(TRANSCRIPT_ID), WAIT_MS));
    ASSERT_TRUE(focus_remote_window(&program, control(INPUT_ID)));
    pump_messages(500); // let the window finish painting

    RECT area = painted_area(main_window);
    if (GetFileAttributesA("Z:\\usr\\bin\\import") == INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "no ImageMagick import to take the picture with";
    }
    EXPECT_TRUE(save_screen_area(area, png_path, 10000)) << png_path;
}

TEST_F(Program, ScreenshotOfAChatInJapanese) {
    take_picture_of_a_chat(VANTREL_SCREENSHOT);
}

// ---- On a 144-DPI screen -------------------------------------------------------------------
// Run in a Wine prefix of their own whose screen is 144 DPI (ctest's program_tests_144dpi); every
// other test sees 96.

using HighDpi = ProgramTest;

static void expect_screen_at_144_dpi(void) {
    HDC screen = GetDC(NULL);
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(NULL, screen);
    ASSERT_EQ(dpi, 144) << "needs a Wine prefix whose LogPixels is 144";
}

TEST_F(HighDpi, WindowAndColumnGrowByHalfAndStayOnTheScreen) {
    ASSERT_NO_FATAL_FAILURE(expect_screen_at_144_dpi());
    ASSERT_NO_FATAL_FAILURE(start_chat());
    RECT outer;
    GetWindowRect(main_window, &outer);
    EXPECT_EQ(outer.right - outer.left, 825);
    EXPECT_EQ(outer.bottom - outer.top, 900);
    MONITORINFO monitor;
    monitor.cbSize = sizeof monitor;
    ASSERT_TRUE(
        GetMonitorInfoA(MonitorFromWindow(main_window, MONITOR_DEFAULTTONEAREST), &monitor));
    RECT inside;
    EXPECT_TRUE(IntersectRect(&inside, &outer, &monitor.rcWork) && EqualRect(&inside, &outer));

    RECT client;
    GetClientRect(main_window, &client);
    for (int id : {MEMBERS_ID, SEND_ID}) {
        RECT r = rect_in_parent(control(id));
        EXPECT_EQ(r.right - r.left, 150) << "control " << id;
        EXPECT_EQ(r.left, client.right - 150) << "control " << id;
    }
}

TEST_F(HighDpi, ScreenshotOfAChatInJapanese) {
    ASSERT_NO_FATAL_FAILURE(expect_screen_at_144_dpi());
    take_picture_of_a_chat(VANTREL_SCREENSHOT_144DPI);
}

// ---- Any Windows ---------------------------------------------------------------------------
// Run in a Wine prefix of its own whose locale is en_US.UTF-8, so that the ANSI code page is
// 1252 (ctest's program_tests_en_us): there the program's Shift-JIS read through the ANSI
// functions would be mojibake.  So everything is read here through the wide ones.

using Unicode = ProgramTest;

static std::u16string wide_text_of(HWND window) {
    DWORD_PTR length = 0;
    SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, WAIT_MS, &length);
    std::u16string text((size_t)length + 1, u'\0');
    DWORD_PTR got = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, (WPARAM)text.size(), (LPARAM)&text[0], SMTO_ABORTIFHUNG,
                        WAIT_MS, &got);
    text.resize(got < text.size() ? (size_t)got : 0);
    return text;
}

// Puts text on the clipboard and pastes it into the window, as a user would: by the menu's
// WM_PASTE, or by Shift+Insert, which the edit control carries out without one.
static void paste(HWND window, const std::u16string &text, bool by_keys = false) {
    ASSERT_TRUE(OpenClipboard(NULL));
    EmptyClipboard();
    HGLOBAL data = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(char16_t));
    memcpy(GlobalLock(data), text.c_str(), (text.size() + 1) * sizeof(char16_t));
    GlobalUnlock(data);
    SetClipboardData(CF_UNICODETEXT, data);
    CloseClipboard();
    if (!by_keys) {
        remote_send(window, WM_PASTE, 0, 0);
    } else if (focus_remote_window(&program, window) && key_press(VK_INSERT, true)) {
        pump_messages(300);
    }
}

static bool ends_with_wide(void *tail) {
    std::u16string shown = wide_text_of(control(TRANSCRIPT_ID));
    const std::u16string &end = *(const std::u16string *)tail;
    return shown.size() >= end.size() &&
           shown.compare(shown.size() - end.size(), end.size(), end) == 0;
}

TEST_F(Unicode, EveryTextReadsAsItIsOnAnyCodePageAndEveryCharacterTravels) {
    ASSERT_EQ(GetACP(), 1252u) << "needs a Wine prefix whose locale is en_US.UTF-8";
    ASSERT_TRUE(test_server_open(&server, address));
    // A font with Kanji beyond U+FFFF such as 𠮷, which Wine cannot take from a linked font.
    ASSERT_NO_FATAL_FAILURE(launch("font_name=Noto Sans CJK JP;\r\n" + memo_for(address)));
    ASSERT_NO_FATAL_FAILURE(accept_hello(&server, &peer));
    main_window = program_wait_window(&program, MAIN_CLASS, MAIN_TITLE, WAIT_MS);
    ASSERT_NE(main_window, nullptr);
    std::u16string connected = u"MESSAGE:接続されました。\r\n";
    EXPECT_TRUE(pump_until(ends_with_wide, &connected, WAIT_MS));
    EXPECT_EQ(wide_text_of(main_window), u"Vantrel");
    EXPECT_EQ(wide_text_of(control(SEND_ID)), u"発言");
    // The menu's labels: ui_tests_en_us, since only the owning process can read them.

    // Pasted, an emoji goes as the escapes of its surrogate pair and shows whole coming back.
    paste(control(INPUT_ID), u"了解です👍");
    ASSERT_TRUE(PostMessageW(control(SEND_ID), BM_CLICK, 0, 0));
    const std::string sent = "\x97\xB9\x89\xF0\x82\xC5\x82\xB7&#xD83D&#xDC4D\r\n"; // 了解です
    ASSERT_NO_FATAL_FAILURE(expect_frame(&peer, sent));
    ASSERT_TRUE(test_peer_send(&peer, frame("d" + NAME + ";" + sent)));
    std::u16string shown = u"了解です👍\r\n";
    EXPECT_TRUE(pump_until(ends_with_wide, &shown, WAIT_MS));
    // 600 あ pasted leave 511 in the box, and all 511 go.
    paste(control(INPUT_ID), std::u16string(600, u'あ'));
    EXPECT_EQ(wide_text_of(control(INPUT_ID)), std::u16string(511, u'あ'));
    ASSERT_TRUE(PostMessageW(control(SEND_ID), BM_CLICK, 0, 0));
    std::string many;
    for (int i = 0; i < 511; i++) {
        many += "\x82\xA0";
    }
    ASSERT_NO_FATAL_FAILURE(expect_frame(&peer, many + "\r\n"));
    // By Shift+Insert, 600 emoji leave 255 whole in the box, never half of a pair.
    std::u16string emoji;
    for (int i = 0; i < 600; i++) {
        emoji += u"😀";
    }
    paste(control(INPUT_ID), emoji, true);
    std::u16string kept = wide_text_of(control(INPUT_ID));
    EXPECT_TRUE(kept == emoji.substr(0, 510)) << kept.size() << " UTF-16 units kept";

    // What a picture of the window on such a Windows shows: emoji, 𠮷 and Korean among the rest.
    ASSERT_TRUE(test_peer_send(
        &peer,
        frame("e" + NAME + "\r\n" + OTHER + "\r\n" + NEXT_NAME + "\r\n") +
            frame("d" + OTHER + ";お昼は&#xD842&#xDFB7野家にしませんか？&#xD83C&#xDF5C\r\n") +
            frame("d" + NEXT_NAME +
                  ";いいですね。ソウルの金さんからも: &#xC548&#xB155&#xD558&#xC138&#xC694!\r\n")));
    std::u16string korean = u"안녕하세요!\r\n";
    EXPECT_TRUE(pump_until(ends_with_wide, &korean, WAIT_MS));
    remote_send(control(INPUT_ID), WM_SETTEXT, 0, (LPARAM) "OK!");
    pump_messages(500); // let the window finish painting
    if (GetFileAttributesA("Z:\\usr\\bin\\import") != INVALID_FILE_ATTRIBUTES) {
        EXPECT_TRUE(save_screen_area(painted_area(main_window), VANTREL_SCREENSHOT_EN_US, 10000));
    }

    ASSERT_TRUE(PostMessageW(main_window, WM_CLOSE, 0, 0));
    HWND box = program_wait_box(&program, NULL, WAIT_MS); // its caption is not ANSI here
    ASSERT_NE(box, nullptr) << "no question before closing";
    EXPECT_EQ(wide_text_of(box), u"確認");
    EXPECT_EQ(wide_text_of(GetDlgItem(box, 0xFFFF)), u"終了してもよろしいですか");
    ASSERT_TRUE(answer_message_box(box, IDYES));
    ASSERT_NO_FATAL_FAILURE(expect_exit_code_zero());
}
