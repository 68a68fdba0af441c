// The platform layer on Windows.
#include "Platform.h"

#include <algorithm>
#include <cerrno>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace fs = std::filesystem;

namespace sys {

using namespace detail;

namespace {

// The signals that end the program and must not leave a temporary file behind.
const int endings[] = {SIGINT, SIGTERM};
const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
HANDLE lockFile = INVALID_HANDLE_VALUE; // while lock() holds it

void removeAndEnd(int signal) {
    // The temporary file is open with delete sharing, so that this can remove it.
    if (armed)
        ::_wunlink(pending);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Fills `seen` from an open handle; leaves it untouched when the system cannot say.
void describe(HANDLE handle, Look& seen) {
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(handle, &info))
        return;
    const DWORD special = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    seen.kind = (info.dwFileAttributes & special) == 0 && ::GetFileType(handle) == FILE_TYPE_DISK
                    ? Kind::regular
                    : Kind::other;
    seen.writable =
        seen.kind == Kind::regular && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0;
    seen.id.exists = true;
    // The volume's serial number stays out (`device` 0): wine asks it of a service that a fresh
    // prefix may not have started yet, so two looks at one file could disagree.
    seen.id.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    seen.id.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    seen.id.modified =
        static_cast<std::int64_t>((std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                  info.ftLastWriteTime.dwLowDateTime);
}

HANDLE handleOf(int file) {
    return reinterpret_cast<HANDLE>(::_get_osfhandle(file));
}

// A descriptor for `handle`, which it then owns; -1, with the handle closed, when none.
int descriptorOf(HANDLE handle, int flags) {
    const int file = handle == INVALID_HANDLE_VALUE
                         ? -1
                         : ::_open_osfhandle(reinterpret_cast<std::intptr_t>(handle), flags);
    if (file < 0 && handle != INVALID_HANDLE_VALUE)
        ::CloseHandle(handle);
    return file;
}

// Whether a lock file could not be opened or locked because another copy holds it: by its lock,
// or, as version 1.1.0 did, by a share mode, or while the system deletes the file it held.
bool heldElsewhere(DWORD error) {
    return error == ERROR_LOCK_VIOLATION || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_ACCESS_DENIED;
}

bool notFound(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// The length of the UTF-8 character that starts at `at`, of `left` bytes: 1 to 4; 0 where the
// bytes spell none (overlong, a surrogate, beyond U+10FFFF); -1 where it is cut off at the end.
int characterLength(const unsigned char* at, std::size_t left) {
    const int length = at[0] < 0x80   ? 1
                       : at[0] < 0xc2 ? 0
                       : at[0] < 0xe0 ? 2
                       : at[0] < 0xf0 ? 3
                       : at[0] < 0xf5 ? 4
                                      : 0;
    // The second byte's range rules out the overlong forms, surrogates and what lies beyond.
    const unsigned char low = at[0] == 0xe0 ? 0xa0 : at[0] == 0xf0 ? 0x90 : 0x80;
    const unsigned char high = at[0] == 0xed ? 0x9f : at[0] == 0xf4 ? 0x8f : 0xbf;
    for (int next = 1; next < length; ++next) {
        if (static_cast<std::size_t>(next) >= left)
            return -1;
        if (at[next] < (next == 1 ? low : 0x80) || at[next] > (next == 1 ? high : 0xbf))
            return 0;
    }
    return length;
}

// Writes `wide` to the console; false on an error.
bool writeWide(HANDLE console, const wchar_t* wide, int count) {
    for (DWORD written = 0; count > 0; wide += written, count -= static_cast<int>(written)) {
        if (!::WriteConsoleW(console, wide, static_cast<DWORD>(count), &written, nullptr) ||
            written == 0)
            return false;
    }
    return true;
}

} // namespace

namespace detail {

int openReadOnly(const fs::path& path) {
    // Shared in every way, so that another program may still replace the file.
    const HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ, shareAll, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        errno = notFound(::GetLastError()) ? ENOENT : EACCES;
    return descriptorOf(handle, _O_RDONLY | _O_BINARY);
}

void describeOpen(int file, Look& seen) {
    describe(handleOf(file), seen);
}

bool tryLock(const fs::path& target, const Look&) {
    // Shared in every way and never removed, as on POSIX: a copy that removed it while another
    // held it open would split the lock in two. The byte-range lock on the whole of it is the
    // one that a server (Samba, or Windows) shows to POSIX copies as their record lock.
    if (lockFile == INVALID_HANDLE_VALUE) {
        lockFile = ::CreateFileW((target.parent_path() / "stock.txt.lock").c_str(),
                                 GENERIC_READ | GENERIC_WRITE, shareAll, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (lockFile == INVALID_HANDLE_VALUE)
            return !heldElsewhere(::GetLastError());
    }
    OVERLAPPED whole = {};
    if (::LockFileEx(lockFile, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                     MAXDWORD, &whole))
        return true;
    if (heldElsewhere(::GetLastError()))
        return false;
    unlock(); // a file system without locks: the save goes on without, as on POSIX
    return true;
}

long long writeSome(int file, const char* from, std::size_t size) {
    return ::_write(file, from, size < (1u << 30) ? static_cast<unsigned>(size) : (1u << 30));
}

} // namespace detail

void prepare() {
    for (const int signal : endings)
        endOn(signal, removeAndEnd);
}

bool isTextConsole(int stream) {
    return isTerminal(stream);
}

long long writeConsole(const char* from, std::size_t size, bool all) {
    const HANDLE console = ::GetStdHandle(STD_OUTPUT_HANDLE);
    const auto* const bytes = reinterpret_cast<const unsigned char*>(from);
    wchar_t wide[1 << 12];
    std::size_t done = 0;
    while (done < size) {
        // A run of whole characters, or a run of bytes that spell none, and never more than
        // `wide` holds: a byte makes at most one UTF-16 unit, a four-byte character two.
        const bool spelled = characterLength(bytes + done, size - done) > 0;
        std::size_t end = done;
        while (end < size && end - done < (sizeof wide / sizeof wide[0]) / 2) {
            const int length = characterLength(bytes + end, size - end);
            if (length < 0 && !all && end + 4 > size)
                break; // its rest comes with the next write
            if ((length > 0) != spelled)
                break;
            end += length > 0 ? static_cast<std::size_t>(length) : 1;
        }
        if (end == done)
            break;
        const UINT page = spelled ? CP_UTF8 : ::GetConsoleOutputCP();
        const int count = ::MultiByteToWideChar(page, 0, from + done, static_cast<int>(end - done),
                                                wide, sizeof wide / sizeof wide[0]);
        if (count <= 0 || !writeWide(console, wide, count))
            return -1;
        done = end;
    }
    return static_cast<long long>(done);
}

bool isTerminal(int stream) {
    DWORD mode;
    return ::GetConsoleMode(::GetStdHandle(stream == 0 ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE),
                            &mode) != 0;
}

void guardTerminal() {}

// Reads a line of the console, whose own editing and recall stay as they are, as text: UTF-8
// whatever its code page. CR LF comes as LF, and Ctrl-Z ends the input where it stands, as the C
// library's text mode has it.
long long readConsole(char* into, std::size_t size) {
    static bool ended = false;
    static wchar_t carried = 0; // the first half of a pair whose second comes with the next read
    wchar_t text[1 << 12];
    // A UTF-16 unit makes at most three bytes of UTF-8.
    const DWORD room = static_cast<DWORD>(std::min<std::size_t>(size / 3, sizeof text / 2 - 1));
    DWORD got = 0;
    while (!ended && got == 0) {
        text[0] = carried;
        const DWORD start = carried != 0 ? 1 : 0;
        if (!::ReadConsoleW(::GetStdHandle(STD_INPUT_HANDLE), text + start, room - start, &got,
                            nullptr) &&
            ::GetLastError() != ERROR_OPERATION_ABORTED)
            return -1;
        carried = 0;
        got += start; // none read, or cut short: Ctrl-C, whose handler ends the program
    }
    DWORD kept = 0;
    for (DWORD at = 0; at < got && !ended; ++at) {
        ended = text[at] == 0x1a;
        if (!ended && !(text[at] == L'\r' && at + 1 < got && text[at + 1] == L'\n'))
            text[kept++] = text[at];
    }
    if (!ended && kept > 0 && text[kept - 1] >= 0xd800 && text[kept - 1] <= 0xdbff)
        carried = text[--kept];
    if (kept == 0)
        return ended ? 0 : readConsole(into, size);
    return ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(kept), into,
                                 static_cast<int>(std::min<std::size_t>(size, 1u << 30)), nullptr,
                                 nullptr);
}

long long readInput(char* into, std::size_t size, void (*)(bool)) {
    if (isTextConsole(0))
        return readConsole(into, size);
    // Text mode, as the C library has always read it: CR LF comes as LF, and Ctrl-Z ends the
    // input.
    return ::_read(0, into, size < (1u << 30) ? static_cast<unsigned>(size) : (1u << 30));
}

fs::path resolve(const fs::path& path) {
    // The system follows the links; it then names the file it reached.
    const HANDLE handle = ::CreateFileW(path.c_str(), 0, shareAll, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return path; // nothing there to follow: looked at as it stands
    std::wstring name(::GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED), 0);
    const DWORD size = ::GetFinalPathNameByHandleW(
        handle, name.data(), static_cast<DWORD>(name.size()), FILE_NAME_NORMALIZED);
    ::CloseHandle(handle);
    if (size == 0 || size >= name.size())
        return {};
    name.resize(size);
    return name;
}

Look look(const fs::path& path) {
    Look seen;
    // No access asked for: only the file's facts, which even a directory gives.
    const HANDLE handle =
        path.empty()
            ? INVALID_HANDLE_VALUE
            : ::CreateFileW(path.c_str(), 0, shareAll, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        seen.kind = !path.empty() && notFound(::GetLastError()) ? Kind::none : Kind::other;
        return seen;
    }
    seen.kind = Kind::other;
    describe(handle, seen);
    ::CloseHandle(handle);
    return seen;
}

void unlock() {
    if (lockFile != INVALID_HANDLE_VALUE) {
        // At once: the system may take its time over the locks of a handle that is closed.
        OVERLAPPED whole = {};
        ::UnlockFileEx(lockFile, 0, MAXDWORD, MAXDWORD, &whole);
        ::CloseHandle(lockFile);
    }
    lockFile = INVALID_HANDLE_VALUE;
}

long long readAt(int file, char* into, std::size_t size, std::uint64_t offset) {
    if (::_lseeki64(file, static_cast<long long>(offset), SEEK_SET) < 0)
        return -1;
    return ::_read(file, into, size < (1u << 30) ? static_cast<unsigned>(size) : (1u << 30));
}

int hold(int file) {
    // A held file could not be replaced by another program here.
    close(file);
    return -1;
}

int createTemporary(const fs::path& path, const fs::path&, const Look&) {
    // Windows has no permission bits to carry over; a read-only stock.txt is never replaced.
    const HANDLE handle =
        ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    const int file = descriptorOf(handle, _O_WRONLY | _O_BINARY);
    if (file >= 0 && !arm(path)) {
        ::_close(file);
        ::_wunlink(path.c_str());
        return -1;
    }
    return file;
}

bool flush(int file) {
    return ::_commit(file) == 0;
}

bool close(int file) {
    return file < 0 || ::_close(file) == 0;
}

bool replace(const fs::path& temporary, const fs::path& target) {
    // Another program's brief open of stock.txt (a reader, a virus scanner) refuses the move
    // for a moment: it is tried again for about a second, as the lock between copies is.
    bool moved = false;
    forASecond([&] {
        moved = ::MoveFileExW(temporary.c_str(), target.c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        const DWORD error = ::GetLastError();
        return moved || (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED);
    });
    if (moved)
        armed = 0;
    return moved;
}

bool placeNew(const fs::path& temporary, const fs::path& target) {
    if (!::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH))
        return false;
    armed = 0;
    return true;
}

bool onFuse(const fs::path&) {
    return false;
}

bool flushDirectory(const fs::path&) {
    return true; // MOVEFILE_WRITE_THROUGH has already waited for the move to reach the disk
}

void discard(const fs::path& temporary) {
    ::_wunlink(temporary.c_str());
    armed = 0;
}

} // namespace sys
