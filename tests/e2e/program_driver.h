// Driving another process's windows from a test: launching the program, finding its windows and
// boxes, reading its controls' text and typing into them with real key input.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

// A program started by program_start.  input_thread is the program's UI thread while this thread's
// input is attached to it (0 otherwise).
struct launched_program {
    PROCESS_INFORMATION process;
    DWORD input_thread;
};

// A path as a Windows program takes it.  Under Wine a Unix path "/a/b" is "Z:\a\b"; a Windows path
// only has its slashes turned into backslashes.
std::string windows_path(const char *path);

// Starts exe (a path as the build gives it) with folder as its working folder.
bool program_start(launched_program *program, const char *exe, const std::string &folder);

bool program_running(const launched_program *program);

// Waits, pumping, for the process to end; true with its exit code when it did within timeout_ms.
bool program_wait_exit(launched_program *program, int timeout_ms, DWORD *exit_code);

// Ends the process if it still runs, detaches this thread's input and closes the handles.  Safe to
// call twice.
void program_end(launched_program *program);

// The program's visible top-level window of this class (and caption, unless NULL).  NULL when
// none showed up within timeout_ms.
HWND program_wait_window(const launched_program *program, const char *window_class,
                         const char *caption, int timeout_ms);

// The program's visible message box with this caption; NULL after timeout_ms.
HWND program_wait_box(const launched_program *program, const char *caption, int timeout_ms);

// How many visible message boxes the program shows right now, whatever their caption.
int program_box_count(const launched_program *program);

// Another process's window text through WM_GETTEXT with a time-out (GetWindowTextA does not ask a
// window of another process).  False when the window did not answer.
bool remote_text(HWND window, std::string *text);

// Pumps until the window's text is exactly expected; the last text read lands in last.
bool wait_for_remote_text(HWND window, const std::string &expected, int timeout_ms,
                          std::string *last);

// Sends a message with no pointers in it to another process's window, with a time-out.
LRESULT remote_send(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Sends a message whose lParam is a text (WM_SETTEXT, EM_REPLACESEL), which the system carries over
// to the other process.
LRESULT remote_send_text(HWND window, UINT message, WPARAM wparam, const std::string &text);

// Attaches this thread's input to the window's thread, brings its top-level window forward and
// gives the window the keyboard focus, so that key_press reaches it.
bool focus_remote_window(launched_program *program, HWND window);

// Presses and releases the key through SendInput, with Shift held around it when asked.
bool key_press(WORD virtual_key, bool with_shift);

// The window's rectangle relative to its parent's client area.
RECT rect_in_parent(HWND window);

// Saves the screen area as a PNG at png_path (a Unix path) with ImageMagick's import, run as a
// Unix program through Wine.  False when import is not there or no file came within timeout_ms.
bool save_screen_area(const RECT &area, const char *png_path, int timeout_ms);
