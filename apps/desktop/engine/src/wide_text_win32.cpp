#include "wide_text_win32.h"

#include <windows.h>

namespace quillet {

bool utf8ToWide(const std::string & in, std::wstring & out) {
    out.clear();
    if (in.empty()) {
        return true;
    }
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.data(), (int) in.size(), nullptr, 0);
    if (n <= 0) {
        return false;
    }
    out.resize((size_t) n);
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.data(), (int) in.size(), &out[0], n) == n;
}

bool wideToUtf8(const wchar_t * in, size_t length, std::string & out) {
    out.clear();
    if (length == 0) {
        return true;
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, in, (int) length, nullptr, 0, nullptr, nullptr);
    if (n <= 0) {
        return false;
    }
    out.resize((size_t) n);
    return WideCharToMultiByte(CP_UTF8, 0, in, (int) length, &out[0], n, nullptr, nullptr) == n;
}

} // namespace quillet
