// A Windows program that holds a file open as another program may while a session runs, and
// types the session's words: `hold FILE lock|read WORDS LATER` opens FILE without sharing (a
// copy's lock) or shared but for deletion (a reader), types WORDS, waits for the session's
// temporary file, and lets FILE go once the save is over (lock) or a moment after it began
// (read); then it types LATER.
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
    const HANDLE held =
        argc != 5 ? INVALID_HANDLE_VALUE
                  : CreateFileA(argv[1], GENERIC_READ, lock ? 0 : FILE_SHARE_READ, nullptr,
                                OPEN_ALWAYS, lock ? FILE_FLAG_DELETE_ON_CLOSE : 0, nullptr);
    if (held == INVALID_HANDLE_VALUE)
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
