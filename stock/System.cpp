#include "System.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace sys {

bool FileId::operator==(const FileId& other) const {
    return exists == other.exists && device == other.device && index == other.index &&
           size == other.size && modified == other.modified;
}

namespace {

// The temporary file of the save in progress, for the signal handler, which may only read it.
fs::path::value_type pending[4096];
volatile std::sig_atomic_t armed = 0;

void removeAndEnd(int signal);

// Lets the handler remove `path` from now on; false when the name is too long to keep.
bool arm(const fs::path& path) {
    const auto& name = path.native();
    if (name.size() >= sizeof pending / sizeof pending[0])
        return false;
    std::memcpy(pending, name.c_str(), (name.size() + 1) * sizeof pending[0]);
    armed = 1;
    return true;
}

// Installs the handler, unless the signal was ignored when the program started (nohup).
void removeOn(int signal) {
    if (std::signal(signal, removeAndEnd) == SIG_IGN)
        std::signal(signal, SIG_IGN);
}

} // namespace

#ifndef _WIN32

namespace {

void removeAndEnd(int signal) {
    if (armed)
        ::unlink(pending);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void describe(const struct stat& info, Look& seen) {
    seen.kind = S_ISREG(info.st_mode) ? Kind::regular : Kind::other;
    seen.mode = info.st_mode & 07777;
    seen.id.exists = true;
    seen.id.device = static_cast<std::uint64_t>(info.st_dev);
    seen.id.index = static_cast<std::uint64_t>(info.st_ino);
    seen.id.size = static_cast<std::uint64_t>(info.st_size);
#ifdef __APPLE__
    const struct timespec& time = info.st_mtimespec;
#else
    const struct timespec& time = info.st_mtim;
#endif
    seen.id.modified = static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

} // namespace

void prepare() {
    std::signal(SIGXFSZ, SIG_IGN);
    removeOn(SIGINT);
    removeOn(SIGTERM);
    removeOn(SIGHUP);
}

Look look(const fs::path& path) {
    Look seen;
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        seen.kind = errno == ENOENT ? Kind::none : Kind::other;
        return seen;
    }
    describe(info, seen);
    // Root may write anything, but a file without a write bit is plainly not to be replaced.
    seen.writable = seen.kind == Kind::regular && (seen.mode & 0222) != 0 &&
                    ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
    return seen;
}

namespace {

int openWithoutBlocking(const fs::path& path) {
    // Without blocking: a FIFO swapped in would otherwise wait for a writer for good.
    return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

void describeOpen(int file, Look& seen) {
    struct stat info;
    if (::fstat(file, &info) == 0)
        describe(info, seen);
}

} // namespace

long long readSome(int file, char* into, std::size_t size) {
    ssize_t got;
    do
        got = ::read(file, into, size);
    while (got < 0 && errno == EINTR);
    return got;
}

int createTemporary(const fs::path& path, const Look& target) {
    // The signals wait until the handler knows the file, so that none can leave it behind.
    sigset_t ending, before;
    sigemptyset(&ending);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGHUP);
    sigprocmask(SIG_BLOCK, &ending, &before);
    int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (file >= 0 && !arm(path)) {
        ::unlink(path.c_str());
        ::close(file);
        file = -1;
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (file < 0)
        return -1;
    mode_t mode = static_cast<mode_t>(target.mode);
    if (target.kind != Kind::regular) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    // Set on the descriptor, before any data: the name may already be someone else's link.
    if (::fchmod(file, mode) != 0) {
        ::close(file);
        discard(path);
        return -1;
    }
    return file;
}

namespace {

long long writeSome(int file, const char* from, std::size_t size) {
    ssize_t put;
    do
        put = ::write(file, from, size);
    while (put < 0 && errno == EINTR);
    return put;
}

} // namespace

bool flush(int file) {
#ifdef F_FULLFSYNC
    // macOS: fsync alone leaves the data in the drive's cache.
    if (::fcntl(file, F_FULLFSYNC) == 0)
        return true;
#endif
    return ::fsync(file) == 0;
}

bool close(int file) {
    return ::close(file) == 0;
}

bool replace(const fs::path& temporary, const fs::path& target) {
    if (::rename(temporary.c_str(), target.c_str()) != 0)
        return false;
    armed = 0;
    return true;
}

bool flushDirectory(const fs::path& directory) {
    const int file =
        ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (file < 0)
        return false;
    const bool done = ::fsync(file) == 0 || errno == EINVAL;
    ::close(file);
    return done;
}

void discard(const fs::path& temporary) {
    ::unlink(temporary.c_str());
    armed = 0;
}

#else // Windows

namespace {

void removeAndEnd(int signal) {
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
    const bool directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    seen.kind = !directory && ::GetFileType(handle) == FILE_TYPE_DISK ? Kind::regular : Kind::other;
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

} // namespace

void prepare() {
    removeOn(SIGINT);
    removeOn(SIGTERM);
}

Look look(const fs::path& path) {
    Look seen;
    // No access asked for: only the file's facts, which even a directory gives.
    const HANDLE handle =
        ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        const bool none = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        seen.kind = none ? Kind::none : Kind::other;
        return seen;
    }
    seen.kind = Kind::other;
    describe(handle, seen);
    ::CloseHandle(handle);
    return seen;
}

namespace {

int openWithoutBlocking(const fs::path& path) {
    // Binary: text mode would stop at a Ctrl-Z byte and lose the rest of the table.
    return ::_wopen(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

void describeOpen(int file, Look& seen) {
    describe(handleOf(file), seen);
}

} // namespace

long long readSome(int file, char* into, std::size_t size) {
    return ::_read(file, into, static_cast<unsigned>(size));
}

int createTemporary(const fs::path& path, const Look&) {
    // Windows has no permission bits to carry over; a read-only stock.txt is never replaced.
    const int file =
        ::_wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE);
    if (file >= 0 && !arm(path)) {
        ::_close(file);
        ::_wunlink(path.c_str());
        return -1;
    }
    return file;
}

namespace {

long long writeSome(int file, const char* from, std::size_t size) {
    return ::_write(file, from, size < (1u << 30) ? static_cast<unsigned>(size) : (1u << 30));
}

} // namespace

bool flush(int file) {
    return ::_commit(file) == 0;
}

bool close(int file) {
    return ::_close(file) == 0;
}

bool replace(const fs::path& temporary, const fs::path& target) {
    if (!::MoveFileExW(temporary.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
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

#endif

int openToRead(const fs::path& path, Look& seen) {
    seen = Look();
    const int file = openWithoutBlocking(path);
    if (file < 0) {
        seen.kind = errno == ENOENT ? Kind::none : Kind::other;
        return -1;
    }
    // What was opened, not what the name shows now: another file may have taken its place.
    seen.kind = Kind::other;
    describeOpen(file, seen);
    if (seen.kind == Kind::regular)
        return file;
    close(file);
    return -1;
}

FileId identify(int file) {
    Look seen;
    describeOpen(file, seen);
    return seen.id;
}

bool writeAll(int file, const char* from, std::size_t size) {
    while (size > 0) {
        const long long put = writeSome(file, from, size);
        if (put <= 0)
            return false;
        from += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

} // namespace sys
