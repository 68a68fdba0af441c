// Preloaded into the program to make faults that no limit can: QUILLANE_FAIL_MALLOC=N fails its
// Nth allocation, counted from the moment it first asks whether a stream is a terminal, which
// it does first thing in main; QUILLANE_FAIL_CLOSE=1 fails each close of a temporary file with
// EIO, as a network file system does when the last data cannot be written. glibc only.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

extern "C" void* __libc_malloc(std::size_t size);

namespace {
long countdown = 0; // allocations until the one that fails; 0 when none is to fail
bool started = false;
} // namespace

extern "C" int isatty(int file) {
    if (!started) {
        started = true;
        const char* const which = std::getenv("QUILLANE_FAIL_MALLOC");
        countdown = which ? std::atol(which) : 0;
    }
    termios settings;
    return tcgetattr(file, &settings) == 0;
}

extern "C" void* malloc(std::size_t size) {
    if (countdown > 0 && --countdown == 0)
        return nullptr;
    return __libc_malloc(size);
}

extern "C" int close(int file) {
    char link[32], name[4096] = "";
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", file);
    const ssize_t size = readlink(link, name, sizeof name - 1);
    const bool failing =
        std::getenv("QUILLANE_FAIL_CLOSE") && size > 4 && std::strcmp(name + size - 4, ".tmp") == 0;
    const long closed = syscall(SYS_close, file);
    if (closed != 0 || !failing)
        return static_cast<int>(closed);
    errno = EIO;
    return -1;
}
