// The platform layer on Windows.
#include "Platform.h"

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

bool notFound(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
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

bool tryLock(const fs::path& directory, const Look&) {
    // A file no other may open while it is held, which the system removes when the program
    // ends, even killed; one left by a power cut is simply taken.
    lockFile = ::CreateFileW((directory / "stock.txt.lock").c_str(), GENERIC_WRITE, 0, nullptr,
                             OPEN_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    const DWORD error = ::GetLastError();
    return lockFile != INVALID_HANDLE_VALUE ||
           (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED);
}

long long writeSome(int file, const char* from, std::size_t size) {
    return ::_write(file, from, size < (1u << 30) ? static_cast<unsigned>(size) : (1u << 30));
}

} // namespace detail

void prepare() {
    for (const int signal : endings)
        endOn(signal, removeAndEnd);
}

bool isTerminal(int stream) {
    DWORD mode;
    return ::GetConsoleMode(::GetStdHandle(stream == 0 ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE),
                            &mode) != 0;
}

void guardTerminal() {}

long long readInput(char* into, std::size_t size, void (*)(bool)) {
    // Text mode, as the console and the C library have always read it: CR LF comes as LF, and
    // Ctrl-Z ends the input.
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
    if (lockFile != INVALID_HANDLE_VALUE)
        ::CloseHandle(lockFile);
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

bool flushDirectory(const fs::path&) {
    return true; // MOVEFILE_WRITE_THROUGH has already waited for the move to reach the disk
}

void discard(const fs::path& temporary) {
    ::_wunlink(temporary.c_str());
    armed = 0;
}

} // namespace sys
