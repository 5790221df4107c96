/* Small Win32 helper for the Wine stage. One program, three roles:
 *   window <title> <info-file>   a plain top-level window; writes "pid hwnd"
 *                                once it is shown, runs until closed
 *   hook <out-file> <ready-file> <events> <ms>
 *                                a low-level keyboard hook of its own; writes
 *                                one line per event, "vk down|up injected",
 *                                until <events> were seen or <ms> passed
 *   handles <pid>                prints the handle count of process <pid>
 * Files are written whole and renamed into place so the reader never sees
 * half a line. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int write_file(const char * path, const char * text) {
    char tmp[MAX_PATH + 8];
    snprintf(tmp, sizeof tmp, "%s.tmp", path);
    FILE * f = fopen(tmp, "wb");
    if (!f) return 0;
    fputs(text, f);
    fclose(f);
    return MoveFileExA(tmp, path, MOVEFILE_REPLACE_EXISTING) != 0;
}

static LRESULT CALLBACK window_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(w, msg, wp, lp);
}

static int run_window(const char * title, const char * info) {
    WNDCLASSW wc     = {0};
    wc.lpfnWndProc   = window_proc;
    wc.hInstance     = GetModuleHandleW(NULL);
    wc.lpszClassName = L"QuilletWineHelperWindow";
    wc.hbrBackground = (HBRUSH) (COLOR_WINDOW + 1);
    if (!RegisterClassW(&wc)) return 2;
    HWND w = CreateWindowExA(0, "QuilletWineHelperWindow", title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 320, 200,
                             NULL, NULL, wc.hInstance, NULL);
    if (!w) return 3;
    ShowWindow(w, SW_SHOW);
    UpdateWindow(w);
    char line[64];
    snprintf(line, sizeof line, "%lu %p\n", GetCurrentProcessId(), (void *) w);
    if (!write_file(info, line)) return 4;
    MSG m;
    while (GetMessageW(&m, NULL, 0, 0) > 0) {
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    return 0;
}

static char   hook_lines[8192];
static size_t hook_len;
static int    hook_seen, hook_want;

static LRESULT CALLBACK hook_proc(int code, WPARAM wp, LPARAM lp) {
    if (code == HC_ACTION && hook_seen < hook_want) {
        const KBDLLHOOKSTRUCT * k    = (const KBDLLHOOKSTRUCT *) lp;
        int                     down = wp == WM_KEYDOWN || wp == WM_SYSKEYDOWN;
        hook_len += snprintf(hook_lines + hook_len, sizeof hook_lines - hook_len, "%lu %s %d\n",
                             (unsigned long) k->vkCode, down ? "down" : "up", (k->flags & LLKHF_INJECTED) ? 1 : 0);
        if (hook_len >= sizeof hook_lines) hook_len = sizeof hook_lines - 1;
        hook_seen++;
    }
    return CallNextHookEx(NULL, code, wp, lp);
}

static int run_hook(const char * out, const char * ready, int events, int ms) {
    hook_want = events;
    HHOOK h   = SetWindowsHookExW(WH_KEYBOARD_LL, hook_proc, GetModuleHandleW(NULL), 0);
    if (!h) return 2;
    if (!write_file(ready, "ready\n")) return 4;
    ULONGLONG end = GetTickCount64() + (ULONGLONG) ms;
    while (hook_seen < hook_want && GetTickCount64() < end) {
        MsgWaitForMultipleObjects(0, NULL, FALSE, 20, QS_ALLINPUT);
        MSG m;
        while (PeekMessageW(&m, NULL, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    }
    UnhookWindowsHookEx(h);
    hook_lines[hook_len] = 0;
    return write_file(out, hook_lines) ? 0 : 4;
}

/* GetProcessHandleCount answers 0 under Wine, so count the process's entries
 * in the system handle table instead; that works on both. */
typedef struct {
    ULONG       pid;
    UCHAR       type, flags;
    USHORT      handle;
    PVOID       object;
    ACCESS_MASK access;
} handle_entry;
typedef struct {
    ULONG        count;
    handle_entry entries[1];
} handle_table;
typedef LONG(WINAPI * query_fn)(ULONG, PVOID, ULONG, PULONG);

static int run_handles(DWORD pid) {
    query_fn query = (query_fn) (void *) GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation");
    if (!query) return 2;
    ULONG size = 1 << 20;
    for (int attempt = 0; attempt < 8; attempt++, size *= 2) {
        handle_table * t = malloc(size);
        if (!t) return 3;
        ULONG got = 0;
        LONG  st  = query(16 /* SystemHandleInformation */, t, size, &got);
        if (st == 0) {
            unsigned long n = 0;
            for (ULONG i = 0; i < t->count; i++) n += t->entries[i].pid == pid;
            free(t);
            printf("%lu\n", n);
            return 0;
        }
        free(t);
        if (st != (LONG) 0xC0000004 /* STATUS_INFO_LENGTH_MISMATCH */) return 4;
    }
    return 5;
}

int main(int argc, char ** argv) {
    if (argc == 4 && strcmp(argv[1], "window") == 0) return run_window(argv[2], argv[3]);
    if (argc == 6 && strcmp(argv[1], "hook") == 0) return run_hook(argv[2], argv[3], atoi(argv[4]), atoi(argv[5]));
    if (argc == 3 && strcmp(argv[1], "handles") == 0) return run_handles((DWORD) strtoul(argv[2], NULL, 10));
    fprintf(stderr, "usage: wine_helper window <title> <info> | hook <out> <ready> <events> <ms> | handles <pid>\n");
    return 1;
}
