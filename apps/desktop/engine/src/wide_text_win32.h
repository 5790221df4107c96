// UTF-8 <-> UTF-16 conversion for Windows paths and messages (Windows only).
#pragma once
#ifdef _WIN32
#include <string>

namespace quillet {
bool utf8ToWide(const std::string & in, std::wstring & out);
bool wideToUtf8(const wchar_t * in, size_t length, std::string & out);
} // namespace quillet
#endif
