#include "System.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
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

// The signals that end the program and must not leave a temporary file behind.
#ifdef _WIN32
const int endings[] = {SIGINT, SIGTERM};
#else
const int endings[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
#endif

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
    seen.owner = info.st_uid;
    seen.group = info.st_gid;
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

// Whether the kernel's protected-links rule lets this process follow the link `info` that
// stands in `directory`: not a neighbour's link in a sticky, world-writable directory.
bool mayFollow(const struct stat& info, const std::string& directory) {
    struct stat holder;
    if (::stat(directory.empty() ? "." : directory.c_str(), &holder) != 0)
        return false;
    const bool shared = (holder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
    return !shared || info.st_uid == ::geteuid() || info.st_uid == holder.st_uid;
}

} // namespace

void prepare() {
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    for (const int signal : endings)
        removeOn(signal);
}

bool isTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

fs::path resolve(const fs::path& path) {
    // `done` is the part walked, free of links, so that a ".." after it is resolved as the
    // system would; `rest` is what is left, a link's target put in front of it.
    std::string rest = path.native(), done = rest.compare(0, 1, "/") == 0 ? "/" : "";
    struct stat info;
    for (int links = 0;;) {
        const std::size_t start = rest.find_first_not_of('/');
        if (start == std::string::npos)
            return done;
        const std::size_t stop = rest.find('/', start);
        const std::string part = rest.substr(start, stop - start);
        rest.erase(0, stop == std::string::npos ? rest.size() : stop);
        if (part == ".")
            continue;
        const std::string next = done + (done.empty() || done.back() == '/' ? "" : "/") + part;
        if (::lstat(next.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            done = next;
            continue;
        }
        char target[4096];
        const ssize_t size = ::readlink(next.c_str(), target, sizeof target);
        if (++links > 40 || size <= 0 || size == sizeof target || !mayFollow(info, done))
            return {};
        rest.insert(0, target, static_cast<std::size_t>(size));
        if (target[0] == '/')
            done = "/";
    }
}

Look look(const fs::path& path) {
    Look seen;
    struct stat info;
    if (path.empty() || ::lstat(path.c_str(), &info) != 0) {
        seen.kind = !path.empty() && errno == ENOENT ? Kind::none : Kind::other;
        return seen;
    }
    describe(info, seen);
    // Root may write anything, but a file without a write bit is plainly not to be replaced.
    seen.writable = seen.kind == Kind::regular && (seen.mode & 0222) != 0 &&
                    ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
    return seen;
}

namespace {

int openReadOnly(const fs::path& path) {
    // Without blocking: a FIFO swapped in would otherwise wait for a writer for good.
    return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
}

void describeOpen(int file, Look& seen) {
    struct stat info;
    if (::fstat(file, &info) == 0)
        describe(info, seen);
}

bool tryLock(const fs::path&, int held) {
    // Another error than a lock held elsewhere: the file system has no such lock (NFS, say),
    // and the save goes on without it.
    return held < 0 || ::flock(held, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

} // namespace

void unlock(int held) {
    if (held >= 0)
        ::flock(held, LOCK_UN);
}

long long readSome(int file, char* into, std::size_t size) {
    ssize_t got;
    do
        got = ::read(file, into, size);
    while (got < 0 && errno == EINTR);
    return got;
}

int hold(int file) {
    return file;
}

int createTemporary(const fs::path& path, const Look& target) {
    // The signals wait until the handler knows the file, so that none can leave it behind.
    sigset_t ending, before;
    sigemptyset(&ending);
    for (const int signal : endings)
        sigaddset(&ending, signal);
    sigprocmask(SIG_BLOCK, &ending, &before);
    int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (file >= 0 && !arm(path)) {
        ::unlink(path.c_str());
        ::close(file);
        file = -1;
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (file < 0)
        return -1;
    // Set on the descriptor, before any data: the name may already be someone else's link.
    // No setuid, setgid or sticky bit is carried over, and where the old group cannot be
    // kept (the file would have the directory's, or the user's), none of its rights either.
    mode_t mode = static_cast<mode_t>(target.mode & 0777);
    if (target.kind != Kind::regular) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    } else if (::fchown(file, target.owner, target.group) != 0 &&
               ::fchown(file, static_cast<uid_t>(-1), target.group) != 0) {
        mode &= ~static_cast<mode_t>(070);
    }
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
    return file < 0 || ::close(file) == 0;
}

bool replace(const fs::path& temporary, const fs::path& target) {
    if (::rename(temporary.c_str(), target.c_str()) != 0)
        return false;
    armed = 0;
    return true;
}

bool placeNew(const fs::path& temporary, const fs::path& target) {
    if (::link(temporary.c_str(), target.c_str()) != 0) {
        // No hard links here (FAT, say): a rename is the nearest there is, though it cannot
        // refuse a name that appeared since the last look.
        return errno != EEXIST && replace(temporary, target);
    }
    discard(temporary);
    return true;
}

bool flushDirectory(const fs::path& directory) {
    const int file =
        ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (file < 0)
        return errno == EACCES || errno == EPERM; // may not be opened: cannot be flushed
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

void prepare() {
    for (const int signal : endings)
        removeOn(signal);
}

bool isTerminal() {
    DWORD mode;
    return ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

fs::path resolve(const fs::path& path) {
    // The system follows the links; it then names the file it reached.
    const HANDLE handle = ::CreateFileW(path.c_str(), 0, shareAll, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return path; // nothing there to follow: looked at as it stands
    std::wstring name(::GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED), 0);
    const DWORD size =
        ::GetFinalPathNameByHandleW(handle, name.data(), static_cast<DWORD>(name.size()),
                                    FILE_NAME_NORMALIZED);
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
        path.empty() ? INVALID_HANDLE_VALUE
                     : ::CreateFileW(path.c_str(), 0, shareAll, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                     nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        seen.kind = !path.empty() && notFound(::GetLastError()) ? Kind::none : Kind::other;
        return seen;
    }
    seen.kind = Kind::other;
    describe(handle, seen);
    ::CloseHandle(handle);
    return seen;
}

namespace {

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

bool tryLock(const fs::path& directory, int) {
    // A file no other may open, which the system removes even when the program is killed.
    lockFile = ::CreateFileW((directory / "stock.txt.lock").c_str(), GENERIC_WRITE, 0, nullptr,
                             CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    const DWORD error = ::GetLastError();
    return lockFile != INVALID_HANDLE_VALUE ||
           (error != ERROR_FILE_EXISTS && error != ERROR_SHARING_VIOLATION &&
            error != ERROR_ACCESS_DENIED);
}

} // namespace

void unlock(int) {
    if (lockFile != INVALID_HANDLE_VALUE)
        ::CloseHandle(lockFile);
    lockFile = INVALID_HANDLE_VALUE;
}

long long readSome(int file, char* into, std::size_t size) {
    return ::_read(file, into, static_cast<unsigned>(size));
}

int hold(int file) {
    // A held file could not be replaced by another program here.
    close(file);
    return -1;
}

int createTemporary(const fs::path& path, const Look&) {
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

namespace {

long long writeSome(int file, const char* from, std::size_t size) {
    return ::_write(file, from, size < (1u << 30) ? static_cast<unsigned>(size) : (1u << 30));
}

} // namespace

bool flush(int file) {
    return ::_commit(file) == 0;
}

bool close(int file) {
    return file < 0 || ::_close(file) == 0;
}

bool replace(const fs::path& temporary, const fs::path& target) {
    if (!::MoveFileExW(temporary.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return false;
    armed = 0;
    return true;
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

#endif

int openToRead(const fs::path& path, Look& seen) {
    seen = look(path);
    if (seen.kind != Kind::regular)
        return -1;
    const int file = openReadOnly(path);
    const bool gone = file < 0 && errno == ENOENT;
    // What was opened, not what the name shows now: another file may have taken its place.
    seen = Look();
    seen.kind = gone ? Kind::none : Kind::other;
    if (file < 0)
        return -1;
    describeOpen(file, seen);
    if (seen.kind == Kind::regular)
        return file;
    close(file);
    return -1;
}

int keep(const fs::path& path, const FileId& id) {
    const int file = openReadOnly(path);
    if (file >= 0 && identify(file) == id)
        return hold(file);
    close(file);
    return -1;
}

FileId identify(int file) {
    Look seen;
    describeOpen(file, seen);
    return seen.id;
}

bool lock(const fs::path& directory, int held) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!tryLock(directory, held)) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
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
