// Child control placement for a few client areas.
#include "ui/layout.h"

#include <gtest/gtest.h>

TEST(Layout, FourFifthsAboveAndAHundredPixelColumn) {
    struct {
        int w, h;
        child_rect expected[LAYOUT_COUNT];
    } cases[] = {
        {550,
         500,
         {{0, 0, 450, 400}, {450, 0, 100, 400}, {0, 400, 450, 100}, {450, 400, 100, 100}}},
        // 7 rows: 5 above, 1 below, the last row left bare.
        {550, 7, {{0, 0, 450, 5}, {450, 0, 100, 5}, {0, 5, 450, 1}, {450, 5, 100, 1}}},
        {60, 100, {{0, 0, -40, 80}, {-40, 0, 100, 80}, {0, 80, -40, 20}, {-40, 80, 100, 20}}},
        {0, 0, {{0, 0, -100, 0}, {-100, 0, 100, 0}, {0, 0, -100, 0}, {-100, 0, 100, 0}}},
        {100, 4, {{0, 0, 0, 3}, {0, 0, 100, 3}, {0, 3, 0, 0}, {0, 3, 100, 0}}},
    };
    for (const auto &c : cases) {
        child_rect got[LAYOUT_COUNT];
        compute_layout(c.w, c.h, got);
        for (int i = 0; i < LAYOUT_COUNT; i++) {
            const child_rect &e = c.expected[i];
            EXPECT_TRUE(e.x == got[i].x && e.y == got[i].y && e.width == got[i].width &&
                        e.height == got[i].height)
                << c.w << "x" << c.h << " control " << i << ": expected " << e.x << "," << e.y
                << " " << e.width << "x" << e.height << ", got " << got[i].x << "," << got[i].y
                << " " << got[i].width << "x" << got[i].height;
        }
    }
}
