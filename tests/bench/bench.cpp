// How long one relayed line takes to show in the real vantrel.exe as the transcript grows: the
// program's own append, setting the box's whole text again, and a bare append to a fresh box; then
// what the conversation log adds to a line, with and without a log folder side by side.
//
// Usage: vantrel_bench VANTREL_EXE CSV_PATH [OTHER_EXE] (Unix or Windows paths).  With OTHER_EXE,
// it also times the two programs side by side, taking turns: a line at each size, and a resize.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>

#include "tests/e2e/program_driver.h"
#include "tests/wine/expected_texts.h"
#include "tests/wine/test_support.h"

#include <psapi.h>

static const char BENCH_ADDRESS[] = "127.0.0.250";
// The two programs compared for the log's cost: without a log folder, and with one.
static const char *const LOG_ADDRESSES[2] = {"127.0.0.251", "127.0.0.252"};
enum { TRANSCRIPT_ID = 101, MEMBERS_ID = 104, WAIT_MS = 10000 };

// The program's look: memo.ini's font_size 10 is a font height of 20.
static const char FONT_FACE[] = "IPAGothic";
enum { FONT_HEIGHT = 20 };
const DWORD BOX_STYLE = WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE |
                        ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_WANTRETURN;

static const std::string SPEAKER = "\x89\xD4\x8E\x71"; // 花子
// こんにちは。今日の議題について少し話しましょう。
static const std::string LINE_TEXT = "\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD\x81\x42\x8D\xA1"
                                     "\x93\xFA\x82\xCC\x8B\x63\x91\xE8\x82\xC9\x82\xC2\x82\xA2"
                                     "\x82\xC4\x8F\xAD\x82\xB5\x98\x62\x82\xB5\x82\xDC\x82\xB5"
                                     "\x82\xE5\x82\xA4\x81\x42";
// 議事録の続きです。予定どおり来週の会議で決めます。
static const std::string FILLER_TEXT = "\x8B\x63\x8E\x96\x98\x5E\x82\xCC\x91\xB1\x82\xAB\x82\xC5"
                                       "\x82\xB7\x81\x42\x97\x5C\x92\xE8\x82\xC7\x82\xA8\x82\xE8"
                                       "\x97\x88\x8F\x54\x82\xCC\x89\xEF\x8B\x63\x82\xC5\x8C\x88"
                                       "\x82\xDF\x82\xDC\x82\xB7\x81\x42";

// Lines timed per measure: enough to average out the loopback and the polling.
enum { TIMED_LINES = 100, SET_TEXT_REPEATS = 3, SUSTAINED_LINES = 500 };
// The log's cost is small beside a line's, so the two programs take turns, several rounds.
enum { LOG_ROUNDS = 8 };
// A filler entry stays well under the 64 KiB a frame may carry.
enum { FILLER_LINES_PER_ENTRY = 400 };

struct bench {
    launched_program program;
    test_server server;
    test_peer peer;
    HWND main_window;
    HWND box; // the program's transcript box
    HWND floor_window;
    HWND floor_box;
    size_t shown_bytes; // the program's transcript, by our own count of what it was sent
    int marks;          // member lists sent to tell when everything before them is shown
    int serial;
};

static double now_ms(void) {
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0) {
        QueryPerformanceFrequency(&frequency);
    }
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return (double)count.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

// The entry the program makes of a relayed line, with this minute's time stamp.
static std::string entry_for(const std::string &name, const std::string &text) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[32];
    snprintf(stamp, sizeof stamp, "(%d/%02d/%02d %02d:%02d)", now.wYear, now.wMonth, now.wDay,
             now.wHour, now.wMinute);
    return ENTRY_LEAD + name + SAID + stamp + " : \r\n" + text;
}

static std::string numbered_line(int serial) {
    char number[16];
    snprintf(number, sizeof number, " %05d\r\n", serial);
    return LINE_TEXT + number;
}

static std::string filler_text(void) {
    std::string text;
    for (int i = 0; i < FILLER_LINES_PER_ENTRY; i++) {
        text += FILLER_TEXT + FILLER_TEXT + "\r\n";
    }
    return text;
}

// Sends relay frames and counts what they add to the program's transcript.
static bool send_relays(bench *b, const std::string &text, int count) {
    std::string frames;
    for (int i = 0; i < count; i++) {
        std::string line = text.empty() ? numbered_line(b->serial++) : text;
        frames += "d" + SPEAKER + ";" + line + '\x80';
        std::string entry = entry_for(SPEAKER, line);
        b->shown_bytes += entry.size();
    }
    return test_peer_send(&b->peer, frames);
}

static LRESULT line_count(HWND box) {
    DWORD_PTR lines = 0;
    if (!SendMessageTimeoutA(box, EM_GETLINECOUNT, 0, 0, SMTO_NORMAL, WAIT_MS, &lines)) {
        return -1;
    }
    return (LRESULT)lines;
}

// Sends a member list naming only a new marker and waits until the member list shows it: the
// program takes frames in order, so by then everything sent before it is in the transcript.
// (A line count would not tell, once a program drops old entries from the top.)  Each marker
// after the first adds its leave and join lines, as it does for every program measured.
static bool wait_until_shown(bench *b, int timeout_ms) {
    std::string name = "mark" + std::to_string(++b->marks), marker = name + "\r\n";
    if (!test_peer_send(&b->peer, "e" + marker + '\x80')) {
        return false;
    }
    if (b->marks > 1) {
        b->shown_bytes += ("MESSAGE:mark" + std::to_string(b->marks - 1) + LEFT).size() +
                          ("MESSAGE:" + name + JOINED).size();
    }
    HWND members = GetDlgItem(b->main_window, MEMBERS_ID);
    double start = now_ms();
    std::string shown;
    while (!remote_text(members, &shown) || shown != marker) {
        if (now_ms() - start > timeout_ms) {
            fprintf(stderr, "not all shown within %d ms\n", timeout_ms);
            return false;
        }
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&message);
        }
        Sleep(1);
    }
    return true;
}

// Grows the program's transcript to at least target bytes.  Minimized meanwhile, since filling a
// visible box under Wine waits on the X server for every entry; restored and painted after.
static bool fill_to(bench *b, size_t target) {
    if (b->shown_bytes >= target) {
        return true;
    }
    ShowWindowAsync(b->main_window, SW_SHOWMINNOACTIVE);
    const std::string filler = filler_text();
    const size_t filler_entry = entry_for(SPEAKER, filler).size();
    while (b->shown_bytes + filler_entry <= target) {
        if (!send_relays(b, filler, 1)) {
            return false;
        }
    }
    // Numbered lines last, at least one, so that the last line tells when all is shown.
    do {
        if (!send_relays(b, "", 1)) {
            return false;
        }
    } while (b->shown_bytes < target);
    bool shown = wait_until_shown(b, 600000);
    ShowWindowAsync(b->main_window, SW_RESTORE);
    pump_messages(1500);
    return shown;
}

// The box's whole text.  Megabytes cross between processes here, which takes longer than the
// driver's usual patience.
static bool whole_text(HWND box, std::string *text) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(box, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, 600000, &length)) {
        return false;
    }
    std::string buffer((size_t)length + 1, '\0');
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutA(box, WM_GETTEXT, (WPARAM)buffer.size(), (LPARAM)&buffer[0],
                             SMTO_NORMAL, 600000, &got)) {
        return false;
    }
    buffer.resize(got < buffer.size() ? (size_t)got : buffer.size() - 1);
    *text = buffer;
    return true;
}

// The program's own way: lines relayed back to back, from the send until the last one shows.
static double time_program_append(bench *b, int lines) {
    double start = now_ms();
    if (!send_relays(b, "", lines) || !wait_until_shown(b, 600000)) {
        return -1;
    }
    return (now_ms() - start) / lines;
}

// Under Wine a message sent to another process carries at most about 2 MiB of data (the text as
// UTF-16); past that the call fails and the receiving window is gone.
const size_t CROSS_PROCESS_TEXT_LIMIT = 2000 * 1000;

static bool fits_across_processes(const std::string &text) {
    int wide = MultiByteToWideChar(932, 0, text.c_str(), (int)text.size(), NULL, 0);
    return (size_t)(wide + 1) * 2 < CROSS_PROCESS_TEXT_LIMIT;
}

// The way an entry used to be shown: the whole text set again, then scrolled to the end, timed
// on the program's own box.  -2 when the text is too long to send there.
static double time_whole_text_in_program(bench *b, int repeats) {
    std::string text;
    if (!whole_text(b->box, &text)) {
        return -1;
    }
    double total = 0;
    for (int i = 0; i < repeats; i++) {
        std::string entry = entry_for(SPEAKER, numbered_line(b->serial++));
        text += entry;
        if (!fits_across_processes(text)) {
            return -2;
        }
        double start = now_ms();
        DWORD_PTR ignored = 0;
        if (!SendMessageTimeoutA(b->box, WM_SETTEXT, 0, (LPARAM)text.c_str(), SMTO_NORMAL, 600000,
                                 &ignored)) {
            return -1;
        }
        LRESULT lines = line_count(b->box);
        SendMessageTimeoutA(b->box, EM_LINESCROLL, 0, lines, SMTO_NORMAL, WAIT_MS, &ignored);
        total += now_ms() - start;
        b->shown_bytes += entry.size();
        pump_messages(200);
    }
    return total / repeats;
}

// The floor box takes the program's text, untimed, and shows it.
static bool copy_to_floor(bench *b, std::string *text) {
    if (!whole_text(b->box, text)) {
        return false;
    }
    SetWindowTextA(b->floor_box, text->c_str());
    SendMessageA(b->floor_box, EM_LINESCROLL, 0, SendMessageA(b->floor_box, EM_GETLINECOUNT, 0, 0));
    pump_messages(500);
    return true;
}

// The floor: the same entries selected-and-replaced at the end of a box of our own, with nothing
// else around them.  With painted, each is also painted before the next, as a line must be to
// appear; without, the box paints once at the end, untimed.  The box's text grows by them.
static double time_bare_append(bench *b, int lines, bool painted, std::string *text) {
    double total = 0;
    for (int i = 0; i < lines; i++) {
        std::string entry = entry_for(SPEAKER, numbered_line(b->serial + i));
        *text += entry;
        double start = now_ms();
        SendMessageA(b->floor_box, EM_SETSEL, 0x7fffffff, 0x7fffffff);
        SendMessageA(b->floor_box, EM_REPLACESEL, FALSE, (LPARAM)entry.c_str());
        if (painted) {
            UpdateWindow(b->floor_box);
        }
        total += now_ms() - start;
    }
    pump_messages(100);
    return total / lines;
}

// The whole text set again on the floor box, which any length fits.
static double time_whole_text_in_floor(bench *b, int repeats, std::string *text) {
    double total = 0;
    for (int i = 0; i < repeats; i++) {
        *text += entry_for(SPEAKER, numbered_line(b->serial + i));
        double start = now_ms();
        SetWindowTextA(b->floor_box, text->c_str());
        LRESULT lines = SendMessageA(b->floor_box, EM_GETLINECOUNT, 0, 0);
        SendMessageA(b->floor_box, EM_LINESCROLL, 0, lines);
        total += now_ms() - start;
        pump_messages(200);
    }
    return total / repeats;
}

static SIZE_T working_set(HANDLE process) {
    PROCESS_MEMORY_COUNTERS counters;
    ZeroMemory(&counters, sizeof counters);
    counters.cb = sizeof counters;
    return GetProcessMemoryInfo(process, &counters, sizeof counters) ? counters.WorkingSetSize : 0;
}

// Resizes of the program's window, each answered: its transcript box lays out all its text again.
// The median of eleven, growing and shrinking by turns.
static double time_resize(bench *b) {
    double times[11];
    for (int i = 0; i < 11; i++) {
        RECT r;
        GetWindowRect(b->main_window, &r);
        int step = i % 2 ? -80 : 80;
        double start = now_ms();
        SetWindowPos(b->main_window, NULL, 0, 0, r.right - r.left + step, r.bottom - r.top + step,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        times[i] = remote_send(b->main_window, WM_NULL, 0, 0) == -1 ? -1 : now_ms() - start;
        pump_messages(100);
    }
    std::sort(times, times + 11);
    return times[5];
}

static bool make_floor(bench *b) {
    WNDCLASSA wc;
    ZeroMemory(&wc, sizeof wc);
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszClassName = "vantrel_bench_floor";
    RegisterClassA(&wc);
    RECT main_rect, box_rect;
    GetWindowRect(b->main_window, &main_rect);
    GetWindowRect(b->box, &box_rect);
    // Beside the program's window, not over it: a covered box paints less.
    b->floor_window =
        CreateWindowExA(0, wc.lpszClassName, "floor", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                        main_rect.right + 10, main_rect.top, main_rect.right - main_rect.left,
                        main_rect.bottom - main_rect.top, NULL, NULL, wc.hInstance, NULL);
    b->floor_box =
        CreateWindowExA(0, "EDIT", "", BOX_STYLE, 0, 0, box_rect.right - box_rect.left,
                        box_rect.bottom - box_rect.top, b->floor_window, NULL, wc.hInstance, NULL);
    if (b->floor_window == NULL || b->floor_box == NULL) {
        return false;
    }
    SendMessageA(b->floor_box, EM_SETREADONLY, 1, 0);
    SendMessageA(b->floor_box, EM_SETLIMITTEXT, 0, 0);
    HFONT font = CreateFontA(FONT_HEIGHT, 0, 0, 0, 0, FALSE, FALSE, FALSE, SHIFTJIS_CHARSET, 0, 0,
                             0, 0, FONT_FACE);
    SendMessageA(b->floor_box, WM_SETFONT, (WPARAM)font, TRUE);
    return true;
}

static bool start_program(bench *b, const char *exe, std::string *folder, const char *address,
                          const std::string &more_memo) {
    if (!test_server_open(&b->server, address)) {
        fprintf(stderr, "cannot listen on %s\n", address);
        return false;
    }
    *folder = make_memo_folder("name=" + NAME + ";\r\nfont_name=" + FONT_FACE +
                               ";\r\nfont_size=10;\r\nserver=" + address + ";\r\n" + more_memo);
    if (folder->empty() || !program_start(&b->program, exe, *folder)) {
        fprintf(stderr, "cannot start %s\n", exe);
        return false;
    }
    std::string hello;
    if (!test_server_accept(&b->server, &b->peer, WAIT_MS) ||
        test_peer_read_frame(&b->peer, &hello, WAIT_MS) != PEER_FRAME) {
        fprintf(stderr, "the program did not connect\n");
        return false;
    }
    b->main_window = program_wait_window(&b->program, "vantrel", "Vantrel", WAIT_MS);
    b->box = b->main_window == NULL ? NULL : GetDlgItem(b->main_window, TRANSCRIPT_ID);
    if (b->box == NULL) {
        fprintf(stderr, "no window\n");
        return false;
    }
    b->shown_bytes = CONNECTED.size();
    return wait_until_shown(b, WAIT_MS);
}

static void end_program(bench *b, const std::string &folder) {
    program_end(&b->program);
    test_peer_close(&b->peer);
    test_server_close(&b->server);
    remove_memo_folder(folder);
}

struct size_row {
    const char *label;
    size_t bytes;
    double program_ms;       // the program's own append
    double whole_program_ms; // whole text set again on the program's box; < 0: not measured
    double whole_floor_ms;   // whole text set again on the floor box
    double bare_ms;          // bare append on the floor box
    double painted_ms;       // bare append on the floor box, painted line by line
};

// A time, or "n/a" where it could not be measured.
static std::string ms_text(double ms) {
    char text[32];
    if (ms < 0) {
        return "n/a";
    }
    snprintf(text, sizeof text, "%.2f", ms);
    return text;
}

static void print_table(const size_row *rows, size_t count, double rate, size_t final_bytes,
                        SIZE_T memory) {
    printf(
        "ms per relayed line; whole text = the whole transcript set again with SetWindowTextA\n");
    printf("%-7s %9s %8s %12s %12s %8s %8s %13s %12s %14s\n", "size", "bytes", "program",
           "whole(prog)", "whole(same)", "bare", "painted", "whole/program", "program/bare",
           "program/painted");
    for (size_t i = 0; i < count; i++) {
        const size_row *r = &rows[i];
        printf("%-7s %9lu %8.2f %12s %12.2f %8.2f %8.2f %13.1f %12.2f %14.2f\n", r->label,
               (unsigned long)r->bytes, r->program_ms, ms_text(r->whole_program_ms).c_str(),
               r->whole_floor_ms, r->bare_ms, r->painted_ms, r->whole_floor_ms / r->program_ms,
               r->program_ms / r->bare_ms, r->program_ms / r->painted_ms);
    }
    printf("whole(prog): on the program's box, sent from here (n/a: Wine carries at most ~2 MiB "
           "of UTF-16 between processes)\n");
    printf("whole(same), bare, painted: on a box of the same style, font and size in this "
           "process; painted = bare + UpdateWindow per line\n");
    printf("sustained: %.1f relayed lines per second (%d lines, transcript %lu to %lu bytes)\n",
           rate, SUSTAINED_LINES, (unsigned long)rows[count - 1].bytes, (unsigned long)final_bytes);
    printf("program's working set after 4 MB: %lu KiB\n", (unsigned long)(memory / 1024));
}

static bool write_csv(const char *csv_path, const size_row *rows, size_t count, double rate,
                      SIZE_T memory, double resize_ms) {
    std::string path = windows_path(csv_path);
    FILE *csv = fopen(path.c_str(), "w");
    if (csv == NULL) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        return false;
    }
    fprintf(csv, "measure,transcript_bytes,value,unit\n");
    for (size_t i = 0; i < count; i++) {
        const size_row *r = &rows[i];
        unsigned long bytes = (unsigned long)r->bytes;
        fprintf(csv, "program_append,%lu,%.3f,ms_per_line\n", bytes, r->program_ms);
        if (r->whole_program_ms >= 0) {
            fprintf(csv, "whole_text_program_box,%lu,%.3f,ms_per_line\n", bytes,
                    r->whole_program_ms);
        }
        fprintf(csv, "whole_text_same_style_box,%lu,%.3f,ms_per_line\n", bytes, r->whole_floor_ms);
        fprintf(csv, "bare_append,%lu,%.3f,ms_per_line\n", bytes, r->bare_ms);
        fprintf(csv, "bare_append_painted,%lu,%.3f,ms_per_line\n", bytes, r->painted_ms);
    }
    unsigned long last = (unsigned long)rows[count - 1].bytes;
    fprintf(csv, "sustained_rate,%lu,%.1f,lines_per_second\n", last, rate);
    fprintf(csv, "working_set,%lu,%lu,bytes\n", last, (unsigned long)memory);
    fprintf(csv, "resize,%lu,%.3f,ms\n", last, resize_ms);
    return fclose(csv) == 0;
}

// ---- Two programs side by side ------------------------------------------------------------

struct pair_row {
    const char *label;
    size_t target;
    size_t bytes;
    double ms[2];        // per line, for each of the two programs
    double resize_ms[2]; // one resize at this size; -1 when not timed
};

static bool report_pairs(const char *csv_path, const char *title, const char *const names[2],
                         const pair_row *rows, size_t count) {
    printf("%s: ms per relayed line, %d lines back to back (two programs taking turns, %d "
           "rounds)\n",
           title, TIMED_LINES, LOG_ROUNDS);
    printf("%-7s %9s %12s %12s %8s %12s %12s\n", "size", "bytes", names[0], names[1], "change",
           "resize", "resize");
    FILE *csv = fopen(windows_path(csv_path).c_str(), "a");
    for (size_t i = 0; i < count; i++) {
        const pair_row *r = &rows[i];
        printf("%-7s %9lu %12.3f %12.3f %+7.1f%% %12s %12s\n", r->label, (unsigned long)r->bytes,
               r->ms[0], r->ms[1], 100.0 * (r->ms[1] - r->ms[0]) / r->ms[0],
               ms_text(r->resize_ms[0]).c_str(), ms_text(r->resize_ms[1]).c_str());
        for (int k = 0; csv != NULL && k < 2; k++) {
            fprintf(csv, "%s_%s,%lu,%.3f,ms_per_line\n", title, names[k], (unsigned long)r->bytes,
                    r->ms[k]);
        }
    }
    return csv != NULL && fclose(csv) == 0;
}

// Two programs taking turns at each size, so that the machine's other load falls on both alike,
// then their table: the same program without and with a log folder (log), or two builds of it.
static bool side_by_side(const char *const exes[2], bool log, const char *title,
                         const char *const names[2], pair_row *rows, size_t count, bool resizes,
                         const char *csv_path) {
    bench b[2] = {};
    std::string folders[2];
    bool ok = true;
    for (int k = 0; k < 2; k++) {
        b[k].server.listener = INVALID_SOCKET;
        b[k].peer.socket = INVALID_SOCKET;
    }
    for (int k = 0; k < 2 && ok; k++) {
        ok = start_program(&b[k], exes[k], &folders[k], LOG_ADDRESSES[k],
                           log && k == 1 ? "log_folder=log;\r\n" : "");
        SetWindowPos(b[k].main_window, NULL, 600 * k, 0, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    for (size_t i = 0; i < count && ok; i++) {
        pair_row *r = &rows[i];
        ok = fill_to(&b[0], r->target) && fill_to(&b[1], r->target);
        r->bytes = b[0].shown_bytes;
        // Each goes first every other round, so neither always follows the other's repaint.
        for (int round = 0; round < LOG_ROUNDS && ok; round++) {
            for (int turn = 0; turn < 2 && ok; turn++) {
                int k = (turn + round) % 2;
                double ms = time_program_append(&b[k], TIMED_LINES);
                ok = ms >= 0;
                r->ms[k] += ms / LOG_ROUNDS;
            }
        }
        for (int k = 0; k < 2; k++) {
            r->resize_ms[k] = resizes && ok ? time_resize(&b[k]) : -1;
        }
        fprintf(stderr, "%s at %s measured\n", title, r->label);
    }
    // The log must hold the whole transcript, or the comparison says nothing.
    size_t logged = 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folders[1] + "\\log\\*.txt").c_str(), &found);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
        logged += found.nFileSizeLow;
    }
    FindClose(search);
    if (ok && log && logged != b[1].shown_bytes) {
        fprintf(stderr, "the log holds %lu bytes, the transcript %lu\n", (unsigned long)logged,
                (unsigned long)b[1].shown_bytes);
        ok = false;
    }
    for (int k = 0; k < 2; k++) {
        end_program(&b[k], folders[k]);
    }
    return ok && report_pairs(csv_path, title, names, rows, count);
}

// ---- Catching up ---------------------------------------------------------------------------

// A server that keeps history replays 10,000 past lines, in pages of 1,000 as the client asks
// for them (docs/protocol.md); the window is asked WM_NULL every 20 ms meanwhile.
enum { CATCH_UP_LINES = 10000, CATCH_UP_PAGE = 1000 };
static const char CATCH_UP_ADDRESS[] = "127.0.0.253";

struct answer_watch {
    HWND window;
    volatile LONG stop;
    double worst_ms;
};

static DWORD WINAPI watch_answers(LPVOID param) {
    answer_watch *w = (answer_watch *)param;
    while (InterlockedCompareExchange(&w->stop, 0, 0) == 0) {
        double start = now_ms();
        DWORD_PTR ignored;
        SendMessageTimeoutA(w->window, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &ignored);
        w->worst_ms = std::max(w->worst_ms, now_ms() - start);
        Sleep(20);
    }
    return 0;
}

// The frame the client sends next, whatever else came before it.
static bool read_request(bench *b, char kind) {
    std::string payload;
    while (test_peer_read_frame(&b->peer, &payload, WAIT_MS) == PEER_FRAME) {
        if (payload.size() >= 2 && payload[0] == '\0' && payload[1] == kind) {
            return true;
        }
    }
    return false;
}

static bool time_catch_up(const char *exe, const char *csv_path) {
    bench b{};
    b.server.listener = INVALID_SOCKET;
    b.peer.socket = INVALID_SOCKET;
    std::string folder;
    bool ok = start_program(&b, exe, &folder, CATCH_UP_ADDRESS, "") &&
              test_peer_send(&b.peer, "o1;0123456789abcdef\x80") && read_request(&b, 'r');
    answer_watch watch = {b.main_window, 0, 0};
    HANDLE watcher = ok ? CreateThread(NULL, 0, watch_answers, &watch, 0, NULL) : NULL;
    double start = now_ms();
    char at[24];
    snprintf(at, sizeof at, "%lld", (long long)time(NULL));
    for (int seq = 1; ok && seq <= CATCH_UP_LINES;) {
        std::string page;
        for (int i = 0; i < CATCH_UP_PAGE; i++, seq++) {
            std::string line = numbered_line(seq);
            page += "p" + std::to_string(seq) + ";" + at + ";" + SPEAKER + ";" + line + '\x80';
        }
        bool last = seq > CATCH_UP_LINES;
        page += std::string(last ? "fe;;" : "fm;;") + std::to_string(seq - 1) + '\x80';
        ok = test_peer_send(&b.peer, page) && (last || read_request(&b, 'm'));
    }
    ok = ok && wait_until_shown(&b, 60000);
    double shown_ms = now_ms() - start;
    if (watcher != NULL) {
        InterlockedExchange(&watch.stop, 1);
        WaitForSingleObject(watcher, INFINITE);
        CloseHandle(watcher);
    }
    end_program(&b, folder);
    if (!ok) {
        return false;
    }
    printf("catch-up: %d past lines in pages of %d shown in %.0f ms; slowest WM_NULL answer "
           "meanwhile %.0f ms\n",
           CATCH_UP_LINES, CATCH_UP_PAGE, shown_ms, watch.worst_ms);
    FILE *csv = fopen(windows_path(csv_path).c_str(), "a");
    return csv != NULL &&
           fprintf(csv, "catch_up_shown,%d,%.1f,ms\ncatch_up_slowest_answer,%d,%.1f,ms\n",
                   CATCH_UP_LINES, shown_ms, CATCH_UP_LINES, watch.worst_ms) > 0 &&
           fclose(csv) == 0;
}

static int run(const char *exe, const char *csv_path, const char *other_exe) {
    bench b{};
    b.server.listener = INVALID_SOCKET;
    b.peer.socket = INVALID_SOCKET;
    std::string folder;
    int status = 1;
    size_row rows[] = {{"10 KB", 10 * 1024, 0, 0, 0, 0, 0},
                       {"100 KB", 100 * 1024, 0, 0, 0, 0, 0},
                       {"1 MB", 1024 * 1024, 0, 0, 0, 0, 0},
                       {"4 MB", 4 * 1024 * 1024, 0, 0, 0, 0, 0}};
    const size_t row_count = sizeof rows / sizeof rows[0];
    double rate = 0;
    SIZE_T memory = 0;
    size_t final_bytes = 0;

    if (start_program(&b, exe, &folder, BENCH_ADDRESS, "") && make_floor(&b)) {
        status = 0;
        for (size_t i = 0; i < row_count && status == 0; i++) {
            size_row *r = &rows[i];
            if (!fill_to(&b, r->bytes)) {
                status = 1;
                break;
            }
            r->bytes = b.shown_bytes;
            std::string floor_text;
            r->program_ms = time_program_append(&b, TIMED_LINES);
            if (r->program_ms < 0 || !copy_to_floor(&b, &floor_text)) {
                status = 1;
                break;
            }
            r->bare_ms = time_bare_append(&b, TIMED_LINES, false, &floor_text);
            r->painted_ms = time_bare_append(&b, TIMED_LINES, true, &floor_text);
            r->whole_floor_ms = time_whole_text_in_floor(&b, SET_TEXT_REPEATS, &floor_text);
            r->whole_program_ms = time_whole_text_in_program(&b, SET_TEXT_REPEATS);
            if (r->whole_program_ms == -1) {
                status = 1;
            }
            fprintf(stderr, "%s measured\n", r->label);
        }
        if (status == 0) {
            memory = working_set(b.program.process.hProcess);
            double start = now_ms();
            if (send_relays(&b, "", SUSTAINED_LINES) && wait_until_shown(&b, 600000)) {
                rate = SUSTAINED_LINES * 1000.0 / (now_ms() - start);
            } else {
                status = 1;
            }
            final_bytes = b.shown_bytes;
        }
    }

    double resize_ms = status == 0 ? time_resize(&b) : -1;
    if (status == 0) {
        print_table(rows, row_count, rate, final_bytes, memory);
        printf("one resize of the window at %lu bytes (median of 11): %s ms\n",
               (unsigned long)final_bytes, ms_text(resize_ms).c_str());
        if (!write_csv(csv_path, rows, row_count, rate, memory, resize_ms)) {
            status = 1;
        }
    }

    // Ended outright: how the program closes is the fault tests' business, not a measure here.
    program_end(&b.program);
    test_peer_close(&b.peer);
    test_server_close(&b.server);
    remove_memo_folder(folder);
    if (b.floor_window != NULL) {
        DestroyWindow(b.floor_window);
    }

    pair_row log_rows[] = {{"10 KB", 10 * 1024, 0, {0, 0}, {-1, -1}},
                           {"4 MB", 4 * 1024 * 1024, 0, {0, 0}, {-1, -1}}};
    const char *const log_exes[2] = {exe, exe}, *const log_names[2] = {"no_log", "log"};
    if (status == 0 &&
        !side_by_side(log_exes, true, "log", log_names, log_rows, 2, false, csv_path)) {
        status = 1;
    }
    if (status == 0 && !time_catch_up(exe, csv_path)) {
        status = 1;
    }
    // The program before and after a change: the per-line cost at 1 MB and 4 MB, and a resize;
    // and past 16 MB, where a program that bounds its transcript trims it.
    pair_row rows_of_two[] = {{"1 MB", 1024 * 1024, 0, {0, 0}, {-1, -1}},
                              {"4 MB", 4 * 1024 * 1024, 0, {0, 0}, {-1, -1}},
                              {"17 MB", 17 * 1024 * 1024, 0, {0, 0}, {-1, -1}}};
    const char *const two_exes[2] = {other_exe, exe}, *const two_names[2] = {"other", "this"};
    if (status == 0 && other_exe != NULL &&
        !side_by_side(two_exes, false, "programs", two_names, rows_of_two, 3, true, csv_path)) {
        status = 1;
    }
    return status;
}

int main(int argc, char **argv) {
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: vantrel_bench VANTREL_EXE CSV_PATH [OTHER_EXE]\n");
        return 2;
    }
    return run(argv[1], argv[2], argc == 4 ? argv[3] : NULL);
}
