// DPI arithmetic and choices that need no window: scaling, the awareness call, fitting the screen.
#pragma once

#include "ui/layout.h"

// The DPI every pixel figure of the program is written for.
enum { BASE_DPI = 96 };

// value × dpi / 96, rounded half away from zero as MulDiv does.  Where MulDiv would answer -1 for
// a result beyond int, this holds the result at INT_MAX or INT_MIN, so a huge font size stays huge.
int dpi_scale(int value, int dpi);

// The calls that ask the system for DPI awareness, newest first.  A null entry is a call this
// Windows lacks; each returns nonzero when the system agreed.
struct awareness_calls {
    int (*per_monitor_v2)(void);
    int (*per_monitor)(void);
    int (*system_wide)(void);
};

enum { AWARE_NONE, AWARE_SYSTEM, AWARE_PER_MONITOR, AWARE_PER_MONITOR_V2 };

// Tries the calls in order until one agrees; returns which awareness the process got.
int choose_dpi_awareness(const awareness_calls *calls);

// The window's rectangle brought inside the work area: a side longer than the work area's is
// shortened to it, then the window is moved in as far as it hangs out.  A window already inside
// comes back unchanged.
child_rect fit_window_rect(child_rect window, child_rect work_area);
