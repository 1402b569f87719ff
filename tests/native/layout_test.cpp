// Child control placement for a few client areas and DPIs, and the DPI arithmetic under it.
#include "ui/layout.h"

#include <limits.h>

#include <string>

#include "ui/dpi_rules.h"

#include <gtest/gtest.h>

// "x,y wxh", so a failure shows the whole rectangle.
static std::string text_of(const child_rect &r) {
    return std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
           std::to_string(r.height);
}

TEST(Layout, FourFifthsAboveAndAHundredPixelColumn) {
    struct {
        int w, h, dpi;
        child_rect expected[LAYOUT_COUNT];
    } cases[] = {
        {550,
         500,
         96,
         {{0, 0, 450, 400}, {450, 0, 100, 400}, {0, 400, 450, 100}, {450, 400, 100, 100}}},
        // 7 rows: 5 above, 1 below, the last row left bare.
        {550, 7, 96, {{0, 0, 450, 5}, {450, 0, 100, 5}, {0, 5, 450, 1}, {450, 5, 100, 1}}},
        {60, 100, 96, {{0, 0, -40, 80}, {-40, 0, 100, 80}, {0, 80, -40, 20}, {-40, 80, 100, 20}}},
        {0, 0, 96, {{0, 0, -100, 0}, {-100, 0, 100, 0}, {0, 0, -100, 0}, {-100, 0, 100, 0}}},
        {100, 4, 96, {{0, 0, 0, 3}, {0, 0, 100, 3}, {0, 3, 0, 0}, {0, 3, 100, 0}}},
        // The column grows with the DPI; the split stays four fifths and one fifth.
        {688,
         625,
         120,
         {{0, 0, 563, 500}, {563, 0, 125, 500}, {0, 500, 563, 125}, {563, 500, 125, 125}}},
        {825,
         750,
         144,
         {{0, 0, 675, 600}, {675, 0, 150, 600}, {0, 600, 675, 150}, {675, 600, 150, 150}}},
        {1100,
         1002,
         192,
         {{0, 0, 900, 801}, {900, 0, 200, 801}, {0, 801, 900, 200}, {900, 801, 200, 200}}},
    };
    for (const auto &c : cases) {
        child_rect got[LAYOUT_COUNT];
        compute_layout(c.w, c.h, c.dpi, got);
        for (int i = 0; i < LAYOUT_COUNT; i++) {
            EXPECT_EQ(text_of(c.expected[i]), text_of(got[i]))
                << c.w << "x" << c.h << " at " << c.dpi << " DPI, control " << i;
        }
    }
}

TEST(Dpi, FiguresScaleLikeMulDivAndHugeOnesAreHeld) {
    const struct {
        int value, dpi, expected;
    } cases[] = {
        {550, 120, 688}, // 687.5: halves round away from 0
        {-1, 144, -2},
        {0, 192, 0}, // a font height of 0, the system's default, stays 0
        // Beyond int, where MulDiv would give -1, results are held.
        {INT_MAX, 144, INT_MAX},
        {INT_MIN, 144, INT_MIN},
        {INT_MAX, 48, 1073741824},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(dpi_scale(c.value, c.dpi), c.expected) << c.value << " at " << c.dpi << " DPI";
    }
}

TEST(Dpi, WindowIsBroughtInsideTheWorkArea) {
    const struct {
        child_rect window, work, expected;
    } cases[] = {
        {{100, 50, 825, 900}, {0, 0, 1280, 1024}, {100, 50, 825, 900}}, // fits: untouched
        // 175 % on a 1080p laptop: 963 x 1050 over a 1032-pixel work area above the taskbar.
        {{24, 24, 963, 1050}, {0, 0, 1920, 1032}, {24, 0, 963, 1032}},
        // Too wide for a monitor left of the primary one, whose taskbar is at the top.
        {{-1800, 100, 2000, 500}, {-1920, 40, 1920, 1040}, {-1920, 100, 1920, 500}},
        // Small enough but hanging below and left of the work area.
        {{-30, 700, 550, 600}, {0, 0, 1280, 1024}, {0, 424, 550, 600}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(text_of(c.expected), text_of(fit_window_rect(c.window, c.work)));
    }
}

// Each call notes that it was tried and gives the answer its row wants.
static std::string tried;
static int answer(const char *call, int agreed) {
    tried += call;
    return agreed;
}
static int (*const v2_agrees)(void) = [] { return answer("v2 ", 1); };
static int (*const v2_refuses)(void) = [] { return answer("v2 ", 0); };
static int (*const v1_agrees)(void) = [] { return answer("v1 ", 1); };
static int (*const v1_refuses)(void) = [] { return answer("v1 ", 0); };
static int (*const system_agrees)(void) = [] { return answer("system ", 1); };
static int (*const system_refuses)(void) = [] { return answer("system ", 0); };

TEST(Dpi, AwarenessFallsBackFromNewestCallToOldest) {
    const struct {
        awareness_calls calls;
        int expected;
        const char *tried;
    } cases[] = {
        {{v2_agrees, v1_agrees, system_agrees}, AWARE_PER_MONITOR_V2, "v2 "},
        {{nullptr, v1_agrees, system_agrees}, AWARE_PER_MONITOR, "v1 "},
        {{v2_refuses, v1_agrees, system_agrees}, AWARE_PER_MONITOR, "v2 v1 "},
        {{v2_refuses, v1_refuses, system_agrees}, AWARE_SYSTEM, "v2 v1 system "},
        {{nullptr, nullptr, system_agrees}, AWARE_SYSTEM, "system "},
        {{v2_refuses, v1_refuses, system_refuses}, AWARE_NONE, "v2 v1 system "},
        {{nullptr, nullptr, nullptr}, AWARE_NONE, ""},
    };
    for (const auto &c : cases) {
        tried.clear();
        EXPECT_EQ(choose_dpi_awareness(&c.calls), c.expected) << c.tried;
        EXPECT_EQ(tried, c.tried);
    }
}
