#pragma once

#include "System.h"

#include <chrono>
#include <csignal>
#include <cstddef>
#include <filesystem>
#include <thread>

// What the shared tail of the platform layer (System.cpp) and each platform's own source give
// each other. Nothing outside stock/System*.cpp includes this.
namespace sys::detail {

// The temporary file of the save in progress, for the signal handler, which may only read it.
extern std::filesystem::path::value_type pending[4096];
extern volatile std::sig_atomic_t armed;

// Lets the handler remove `path` from now on; false when the name is too long to keep.
bool arm(const std::filesystem::path& path);

// Makes `handler` end the program on `signal`, unless it was ignored at start (nohup).
void endOn(int signal, void (*handler)(int));

// Tries `attempt` every 10 ms until it returns true or about a second has passed; returns
// whether it did. A copy holds the lock, and another program a file, for moments only.
template <typename Attempt> bool forASecond(Attempt attempt) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!attempt()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Each platform's own: opens a regular file for reading, sharing it and without blocking;
// fills `seen` from an open file; tries once for the lock between copies, as lock() says, and
// keeps it for unlock(); writes once.
int openReadOnly(const std::filesystem::path& path);
void describeOpen(int file, Look& seen);
bool tryLock(const std::filesystem::path& target, const Look& seen);
long long writeSome(int file, const char* from, std::size_t size);

} // namespace sys::detail
