// Where the four child controls go for a given client area.  Portable arithmetic only.
#pragma once

enum { RIGHT_COLUMN_WIDTH = 100 };

struct child_rect {
    int x, y, width, height;
};

enum { LAYOUT_TRANSCRIPT, LAYOUT_MEMBERS, LAYOUT_INPUT, LAYOUT_SEND, LAYOUT_COUNT };

// Four fifths of the height above, one fifth below, a column on the right 100 pixels wide at 96 DPI
// and scaled to the window's dpi.  Nothing is clamped: a client area narrower than the column
// gives negative widths, as the window manager itself reports them.
void compute_layout(int client_width, int client_height, int dpi, child_rect *rects);
