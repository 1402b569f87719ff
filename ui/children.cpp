// The four child controls of the main window: creation with the font, layout, and teardown.
#include <winsock2.h>
#include <windows.h>

#include "client/receive.h"
#include "client/window_text.h"
#include "settings/settings.h"
#include "ui/dpi_rules.h"
#include "ui/layout.h"
#include "ui/ui.h"

enum { INPUT_LIMIT = 511 };

static char font_face[FONT_NAME_CAPACITY];
static int font_height; // at 96 DPI
static HFONT font;
// The DPI the font and the layout are made for: the window's own, or the last one WM_DPICHANGED
// gave.
static int window_dpi = BASE_DPI;

static const DWORD EDIT_STYLE = WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL |
                                ES_AUTOHSCROLL | ES_WANTRETURN;
// Long lines of the transcript stay whole, one drag of the scroll bar away: wrapping would make
// the edit control re-wrap the whole conversation on every resize, seconds for a day's chat.
static const DWORD TRANSCRIPT_STYLE = EDIT_STYLE | WS_HSCROLL;
// The input box holds 511 characters at most, so it wraps at its width for nothing.
static const DWORD INPUT_STYLE = EDIT_STYLE & ~ES_AUTOHSCROLL;

static HWND create_child(HWND parent, const wchar_t *cls, const wchar_t *text, DWORD style,
                         int id) {
    return CreateWindowExW(0, cls, text, style, 0, 0, 0, 0, parent, (HMENU)(INT_PTR)id, g_instance,
                           NULL);
}

// The face from memo.ini is Shift-JIS like every other value.  The Japanese character set keeps
// Japanese glyphs first; what the face lacks, the system's font linking draws from another.
static HFONT create_font(void) {
    std::u16string face = wide_from_shift_jis(font_face);
    return CreateFontW(dpi_scale(font_height, window_dpi), 0, 0, 0, 0, FALSE, FALSE, FALSE,
                       SHIFTJIS_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, wide_chars(face));
}

static void create_controls(HWND parent) {
    g_client.transcript_box =
        create_child(parent, L"EDIT", NULL, TRANSCRIPT_STYLE, ID_TRANSCRIPT_BOX);
    SendMessageW(g_client.transcript_box, EM_SETREADONLY, 1, 0);
    // The transcript grows by appends, which the default limit of about 30,000 characters would
    // silently refuse after an hour of chat.
    SendMessageW(g_client.transcript_box, EM_SETLIMITTEXT, 0, 0);

    g_client.member_list = create_child(parent, L"EDIT", NULL, EDIT_STYLE, ID_MEMBER_LIST);
    SendMessageW(g_client.member_list, EM_SETREADONLY, 1, 0);

    g_client.input_box = create_child(parent, L"EDIT", NULL, INPUT_STYLE, ID_INPUT_BOX);
    SendMessageW(g_client.input_box, EM_LIMITTEXT, INPUT_LIMIT, 0);

    g_client.send_button =
        create_child(parent, L"BUTTON", L"発言", WS_CHILD | WS_VISIBLE, ID_SEND_BUTTON);
}

static void set_box_fonts(void) {
    SendMessageW(g_client.transcript_box, WM_SETFONT, (WPARAM)font, TRUE);
    SendMessageW(g_client.input_box, WM_SETFONT, (WPARAM)font, TRUE);
    SendMessageW(g_client.member_list, WM_SETFONT, (WPARAM)font, TRUE);
}

int create_children(HWND main_window) {
    g_client.main_window = main_window;
    load_settings(g_client.name, g_client.server, font_face, &font_height);
    window_dpi = dpi_of_window(main_window);
    font = create_font();
    create_controls(main_window);
    install_input_box_keys(g_client.input_box, &g_client);
    install_transcript_reading(g_client.transcript_box);

    set_box_fonts();
    SetFocus(g_client.input_box);
    return 0;
}

int layout_children(HWND main_window) {
    RECT client;
    GetClientRect(main_window, &client);
    child_rect r[LAYOUT_COUNT];
    compute_layout(client.right - client.left, client.bottom - client.top, window_dpi, r);

    const child_rect *t = &r[LAYOUT_TRANSCRIPT];
    MoveWindow(g_client.transcript_box, t->x, t->y, t->width, t->height, TRUE);
    transcript_follow_end(g_client.transcript_box);

    const struct {
        HWND window;
        int slot;
    } rest[] = {{g_client.member_list, LAYOUT_MEMBERS},
                {g_client.input_box, LAYOUT_INPUT},
                {g_client.send_button, LAYOUT_SEND}};
    for (size_t i = 0; i < sizeof rest / sizeof rest[0]; i++) {
        const child_rect *c = &r[rest[i].slot];
        MoveWindow(rest[i].window, c->x, c->y, c->width, c->height, TRUE);
    }
    return 0;
}

int rescale_children(HWND main_window, int dpi, const RECT *suggested) {
    window_dpi = dpi;
    // The move lays the children out for the new column, unless the size stays the same.  The
    // layout at the end covers that case, and scrolls the transcript back to its end once the new
    // font has changed its lines.
    SetWindowPos(main_window, NULL, suggested->left, suggested->top,
                 suggested->right - suggested->left, suggested->bottom - suggested->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    HFONT old_font = font;
    font = create_font();
    set_box_fonts();
    DeleteObject(old_font);
    layout_children(main_window);
    return 0;
}

int destroy_children(void) {
    DeleteObject(font);
    font = NULL;
    DestroyWindow(g_client.transcript_box);
    DestroyWindow(g_client.member_list);
    DestroyWindow(g_client.input_box);
    DestroyWindow(g_client.send_button);
    return 0;
}
