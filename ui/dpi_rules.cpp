// DPI arithmetic and choices that need no window: scaling, the awareness call, fitting the screen.
#include "ui/dpi_rules.h"

#include <limits.h>

int dpi_scale(int value, int dpi) {
    long long product = (long long)value * dpi;
    long long half = product < 0 ? -BASE_DPI / 2 : BASE_DPI / 2;
    long long scaled = (product + half) / BASE_DPI;
    if (scaled > INT_MAX) {
        return INT_MAX;
    }
    if (scaled < INT_MIN) {
        return INT_MIN;
    }
    return (int)scaled;
}

int choose_dpi_awareness(const awareness_calls *calls) {
    if (calls->per_monitor_v2 && calls->per_monitor_v2()) {
        return AWARE_PER_MONITOR_V2;
    }
    if (calls->per_monitor && calls->per_monitor()) {
        return AWARE_PER_MONITOR;
    }
    if (calls->system_wide && calls->system_wide()) {
        return AWARE_SYSTEM;
    }
    return AWARE_NONE;
}

// One side of the rectangle: its start and length within the work area's.
static void fit_span(int *start, int *length, int area_start, int area_length) {
    if (*length > area_length) {
        *length = area_length;
    }
    // Compared as long long: a window placed far off could overflow the sums in int.
    if ((long long)*start + *length > (long long)area_start + area_length) {
        *start = area_start + area_length - *length;
    }
    if (*start < area_start) {
        *start = area_start;
    }
}

child_rect fit_window_rect(child_rect window, child_rect work_area) {
    fit_span(&window.x, &window.width, work_area.x, work_area.width);
    fit_span(&window.y, &window.height, work_area.y, work_area.height);
    return window;
}
