// The main window, its child controls and the input box's keys.
#pragma once

#include <windows.h>

// Control ids, in creation order of the children.
enum { ID_TRANSCRIPT_BOX = 101, ID_INPUT_BOX = 102, ID_SEND_BUTTON = 103, ID_MEMBER_LIST = 104 };

#define MAIN_WINDOW_CLASS "vantrel"
#define MAIN_WINDOW_TITLE "Vantrel"
enum { MAIN_WINDOW_WIDTH = 550, MAIN_WINDOW_HEIGHT = 600 };

// Kept by the entry point for the child controls.
extern HINSTANCE g_instance;

// Registers the main window's class, with MYICON and MYMENU from g_instance's resources.
bool register_main_class(void);

LRESULT CALLBACK main_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

int create_children(HWND main_window);
int layout_children(HWND main_window);
int destroy_children(void);

// Installed on the input box while the main window is created.
LRESULT CALLBACK input_box_procedure(HWND box, UINT message, WPARAM wparam, LPARAM lparam);
void install_input_box_keys(HWND box);
