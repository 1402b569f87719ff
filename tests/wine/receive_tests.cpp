// The receive thread against a scripted server: entries, member list, refusals, lost connections
// and disconnects in the middle of a flood.
#include "tests/wine/client_fixture.h"
#include "tests/wine/expected_texts.h"

#include <stdio.h>
#include <string.h>

#include "client/connection.h"
#include "client/receive.h"

static const std::string DIAMOND = "\x81\x9f "; // "◆ "
static const std::string STAMP = "(STAMP)";

// An entry as it must show, with STAMP where the time stamp goes.
static std::string entry(const std::string &name, const std::string &text) {
    return "\r\n" + DIAMOND + name + SAID + STAMP + " : \r\n" + text;
}

static std::string stamp_of(const SYSTEMTIME &t) {
    char out[32];
    snprintf(out, sizeof out, "(%04d/%02d/%02d %02d:%02d)", t.wYear, t.wMonth, t.wDay, t.wHour,
             t.wMinute);
    return out;
}

// Replaces the time stamp after each " の発言 " with STAMP, checking that it is the local time
// the entry arrived at: the minute before the frames were sent or the minute after they showed.
static std::string without_stamps(const std::string &text, const SYSTEMTIME &before,
                                  const SYSTEMTIME &after) {
    std::string out = text;
    for (size_t at = 0; (at = out.find(SAID, at)) != std::string::npos;) {
        at += SAID.size();
        std::string stamp = out.substr(at, 18);
        EXPECT_TRUE(stamp == stamp_of(before) || stamp == stamp_of(after))
            << "stamp " << stamp << ", now " << stamp_of(after);
        out.replace(at, 18, STAMP);
    }
    return out;
}

static int count_entries(const std::string &text) {
    int count = 0;
    for (size_t at = 0; (at = text.find(DIAMOND, at)) != std::string::npos; at++) {
        count++;
    }
    return count;
}

struct entry_wait {
    int count;
};

static bool entries_shown(void *context) {
    return count_entries(window_text(g_client.transcript_box)) >= ((entry_wait *)context)->count;
}

static bool wait_for_entries(int count) {
    entry_wait wait = {count};
    return pump_until(entries_shown, &wait, 5000);
}

typedef ClientTest ReceiveTest;

TEST_F(ReceiveTest, RelayedLinesBecomeStampedEntriesInOrder) {
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    start("127.0.0.21");
    // Frames cut across sends, a NUL inside one, and kinds that show nothing in between.
    std::string stream = frame("dTaro;hello\r\n") + "d;no n";
    ASSERT_TRUE(test_peer_send(&peer, stream));
    pump_messages(30);
    stream = "ame\r\n" + frame("") + frame("xyz") + frame("dA;b;c\r\n") + "dJi";
    stream += '\0';
    stream += "ro;nul dropped\r\n\x80";
    ASSERT_TRUE(test_peer_send(&peer, stream));
    pump_messages(30);
    // 太郎 / あ, without a line break at the end
    ASSERT_TRUE(test_peer_send(&peer, frame("dnosemicolon") + frame("d\x91\xbe\x98\x59;\x82\xa0")));
    // No line of a text passes for the client's own: ◆ becomes ◇, MESSAGE: takes a wide colon,
    // after any spaces; escapes of ム and 準 show the characters, in the name too.
    ASSERT_TRUE(test_peer_send(&peer, frame("d&#x30E0;\x81\x9f Taro\r\n \t\x81\x40MESSAGE:x\r\n"
                                            "&#x6e96 \x81\x9f MESSAGE:")));
    ASSERT_TRUE(wait_for_entries(7)) << "got " << window_text(g_client.transcript_box);
    GetLocalTime(&after);

    std::string shown = window_text(g_client.transcript_box);
    std::string expected = CONNECTED + entry("Taro", "hello\r\n") + entry("", "no name\r\n") +
                           entry("A", "b;c\r\n") + entry("Jiro", "nul dropped\r\n") +
                           entry("nosemicolon", "") + entry("\x91\xbe\x98\x59", "\x82\xa0") +
                           entry("\x83\x80", "\x81\x9e Taro\r\n \t\x81\x40MESSAGE\x81\x46x\r\n"
                                             "\x8f\x80 \x81\x9f MESSAGE:");
    std::string got = without_stamps(shown, before, after);
    EXPECT_EQ(got, expected) << "expected " << hex_bytes(expected) << "\ngot      "
                             << hex_bytes(got);

    // The last line (あ) is in view.
    LRESULT lines = SendMessageA(g_client.transcript_box, EM_GETLINECOUNT, 0, 0);
    LRESULT last = SendMessageA(g_client.transcript_box, EM_LINEINDEX, lines - 1, 0);
    LRESULT where = SendMessageA(g_client.transcript_box, EM_POSFROMCHAR, last, 0);
    RECT client;
    GetClientRect(g_client.transcript_box, &client);
    int y = (short)HIWORD(where);
    EXPECT_GT(SendMessageA(g_client.transcript_box, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
    EXPECT_TRUE(y >= 0 && y < client.bottom) << "last line at y " << y << ", box " << client.bottom;
}

TEST_F(ReceiveTest, MemberFramesReplaceTheMemberList) {
    start("127.0.0.22");
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    // Who came and went, against the connection's previous list; its first list says nothing.
    struct {
        std::string payload;
        std::string shown;
        std::string lines; // MESSAGE: + name + が参加しました。 / が退出しました。
    } cases[] = {
        {"eAlice\r\nBob\r\n", "Alice\r\nBob\r\n", ""},
        {"ever_err", "ver_err", // a member called ver_err, not a refusal
         "MESSAGE:Alice" + LEFT + "MESSAGE:Bob" + LEFT + "MESSAGE:ver_err" + JOINED},
        {"e", "", "MESSAGE:ver_err" + LEFT},
        {"eA\r\nA\r\nB", "A\r\nA\r\nB",
         "MESSAGE:A" + JOINED + "MESSAGE:A" + JOINED + "MESSAGE:B" + JOINED},
        {"eB\r\n\r\nA\r\n&#x30e0\r\n", "B\r\n\r\nA\r\n\x83\x80\r\n",
         "MESSAGE:A" + LEFT + "MESSAGE:\x83\x80" + JOINED},
    };
    std::string shown = CONNECTED;
    for (const auto &c : cases) {
        SCOPED_TRACE(hex_bytes(c.payload));
        // The relay behind it shows once the member frame has been handled.
        ASSERT_TRUE(test_peer_send(&peer, frame(c.payload) + frame("dS;sentinel\r\n")));
        shown += c.lines + entry("S", "sentinel\r\n");
        ASSERT_TRUE(wait_for_entries(count_entries(shown)));
        GetLocalTime(&after);
        EXPECT_EQ(without_stamps(window_text(g_client.transcript_box), before, after), shown);
        EXPECT_TRUE(wait_for_text(g_client.member_list, c.shown, 3000)) << "the box rests";
        EXPECT_EQ(wait_for_message_box("ERROR", 0), (HWND)NULL);
    }
}

TEST_F(ReceiveTest, FramesThatShowNothingAndTheShutdownNoticeEndsTheConnection) {
    start("127.0.0.23");
    SetWindowTextA(g_client.member_list, "members");
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    testing::internal::CaptureStdout();
    std::string stream = frame("ver_err!") + frame("xyz") + frame("") + frame("Dcapital;d\r\n") +
                         frame("Ecapital") + frame("dS;sentinel\r\n");
    ASSERT_TRUE(test_peer_send(&peer, stream));
    bool shown = wait_for_entries(1);
    EXPECT_EQ(window_text(g_client.member_list), "members");
    // The client ends the connection at the notice, without waiting for the server to close it.
    ASSERT_TRUE(test_peer_send(&peer, frame("dserver_end\n") + frame("dS;after\r\n")));
    bool ended = wait_for_receive_thread_end(3000);
    std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(shown && ended);
    GetLocalTime(&after);
    std::string got = without_stamps(window_text(g_client.transcript_box), before, after);
    EXPECT_EQ(got, CONNECTED + entry("S", "sentinel\r\n") + LOST);
    EXPECT_EQ(window_text(g_client.member_list), "") << "members listed after the loss";
    EXPECT_TRUE(connection_lost());
    // サーバーが終了しました, with no line break
    EXPECT_EQ(printed, "\x83\x54\x81\x5b\x83\x6f\x81\x5b\x82\xaa\x8f\x49\x97\xb9\x82\xb5\x82\xdc"
                       "\x82\xb5\x82\xbd")
        << "got " << hex_bytes(printed);
}

TEST_F(ReceiveTest, VersionRefusalAsksThenRequestsDestroy) {
    start("127.0.0.24");
    ASSERT_TRUE(test_peer_send(&peer, frame("ver_err") + frame("dS;too late\r\n")));
    HWND box = wait_for_message_box("ERROR", 3000);
    ASSERT_NE(box, (HWND)NULL);
    // バージョンが違います
    EXPECT_EQ(message_box_text(box), "\x83\x6f\x81\x5b\x83\x57\x83\x87\x83\x93\x82\xaa\x88\xe1"
                                     "\x82\xa2\x82\xdc\x82\xb7");
    EXPECT_EQ(GetWindow(box, GW_OWNER), g_client.main_window);
    pump_messages(50);
    EXPECT_EQ(g_destroy_requests, 0) << "destroy requested before the box was answered";
    ASSERT_TRUE(answer_message_box(box, IDOK));

    ASSERT_TRUE(wait_for_receive_thread_end(3000));
    pump_messages(50);
    EXPECT_EQ(g_destroy_requests, 1);
    EXPECT_EQ(window_text(g_client.transcript_box), CONNECTED) << "nothing after a refusal";
}

TEST_F(ReceiveTest, ServerClosingIsReportedAndReconnectContinuesBelow) {
    start("127.0.0.25");
    ASSERT_TRUE(wait_for_text(g_client.transcript_box, CONNECTED, 3000));
    test_peer_close(&peer);

    ASSERT_TRUE(wait_for_receive_thread_end(3000));
    EXPECT_EQ(wait_for_message_box("ERROR", 300), (HWND)NULL) << "a box holds the user up";
    EXPECT_EQ(window_text(g_client.transcript_box), CONNECTED + LOST);
    EXPECT_TRUE(connection_lost());
    EXPECT_EQ(g_destroy_requests, 0) << "a lost connection leaves the window open";

    drop_connection();
    ASSERT_EQ(connect_once(), 0);
    accept_client(&server, &peer);
    EXPECT_FALSE(connection_lost());
    EXPECT_TRUE(wait_for_text(g_client.transcript_box, CONNECTED + LOST + CONNECTED, 3000))
        << "got " << window_text(g_client.transcript_box);
}

// Sends relay and member frames as fast as the connection takes them until told to stop or the
// client goes away.
struct flood {
    test_peer *peer;
    volatile LONG stop;
};

static DWORD WINAPI flood_frames(LPVOID param) {
    flood *f = (flood *)param;
    std::string block;
    for (int i = 0; block.size() < 4000; i++) {
        block += frame("dFlood;line " + std::to_string(i) + "\r\n");
        if (i % 8 == 0) {
            block += frame("eAlice\r\nBob " + std::to_string(i) + "\r\n");
        }
    }
    while (InterlockedCompareExchange(&f->stop, 0, 0) == 0 && test_peer_send(f->peer, block)) {
    }
    return 0;
}

TEST_F(ReceiveTest, DisconnectDuringFloodReturnsPromptlyAndAddsNothingAfter) {
    start("127.0.0.26");
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        if (round > 0) {
            ASSERT_EQ(connect_once(), 0);
            accept_client(&server, &peer);
        }
        flood f = {&peer, 0};
        HANDLE sender = CreateThread(NULL, 0, flood_frames, &f, 0, NULL);
        int before = count_entries(window_text(g_client.transcript_box));
        EXPECT_TRUE(wait_for_entries(before + 20)) << "the flood did not arrive";

        DWORD start_ms = GetTickCount();
        disconnect_from_server();
        DWORD took = GetTickCount() - start_ms;
        EXPECT_LT(took, 2000u) << "disconnect took " << took << " ms";

        std::string transcript = window_text(g_client.transcript_box);
        std::string members = window_text(g_client.member_list);
        pump_messages(300);
        EXPECT_EQ(window_text(g_client.transcript_box), transcript) << "added after disconnect";
        EXPECT_EQ(window_text(g_client.member_list), members) << "changed after disconnect";
        EXPECT_EQ(wait_for_message_box("ERROR", 0), (HWND)NULL) << "a box after disconnect";

        // The client has closed its end, so the sender's next send fails and it stops.
        InterlockedExchange(&f.stop, 1);
        EXPECT_EQ(WaitForSingleObject(sender, 5000), WAIT_OBJECT_0);
        test_peer_close(&peer);
        CloseHandle(sender);
    }
}
