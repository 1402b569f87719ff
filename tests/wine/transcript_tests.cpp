// The transcript box keeps up with the transcript, past the edit control's default limit.
#include "tests/wine/client_fixture.h"

#include <stdio.h>

#include "client/receive.h"

typedef ClientTest TranscriptTest;

TEST_F(TranscriptTest, BoxHoldsWhatWasAppendedAndAtMostItsBound) {
    // Mixed Shift-JIS and ASCII, CR LF inside; 40 appends take it well past 30,000 characters,
    // where a box with its default limit stops taking text.
    std::string piece;
    for (int i = 0; i < 80; i++) {
        piece += "\x82\xa0\x82\xa2\x82\xa4 abc \x83\x5e\x83\x8d\x83\x45\r\n"; // あいう abc タロウ
    }
    std::string appended;
    for (int i = 0; i < 40; i++) {
        // The user may have clicked into the box or selected some of it; new text still goes
        // at the end and replaces nothing.
        if (i % 3 == 1) {
            SendMessageA(g_client.transcript_box, EM_SETSEL, 0, i);
        }
        std::string text = "\r\n\x81\x9f " + std::to_string(i) + ": " + piece;
        append_to_transcript(&g_client, text);
        appended += text;
        ASSERT_EQ(window_text(g_client.transcript_box), appended) << "after append " << i;
    }
    EXPECT_GT(appended.size(), 60000u); // over 40,000 characters
    // With a bound of 64 KiB (32,768 characters) whole entries leave from the top.
    size_t bound = g_scrollback_bytes;
    g_scrollback_bytes = 64 * 1024;
    append_to_transcript(&g_client, "MESSAGE:x\r\n");
    g_scrollback_bytes = bound;
    std::string kept = window_text(g_client.transcript_box);
    EXPECT_LE(GetWindowTextLengthW(g_client.transcript_box), 32768);
    EXPECT_EQ(kept.compare(0, 5, "\r\n\x81\x9f "), 0) << hex_bytes(kept.substr(0, 16));
    appended += "MESSAGE:x\r\n";
    ASSERT_LT(kept.size(), appended.size());
    EXPECT_EQ(appended.compare(appended.size() - kept.size(), kept.size(), kept), 0)
        << "what stays is the end of what was appended";
}

// Not run by ctest.  How long one entry takes to appear with a 10 KB and a 1 MB transcript,
// appended to the box against the box's whole text set again.  Run with
//   client_tests --gtest_also_run_disabled_tests --gtest_filter=*MeasureEntryCost*
static double now_ms(void) {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * (double)count.QuadPart / (double)frequency.QuadPart;
}

static std::string whole_text;

static void set_whole_text(client_state *cs, const std::string &text) {
    whole_text += text;
    SetWindowTextA(cs->transcript_box, whole_text.c_str());
    LRESULT lines = SendMessageA(cs->transcript_box, EM_GETLINECOUNT, 0, 0);
    SendMessageA(cs->transcript_box, EM_LINESCROLL, 0, lines);
}

TEST_F(TranscriptTest, DISABLED_MeasureEntryCost) {
    MoveWindow(g_client.transcript_box, 0, 0, 450, 400, TRUE);
    std::string line = "\x82\xa0\x82\xa2\x82\xa4 the quick brown fox jumps over the lazy dog\r\n";
    std::string entry =
        "\r\n\x81\x9f Taro \x82\xcc\x94\xad\x8c\xbe (2026/12/07 09:05) : \r\nhello there\r\n";
    const size_t sizes[] = {10 * 1024, 1024 * 1024};
    const int rounds = 10;
    for (int shown = 0; shown < 2; shown++) {
        // Shown, each entry is painted before the clock stops; hidden, only the control's work.
        ShowWindow(g_client.main_window, shown ? SW_SHOW : SW_HIDE);
        for (size_t size : sizes) {
            for (int whole = 0; whole < 2; whole++) {
                std::string start;
                while (start.size() < size) {
                    start += line;
                }
                whole_text = start;
                SetWindowTextA(g_client.transcript_box, start.c_str());
                pump_messages(50);
                double begin = now_ms();
                for (int i = 0; i < rounds; i++) {
                    if (whole) {
                        set_whole_text(&g_client, entry);
                    } else {
                        append_to_transcript(&g_client, entry);
                    }
                    UpdateWindow(g_client.transcript_box);
                }
                double per_entry = (now_ms() - begin) / rounds;
                printf("%-7s %7zu bytes, %-22s %8.2f ms per entry\n", shown ? "shown" : "hidden",
                       size, whole ? "whole text set again:" : "appended at the end:", per_entry);
                if (whole) {
                    EXPECT_EQ(window_text(g_client.transcript_box), whole_text);
                }
            }
        }
    }
}
