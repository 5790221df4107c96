/* quillet-wine-probe.node: what the Wine stage's capture tests need to see
 * or do inside node.exe itself (raw input registrations are per process).
 * Test tooling, never shipped.
 *   claimKeyboard()    registers keyboard raw input (input sink) for a
 *                      message-only window of its own, as another component
 *                      of the host would; true on success
 *   releaseKeyboard()  removes the keyboard registration and that window
 *   registrations()    the process's raw input registrations:
 *                      [{ usagePage, usage, flags, windowClass }]
 *   resources()        { threads, windows } this process owns now (windows
 *                      counts message-only and top-level ones)
 *   modulePath(name)   the file of the loaded module of that name, or ""
 *   keyDown(vk)        whether the system's key state has that key down */
#include <windows.h>
#include <tlhelp32.h>
#include <node_api.h>

static const wchar_t probe_class[] = L"QuilletWineProbe";
static HWND          probe_window;

static napi_value js_bool(napi_env env, int value) {
    napi_value result = NULL;
    napi_get_boolean(env, value != 0, &result);
    return result;
}

static napi_value claim_keyboard(napi_env env, napi_callback_info info) {
    (void) info;
    if (probe_window == NULL) {
        WNDCLASSW wc;
        ZeroMemory(&wc, sizeof wc);
        wc.lpfnWndProc   = DefWindowProcW;
        wc.hInstance     = GetModuleHandleW(NULL);
        wc.lpszClassName = probe_class;
        RegisterClassW(&wc);
        probe_window = CreateWindowExW(0, probe_class, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, wc.hInstance, NULL);
        if (probe_window == NULL) return js_bool(env, 0);
    }
    RAWINPUTDEVICE keyboard = {1, 6, RIDEV_INPUTSINK, probe_window};
    return js_bool(env, RegisterRawInputDevices(&keyboard, 1, sizeof keyboard));
}

static napi_value release_keyboard(napi_env env, napi_callback_info info) {
    (void) info;
    RAWINPUTDEVICE removal = {1, 6, RIDEV_REMOVE, NULL};
    BOOL           ok      = RegisterRawInputDevices(&removal, 1, sizeof removal);
    if (probe_window != NULL) {
        ok           = DestroyWindow(probe_window) && ok;
        probe_window = NULL;
        ok           = UnregisterClassW(probe_class, GetModuleHandleW(NULL)) && ok;
    }
    return js_bool(env, ok);
}

static void set_number(napi_env env, napi_value object, const char * key, double value) {
    napi_value v;
    if (napi_create_double(env, value, &v) == napi_ok) napi_set_named_property(env, object, key, v);
}

static napi_value registrations(napi_env env, napi_callback_info info) {
    (void) info;
    RAWINPUTDEVICE records[64];
    UINT           count = 64;
    napi_value     list  = NULL;
    UINT           got   = GetRegisteredRawInputDevices(records, &count, sizeof records[0]);
    if (got > 64) {
        napi_throw_error(env, NULL, "GetRegisteredRawInputDevices failed");
        return NULL;
    }
    if (napi_create_array(env, &list) != napi_ok) return NULL;
    for (UINT i = 0; i < got; i++) {
        napi_value item, name;
        char       text[128] = "";
        wchar_t    wide[64]  = L"";
        if (records[i].hwndTarget != NULL && GetClassNameW(records[i].hwndTarget, wide, 64) > 0) {
            WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, NULL, NULL);
        }
        if (napi_create_object(env, &item) != napi_ok) return NULL;
        set_number(env, item, "usagePage", records[i].usUsagePage);
        set_number(env, item, "usage", records[i].usUsage);
        set_number(env, item, "flags", records[i].dwFlags);
        if (napi_create_string_utf8(env, text, NAPI_AUTO_LENGTH, &name) == napi_ok) {
            napi_set_named_property(env, item, "windowClass", name);
        }
        napi_set_element(env, list, i, item);
    }
    return list;
}

static double count_threads(void) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    double n     = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        n += entry.th32OwnerProcessID == GetCurrentProcessId();
    }
    CloseHandle(snapshot);
    return n;
}

static double count_windows(HWND parent) {
    double n = 0;
    for (HWND w = FindWindowExW(parent, NULL, NULL, NULL); w != NULL; w = FindWindowExW(parent, w, NULL, NULL)) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        n += pid == GetCurrentProcessId();
    }
    return n;
}

static napi_value resources(napi_env env, napi_callback_info info) {
    (void) info;
    napi_value result = NULL;
    if (napi_create_object(env, &result) != napi_ok) return NULL;
    set_number(env, result, "threads", count_threads());
    set_number(env, result, "windows", count_windows(HWND_MESSAGE) + count_windows(NULL));
    return result;
}

static napi_value module_path(napi_env env, napi_callback_info info) {
    size_t     argc = 1;
    napi_value arg, result = NULL;
    char       name[64] = "", path[MAX_PATH * 3] = "";
    wchar_t    wide_name[64], wide_path[MAX_PATH];
    if (napi_get_cb_info(env, info, &argc, &arg, NULL, NULL) != napi_ok || argc < 1 ||
        napi_get_value_string_utf8(env, arg, name, sizeof name, NULL) != napi_ok) {
        napi_throw_error(env, NULL, "modulePath wants a module name");
        return NULL;
    }
    MultiByteToWideChar(CP_UTF8, 0, name, -1, wide_name, 64);
    HMODULE module = GetModuleHandleW(wide_name);
    if (module != NULL && GetModuleFileNameW(module, wide_path, MAX_PATH) > 0) {
        WideCharToMultiByte(CP_UTF8, 0, wide_path, -1, path, sizeof path, NULL, NULL);
    }
    napi_create_string_utf8(env, path, NAPI_AUTO_LENGTH, &result);
    return result;
}

static napi_value key_down(napi_env env, napi_callback_info info) {
    size_t     argc = 1;
    napi_value arg;
    uint32_t   vk = 0;
    if (napi_get_cb_info(env, info, &argc, &arg, NULL, NULL) != napi_ok || argc < 1 ||
        napi_get_value_uint32(env, arg, &vk) != napi_ok) {
        napi_throw_error(env, NULL, "keyDown wants a virtual-key code");
        return NULL;
    }
    return js_bool(env, GetAsyncKeyState((int) vk) < 0);
}

NAPI_MODULE_INIT() {
    napi_property_descriptor methods[] = {
        {"claimKeyboard", NULL, claim_keyboard, NULL, NULL, NULL, napi_default, NULL},
        {"releaseKeyboard", NULL, release_keyboard, NULL, NULL, NULL, napi_default, NULL},
        {"registrations", NULL, registrations, NULL, NULL, NULL, napi_default, NULL},
        {"resources", NULL, resources, NULL, NULL, NULL, napi_default, NULL},
        {"modulePath", NULL, module_path, NULL, NULL, NULL, napi_default, NULL},
        {"keyDown", NULL, key_down, NULL, NULL, NULL, napi_default, NULL},
    };
    if (napi_define_properties(env, exports, sizeof methods / sizeof methods[0], methods) != napi_ok) return NULL;
    return exports;
}
