// The main window, its child controls and the input box's keys.
#pragma once

#include <windows.h>

#include "client/client_state.h"

// Control ids, in creation order of the children.
enum { ID_TRANSCRIPT_BOX = 101, ID_INPUT_BOX = 102, ID_SEND_BUTTON = 103, ID_MEMBER_LIST = 104 };

#define MAIN_WINDOW_CLASS L"vantrel"
#define MAIN_WINDOW_TITLE L"Vantrel"
enum { MAIN_WINDOW_WIDTH = 550, MAIN_WINDOW_HEIGHT = 600 };

// Kept by the entry point for the child controls.
extern HINSTANCE g_instance;

// Registers the main window's class, with MYICON and MYMENU from g_instance's resources.
bool register_main_class(void);

// The main window as the entry point makes it: 550 x 600 at 96 DPI, scaled to the system's DPI and
// kept inside its monitor's work area.  NULL when it cannot be created.
HWND create_main_window(void);

LRESULT CALLBACK main_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Loads memo.ini's start-up values (the name, the font and the server), makes the font and the four
// controls, and gives the input box its keys.
int create_children(HWND main_window);
int layout_children(HWND main_window);
// Deletes the font, then destroys the four controls.  Whatever writes into them must have ended.
int destroy_children(void);
// The window moved to a monitor of another DPI: the suggested rectangle, the font and the layout
// all follow the new DPI.
int rescale_children(HWND main_window, int dpi, const RECT *suggested);

// Asks for per-monitor awareness (v2, else v1), else system awareness; must come before the first
// window.  Returns the AWARE_ value of ui/dpi_rules.h that the system granted.
int dpi_become_aware(void);
// The system's DPI, from the screen; and a window's own, where the system can tell it.
int dpi_of_screen(void);
int dpi_of_window(HWND window);
// Moves and shrinks the window as far as needed to lie inside its monitor's work area.
void fit_to_monitor(HWND window);

// Installed on the input box while the main window is created; Enter sends for cs.
LRESULT CALLBACK input_box_procedure(HWND box, UINT message, WPARAM wparam, LPARAM lparam);
void install_input_box_keys(HWND box, client_state *cs);

// Installed on the transcript box: once the user scrolls back to its end, the count of entries
// that came below is cleared.
void install_transcript_reading(HWND box);
