// A Windows program that holds a file open as a reader may while a session runs, and types the
// session's words: `hold FILE WORDS LATER` opens FILE shared but for deletion, types WORDS, waits
// for the session's temporary file, lets FILE go a moment after the save began, then types LATER.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
    const HANDLE held = argc != 4 ? INVALID_HANDLE_VALUE
                                  : CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                OPEN_ALWAYS, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 1;
    std::printf("%s\n", argv[2]);
    std::fflush(stdout);
    WIN32_FIND_DATAA found;
    HANDLE search = INVALID_HANDLE_VALUE;
    for (int poll = 0; poll < 3000 && search == INVALID_HANDLE_VALUE; ++poll, Sleep(10))
        search = FindFirstFileA("stock.txt.*.tmp", &found); // up to 30 s for the save to begin
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    Sleep(100); // a reader's brief open, well within the second a save waits
    CloseHandle(held);
    std::printf("%s\n", argv[3]);
}
