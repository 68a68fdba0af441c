#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>

// Moves the run, once, into a directory of its own, where it may write stock.txt, and
// silences standard output.
inline void enterScratchDirectory() {
    static const bool entered = [] {
        // Memory-backed where there is such a place: every input writes and renames files.
        char fast[] = "/dev/shm/quillane-fuzz-XXXXXX";
        char slow[] = "/tmp/quillane-fuzz-XXXXXX";
        const char* name = mkdtemp(fast) ? fast : mkdtemp(slow);
        if (!name || chdir(name) != 0)
            std::abort();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(std::filesystem::current_path(), ignored);
        });
        std::cout.rdbuf(nullptr);
        return true;
    }();
    (void)entered;
}
