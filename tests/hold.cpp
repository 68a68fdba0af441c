// A Windows program that holds a file as another program may while a session runs, and types the
// session's words: `hold FILE lock|read WORDS LATER` locks the whole of FILE (a copy's lock) or
// opens it shared but for deletion (a reader), types WORDS, waits for the session's temporary
// file, and lets FILE go once the save is over (lock) or a moment after it began (read); then it
// types LATER.
#include <windows.h>

#include <cstdio>
#include <cstring>

// Waits up to 30 s until a save is under way (`wanted` true) or over.
static void await(bool wanted) {
    WIN32_FIND_DATAA found;
    for (int poll = 0; poll < 3000; ++poll, Sleep(10)) {
        const HANDLE search = FindFirstFileA("stock.txt.*.tmp", &found);
        if (search != INVALID_HANDLE_VALUE)
            FindClose(search);
        if ((search != INVALID_HANDLE_VALUE) == wanted)
            return;
    }
}

int main(int argc, char** argv) {
    const bool lock = argc == 5 && std::strcmp(argv[2], "lock") == 0;
    const DWORD sharing =
        lock ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : FILE_SHARE_READ;
    const HANDLE held =
        argc != 5 ? INVALID_HANDLE_VALUE
                  : CreateFileA(argv[1], GENERIC_READ, sharing, nullptr, OPEN_ALWAYS, 0, nullptr);
    OVERLAPPED whole = {};
    if (held == INVALID_HANDLE_VALUE ||
        (lock && !LockFileEx(held, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)))
        return 1;
    std::printf("%s\n", argv[3]);
    std::fflush(stdout);
    await(true);
    if (lock)
        await(false);
    Sleep(lock ? 0 : 100); // a reader's brief open, well within the second a save waits
    CloseHandle(held);
    std::printf("%s\n", argv[4]);
}
