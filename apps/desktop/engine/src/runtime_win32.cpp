#include "runtime.h"
#include "wide_text_win32.h"

#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
#include <shellapi.h>

namespace quillet {

void rtSetBinary(int fd) { _setmode(fd, _O_BINARY); }

int rtDup(int fd) { return _dup(fd); }

int rtDup2(int fd, int target) { return _dup2(fd, target); }

FILE * rtOpenWriteStream(int fd) { return fd < 0 ? nullptr : _fdopen(fd, "wb"); }

FILE * rtOpenForRead(const std::string & utf8Path) {
    if (utf8Path.empty() || memchr(utf8Path.data(), 0, utf8Path.size()) != nullptr) {
        return nullptr;
    }
    std::wstring wide;
    if (!utf8ToWide(utf8Path, wide)) {
        return nullptr;
    }
    FILE * f = _wfsopen(wide.c_str(), L"rb", _SH_DENYNO);
    if (f == nullptr) {
        return nullptr;
    }
    // Only a regular file is read: a device name (CON, a pipe) could block.
    struct _stat64 st;
    if (_fstat64(_fileno(f), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
        fclose(f);
        return nullptr;
    }
    return f;
}

void rtEnsureStandardDescriptor(int) {
    // The C runtime marks descriptors 0 to 2 open at start-up even when a
    // standard handle is missing (its handle is then -2), so _dup never
    // hands them out; probing a closed one would instead call the invalid
    // parameter handler.
}

bool rtSeekTo(FILE * f, int64_t offset) { return _fseeki64(f, offset, SEEK_SET) == 0; }

int64_t rtFileSize(FILE * f) {
    int64_t here = _ftelli64(f);
    if (here < 0 || _fseeki64(f, 0, SEEK_END) != 0) {
        return -1;
    }
    int64_t size = _ftelli64(f);
    return _fseeki64(f, here, SEEK_SET) == 0 ? size : -1;
}

bool rtFileStamp(FILE * f, FileStamp & out) {
    // _fstat64 keeps whole seconds only; the handle gives 100 ns units.
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE                     h = (HANDLE) _get_osfhandle(_fileno(f));
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info)) {
        return false;
    }
    out.size = (int64_t) (((uint64_t) info.nFileSizeHigh << 32) | info.nFileSizeLow);
    out.modified =
        (int64_t) (((uint64_t) info.ftLastWriteTime.dwHighDateTime << 32) | info.ftLastWriteTime.dwLowDateTime);
    return true;
}

std::string rtExecutablePath() {
    static wchar_t buf[32768];
    DWORD          n = GetModuleFileNameW(nullptr, buf, 32768);
    if (n == 0 || n >= 32768) {
        return std::string();
    }
    std::string out;
    if (!wideToUtf8(buf, n, out)) {
        return std::string();
    }
    return out;
}

std::vector<std::string> rtArguments(int argc, char ** argv) {
    int        n    = 0;
    wchar_t ** wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (wide == nullptr) {
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> args;
    for (int i = 0; i < n; i++) {
        std::string arg;
        wideToUtf8(wide[i], wcslen(wide[i]), arg);
        args.push_back(arg);
    }
    LocalFree(wide);
    return args;
}

void rtIgnoreBrokenPipe() {
    // Windows reports a broken pipe as a failed write, never as a signal.
}

void rtSetLibrarySearchDirectory(const std::string & utf8Dir) {
    std::wstring wide;
    if (utf8ToWide(utf8Dir, wide)) {
        (void) SetDllDirectoryW(wide.c_str());
    }
}

namespace {

struct ThreadBody {
    void (*body)(void *); // what the thread runs
    void * arg;           // its argument
};

DWORD WINAPI runThreadBody(void * p) {
    ThreadBody * t = static_cast<ThreadBody *>(p);
    t->body(t->arg);
    return 0;
}

} // namespace

bool rtRunOnThread(size_t stackBytes, void (*body)(void *), void * arg) {
    // A reservation: the stack's pages are committed only as they are touched.
    ThreadBody t  = {body, arg};
    HANDLE thread = CreateThread(nullptr, stackBytes, runThreadBody, &t, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
        return false;
    }
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return true;
}

} // namespace quillet
