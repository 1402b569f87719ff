// Driving another process's windows from a test: launching, finding windows and boxes, reading
// text and typing with real key input.
#include "tests/e2e/program_driver.h"

#include <stdio.h>
#include <string.h>

#include "tests/wine/test_support.h"

// A window of another process that does not answer within this long is taken as hung.
enum { REMOTE_TIMEOUT_MS = 3000 };

std::string windows_path(const char *path) {
    std::string converted = path[0] == '/' ? std::string("Z:") + path : std::string(path);
    for (size_t i = 0; i < converted.size(); i++) {
        if (converted[i] == '/') {
            converted[i] = '\\';
        }
    }
    return converted;
}

bool program_start(launched_program *program, const char *exe, const std::string &folder) {
    ZeroMemory(program, sizeof *program);
    std::string exe_path = windows_path(exe);
    std::string command_line = "\"" + exe_path + "\"";
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    return CreateProcessA(exe_path.c_str(), &command_line[0], NULL, NULL, FALSE, 0, NULL,
                          folder.c_str(), &startup, &program->process) != 0;
}

bool program_running(const launched_program *program) {
    return program->process.hProcess != NULL &&
           WaitForSingleObject(program->process.hProcess, 0) == WAIT_TIMEOUT;
}

static bool process_ended(void *context) {
    return !program_running((const launched_program *)context);
}

bool program_wait_exit(launched_program *program, int timeout_ms, DWORD *exit_code) {
    if (program->process.hProcess == NULL || !pump_until(process_ended, program, timeout_ms)) {
        return false;
    }
    return GetExitCodeProcess(program->process.hProcess, exit_code) != 0;
}

void program_end(launched_program *program) {
    if (program->input_thread != 0) {
        AttachThreadInput(GetCurrentThreadId(), program->input_thread, FALSE);
        program->input_thread = 0;
    }
    if (program->process.hProcess != NULL) {
        if (program_running(program)) {
            TerminateProcess(program->process.hProcess, 99);
            WaitForSingleObject(program->process.hProcess, 5000);
        }
        CloseHandle(program->process.hProcess);
        program->process.hProcess = NULL;
    }
    if (program->process.hThread != NULL) {
        CloseHandle(program->process.hThread);
        program->process.hThread = NULL;
    }
}

struct window_search {
    DWORD process_id;
    const char *window_class;
    const char *caption; // NULL: any
    HWND found;
    int count;
};

static BOOL CALLBACK match_window(HWND window, LPARAM context) {
    window_search *search = (window_search *)context;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->process_id || !IsWindowVisible(window)) {
        return TRUE;
    }
    char name[64];
    if (GetClassNameA(window, name, sizeof name) == 0 || strcmp(name, search->window_class) != 0) {
        return TRUE;
    }
    if (search->caption != NULL) {
        // A top-level window's caption is kept by the system, so it can be read across processes.
        char caption[256];
        if (GetWindowTextA(window, caption, sizeof caption) <= 0 ||
            strcmp(caption, search->caption) != 0) {
            return TRUE;
        }
    }
    if (search->found == NULL) {
        search->found = window;
    }
    search->count++;
    return TRUE;
}

static bool window_found(void *context) {
    window_search *search = (window_search *)context;
    search->found = NULL;
    search->count = 0;
    EnumWindows(match_window, (LPARAM)search);
    return search->found != NULL;
}

HWND program_wait_window(const launched_program *program, const char *window_class,
                         const char *caption, int timeout_ms) {
    window_search search = {program->process.dwProcessId, window_class, caption, NULL, 0};
    pump_until(window_found, &search, timeout_ms);
    return search.found;
}

HWND program_wait_box(const launched_program *program, const char *caption, int timeout_ms) {
    return program_wait_window(program, "#32770", caption, timeout_ms);
}

int program_box_count(const launched_program *program) {
    window_search search = {program->process.dwProcessId, "#32770", NULL, NULL, 0};
    window_found(&search);
    return search.count;
}

LRESULT remote_send(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, message, wparam, lparam, SMTO_ABORTIFHUNG, REMOTE_TIMEOUT_MS,
                             &result)) {
        return -1;
    }
    return (LRESULT)result;
}

LRESULT remote_send_text(HWND window, UINT message, WPARAM wparam, const std::string &text) {
    return remote_send(window, message, wparam, (LPARAM)text.c_str());
}

bool remote_text(HWND window, std::string *text) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, REMOTE_TIMEOUT_MS,
                             &length)) {
        return false;
    }
    // The length may be an overestimate for double-byte text; the copy says how much it holds.
    std::string buffer((size_t)length + 1, '\0');
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, (WPARAM)buffer.size(), (LPARAM)&buffer[0],
                             SMTO_ABORTIFHUNG, REMOTE_TIMEOUT_MS, &got)) {
        return false;
    }
    buffer.resize(got < buffer.size() ? (size_t)got : buffer.size() - 1);
    *text = buffer;
    return true;
}

struct text_watch {
    HWND window;
    const std::string *expected;
    std::string *last;
};

static bool text_reached(void *context) {
    text_watch *watch = (text_watch *)context;
    return remote_text(watch->window, watch->last) && *watch->last == *watch->expected;
}

bool wait_for_remote_text(HWND window, const std::string &expected, int timeout_ms,
                          std::string *last) {
    std::string ignored;
    text_watch watch = {window, &expected, last != NULL ? last : &ignored};
    return pump_until(text_reached, &watch, timeout_ms);
}

bool focus_remote_window(launched_program *program, HWND window) {
    DWORD thread = GetWindowThreadProcessId(window, NULL);
    if (program->input_thread != thread) {
        // SetFocus only works on windows of threads sharing this thread's input state, and
        // SendInput goes to whichever window has the focus of the foreground input state.
        if (!AttachThreadInput(GetCurrentThreadId(), thread, TRUE)) {
            return false;
        }
        program->input_thread = thread;
    }
    SetForegroundWindow(GetAncestor(window, GA_ROOT));
    SetFocus(window);
    return GetFocus() == window;
}

static void add_key(INPUT *inputs, UINT *count, WORD virtual_key, bool up) {
    INPUT *input = &inputs[(*count)++];
    ZeroMemory(input, sizeof *input);
    input->type = INPUT_KEYBOARD;
    input->ki.wVk = virtual_key;
    input->ki.wScan = (WORD)MapVirtualKeyA(virtual_key, MAPVK_VK_TO_VSC);
    input->ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
}

bool key_press(WORD virtual_key, bool with_shift) {
    INPUT inputs[4];
    UINT count = 0;
    if (with_shift) {
        add_key(inputs, &count, VK_SHIFT, false);
    }
    add_key(inputs, &count, virtual_key, false);
    add_key(inputs, &count, virtual_key, true);
    if (with_shift) {
        add_key(inputs, &count, VK_SHIFT, true);
    }
    return SendInput(count, inputs, sizeof inputs[0]) == count;
}

RECT rect_in_parent(HWND window) {
    RECT rect;
    GetWindowRect(window, &rect);
    MapWindowPoints(NULL, GetParent(window), (POINT *)&rect, 2);
    return rect;
}

struct file_watch {
    std::string path;
};

static bool file_exists(void *context) {
    return GetFileAttributesA(((file_watch *)context)->path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool save_screen_area(const RECT &area, const char *png_path, int timeout_ms) {
    if (GetFileAttributesA("Z:\\usr\\bin\\import") == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    file_watch watch = {windows_path(png_path)};
    DeleteFileA(watch.path.c_str());

    char geometry[64];
    snprintf(geometry, sizeof geometry, "%ldx%ld+%ld+%ld", area.right - area.left,
             area.bottom - area.top, area.left, area.top);
    std::string partial = std::string(png_path) + ".part.png";
    // Wine starts a Unix program but gives no handle to wait on, so the picture is written under
    // another name and renamed: the file's appearance is the sign that it is complete.
    std::string command = std::string("/bin/sh -c \"import -window root -crop ") + geometry +
                          " +repage '" + partial + "' && mv '" + partial + "' '" + png_path + "'\"";
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof process);
    if (!CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        return false;
    }
    if (process.hProcess != NULL) {
        CloseHandle(process.hProcess);
    }
    if (process.hThread != NULL) {
        CloseHandle(process.hThread);
    }
    return pump_until(file_exists, &watch, timeout_ms);
}
