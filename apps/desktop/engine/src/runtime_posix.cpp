#include "runtime.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillet {

void rtSetBinary(int) {
    // POSIX streams never translate.
}

int rtDup(int fd) { return dup(fd); }

int rtDup2(int fd, int target) { return dup2(fd, target); }

FILE * rtOpenWriteStream(int fd) { return fd < 0 ? nullptr : fdopen(fd, "wb"); }

FILE * rtOpenForRead(const std::string & utf8Path) {
    // An embedded NUL would silently open a shorter path.
    if (utf8Path.empty() || memchr(utf8Path.data(), 0, utf8Path.size()) != nullptr) {
        return nullptr;
    }
    // Non-blocking, so that a FIFO without a writer (or a device) cannot
    // hold the open; only a regular file is read.
    int fd = open(utf8Path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    int         flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    FILE * f = fdopen(fd, "rb");
    if (f == nullptr) {
        close(fd);
    }
    return f;
}

void rtEnsureStandardDescriptor(int fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
        return;
    }
    int null = open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
        dup2(null, fd);
        close(null);
    }
}

bool rtSeekTo(FILE * f, int64_t offset) { return fseeko(f, offset, SEEK_SET) == 0; }

int64_t rtFileSize(FILE * f) {
    int64_t here = ftello(f);
    if (here < 0 || fseeko(f, 0, SEEK_END) != 0) {
        return -1;
    }
    int64_t size = ftello(f);
    return fseeko(f, here, SEEK_SET) == 0 ? size : -1;
}

bool rtFileStamp(FILE * f, FileStamp & out) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0) {
        return false;
    }
    out.size     = (int64_t) st.st_size;
    out.modified = (int64_t) st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

std::string rtExecutablePath() {
    char    buf[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0) {
        return std::string();
    }
    return std::string(buf, (size_t) n);
}

std::vector<std::string> rtArguments(int argc, char ** argv) { return std::vector<std::string>(argv, argv + argc); }

void rtIgnoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }

void rtSetLibrarySearchDirectory(const std::string &) {
    // No per-process search directory here; a pack's libraries carry an
    // $ORIGIN run path instead.
}

namespace {

struct ThreadBody {
    void (*body)(void *); // what the thread runs
    void * arg;           // its argument
};

void * runThreadBody(void * p) {
    ThreadBody * t = static_cast<ThreadBody *>(p);
    t->body(t->arg);
    return nullptr;
}

} // namespace

bool rtRunOnThread(size_t stackBytes, void (*body)(void *), void * arg) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        return false;
    }
    ThreadBody t      = {body, arg};
    pthread_t  thread = {};
    bool       made =
        pthread_attr_setstacksize(&attr, stackBytes) == 0 && pthread_create(&thread, &attr, runThreadBody, &t) == 0;
    pthread_attr_destroy(&attr);
    if (made) {
        pthread_join(thread, nullptr);
    }
    return made;
}

} // namespace quillet
