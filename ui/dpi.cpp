// DPI awareness for the process, the DPI of the screen and of a window, and the window kept on its
// monitor.  The newer calls are looked up at run time so that the program still starts where they
// are missing.
#include <windows.h>

#include "ui/dpi_rules.h"
#include "ui/ui.h"

typedef BOOL(WINAPI *set_context_call)(HANDLE context);
typedef HRESULT(WINAPI *set_awareness_call)(int awareness);
typedef UINT(WINAPI *dpi_for_window_call)(HWND window);

// DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2 and PROCESS_PER_MONITOR_DPI_AWARE; the headers only
// show them to programs that require Windows 10 or 8.1.
static const HANDLE PER_MONITOR_AWARE_V2 = (HANDLE)(LONG_PTR)-4;
enum { PROCESS_PER_MONITOR_AWARE = 2 };

static set_context_call set_context;
static set_awareness_call set_awareness;

// Through a plain function pointer type, which the compilers accept as a go-between for any other.
typedef void (*any_call)(void);

static any_call find_call(HMODULE module, const char *name) {
    return module ? (any_call)GetProcAddress(module, name) : NULL;
}

static int ask_per_monitor_v2(void) {
    return set_context(PER_MONITOR_AWARE_V2) != FALSE;
}

static int ask_per_monitor(void) {
    return set_awareness(PROCESS_PER_MONITOR_AWARE) == S_OK;
}

static int ask_system_wide(void) {
    return SetProcessDPIAware() != FALSE;
}

int dpi_become_aware(void) {
    set_context = (set_context_call)find_call(GetModuleHandleA("user32.dll"),
                                              "SetProcessDpiAwarenessContext");
    // From the system folder only: where Windows has no shcore.dll, a plain search would take one
    // from the working folder, which holds whatever memo.ini came with.
    HMODULE shcore = LoadLibraryExA("shcore.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    set_awareness = (set_awareness_call)find_call(shcore, "SetProcessDpiAwareness");
    awareness_calls calls = {set_context ? ask_per_monitor_v2 : NULL,
                             set_awareness ? ask_per_monitor : NULL, ask_system_wide};
    int awareness = choose_dpi_awareness(&calls);
    if (shcore) {
        FreeLibrary(shcore);
    }
    set_awareness = NULL;
    return awareness;
}

int dpi_of_screen(void) {
    HDC screen = GetDC(NULL);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen) {
        ReleaseDC(NULL, screen);
    }
    return dpi > 0 ? dpi : BASE_DPI;
}

int dpi_of_window(HWND window) {
    dpi_for_window_call dpi_for_window =
        (dpi_for_window_call)find_call(GetModuleHandleA("user32.dll"), "GetDpiForWindow");
    UINT dpi = dpi_for_window ? dpi_for_window(window) : 0;
    return dpi > 0 ? (int)dpi : dpi_of_screen();
}

void fit_to_monitor(HWND window) {
    MONITORINFO monitor;
    monitor.cbSize = sizeof monitor;
    RECT outer;
    if (!GetMonitorInfoA(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor) ||
        !GetWindowRect(window, &outer)) {
        return;
    }
    const RECT &w = monitor.rcWork;
    child_rect now = {outer.left, outer.top, outer.right - outer.left, outer.bottom - outer.top};
    child_rect work = {w.left, w.top, w.right - w.left, w.bottom - w.top};
    child_rect fitted = fit_window_rect(now, work);
    if (fitted.x != now.x || fitted.y != now.y || fitted.width != now.width ||
        fitted.height != now.height) {
        SetWindowPos(window, NULL, fitted.x, fitted.y, fitted.width, fitted.height,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
}
