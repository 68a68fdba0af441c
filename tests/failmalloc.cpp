// Preloaded into the program: fails its Nth allocation (QUILLANE_FAIL_MALLOC=N) counted from the
// moment it first asks whether a stream is a terminal, which it does before anything else in
// main, so that a session can fail each allocation of its commands in turn. glibc only.
#include <cstdlib>

#include <termios.h>

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
