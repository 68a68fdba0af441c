// A Windows program that holds a file open as another program may while a session runs, and
// types the session's words: `hold FILE lock|read WORDS LATER` opens FILE without sharing (a
// copy's lock) or shared but for deletion (a reader), types WORDS, waits for the session's
// temporary file to appear, and lets FILE go once the save is over (lock) or a moment after it
// began (read); then it types LATER.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

bool saving() {
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA("stock.txt.*.tmp", &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return true;
}

// Waits up to 30 s for the save to be under way (`want` true) or over.
void await(bool want) {
    for (int poll = 0; poll < 3000 && saving() != want; ++poll)
        Sleep(10);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5)
        return 2;
    const bool lock = std::strcmp(argv[2], "lock") == 0;
    const HANDLE held =
        CreateFileA(argv[1], GENERIC_READ, lock ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    lock ? OPEN_ALWAYS : OPEN_EXISTING,
                    lock ? FILE_FLAG_DELETE_ON_CLOSE : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 1;
    std::printf("%s\n", argv[3]);
    std::fflush(stdout);
    await(true);
    if (lock)
        await(false);
    else
        Sleep(100); // a reader's brief open, well within the second the save waits
    CloseHandle(held);
    std::printf("%s\n", argv[4]);
    return 0;
}
