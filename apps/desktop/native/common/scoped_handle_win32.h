// A kernel handle closed at the end of its scope, for the Win32 layers.
#pragma once

#include <windows.h>

namespace quillet {

class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
    ~ScopedHandle() {
        if (handle_ != nullptr) {
            CloseHandle(handle_);
        }
    }
    ScopedHandle(const ScopedHandle &)             = delete;
    ScopedHandle & operator=(const ScopedHandle &) = delete;
    HANDLE         get() const { return handle_; }

private:
    HANDLE handle_;
};

} // namespace quillet
