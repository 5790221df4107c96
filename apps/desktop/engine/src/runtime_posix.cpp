#include "runtime.h"

#include <climits>
#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace quillet {

void rtSetBinary(int) {
    // POSIX streams never translate.
}

int rtDup(int fd) {
    return dup(fd);
}

int rtDup2(int fd, int target) {
    return dup2(fd, target);
}

FILE * rtOpenWriteStream(int fd) {
    return fd < 0 ? nullptr : fdopen(fd, "wb");
}

FILE * rtOpenForRead(const std::string & utf8Path) {
    // An embedded NUL would silently open a shorter path.
    if (utf8Path.empty() || memchr(utf8Path.data(), 0, utf8Path.size()) != nullptr) {
        return nullptr;
    }
    FILE * f = fopen(utf8Path.c_str(), "rb");
    if (f == nullptr) {
        return nullptr;
    }
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || S_ISDIR(st.st_mode)) {
        fclose(f);
        return nullptr;
    }
    return f;
}

bool rtSeekTo(FILE * f, int64_t offset) {
    return fseeko(f, offset, SEEK_SET) == 0;
}

int64_t rtFileSize(FILE * f) {
    int64_t here = ftello(f);
    if (here < 0 || fseeko(f, 0, SEEK_END) != 0) {
        return -1;
    }
    int64_t size = ftello(f);
    return fseeko(f, here, SEEK_SET) == 0 ? size : -1;
}

std::string rtExecutablePath() {
    char    buf[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0) {
        return std::string();
    }
    return std::string(buf, (size_t) n);
}

std::vector<std::string> rtArguments(int argc, char ** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void rtIgnoreBrokenPipe() {
    signal(SIGPIPE, SIG_IGN);
}

void rtSetLibrarySearchDirectory(const std::string &) {
    // No per-process search directory here; a pack's libraries carry an
    // $ORIGIN run path instead.
}

} // namespace quillet
