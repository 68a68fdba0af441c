// The platform layer on POSIX systems (Linux, macOS).
#include "Platform.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#ifdef __APPLE__
#include <sys/mount.h>
#endif
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/vfs.h>
#include <sys/xattr.h>
#endif

namespace fs = std::filesystem;

namespace sys {

using namespace detail;

namespace {

// The signals that end the program and must not leave a temporary file behind.
const int endings[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Standard input's terminal settings from before the line editor changed them.
struct termios terminalSettings;
volatile std::sig_atomic_t terminalKept = 0;
volatile std::sig_atomic_t continued = 0; // after a stop, until readInput() has said so

// Puts them back, even where the shell has taken the terminal already: SIGTTOU, blocked meanwhile,
// would otherwise stop the program right there.
void restoreTerminal() {
    if (!terminalKept)
        return;
    sigset_t output, before;
    sigemptyset(&output);
    sigaddset(&output, SIGTTOU);
    sigprocmask(SIG_BLOCK, &output, &before);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &terminalSettings);
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

void removeAndEnd(int signal) {
    if (armed)
        ::unlink(pending);
    restoreTerminal();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Makes `handler` take `signal` without restarting the call it interrupts, so that a wait for
// input wakes.
void wakeOn(int signal, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
}

void wake(int) {}

// Stops this process alone, as the terminal asked (Ctrl-Z), with the terminal as it was; goes
// on when continued, the editor then putting its own settings back.
void stop(int) {
    const int error = errno;
    restoreTerminal();
    std::signal(SIGTSTP, SIG_DFL);
    sigset_t stopping;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stopping, nullptr);
    std::raise(SIGTSTP);
    continued = 1;
    wakeOn(SIGTSTP, stop);
    errno = error;
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

// Whether the file `info` that stands in `directory` is no neighbour's: not one that another
// user than this one or the directory's owner put in a sticky, world-writable directory, whose
// links the kernel's protected-links rule would not follow either.
bool trusted(const struct stat& info, const std::string& directory) {
    if (info.st_uid == ::geteuid())
        return true;
    struct stat holder;
    if (::stat(directory.empty() ? "." : directory.c_str(), &holder) != 0)
        return false;
    const bool shared = (holder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
    return !shared || info.st_uid == holder.st_uid;
}

// The permission bits of a new file: 0666 less the umask.
mode_t newFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Gives the new `file` the owner and group of the file `seen`, as far as the system allows, and
// returns the permission bits that it is to have: that file's, but no setuid, setgid or sticky
// bit, and where its group cannot be kept (the file would have the directory's, or the user's),
// none of its group's rights either; where there is no file, a new file's.
mode_t takeOwner(int file, const Look& seen) {
    if (seen.kind != Kind::regular)
        return newFileMode();
    mode_t mode = static_cast<mode_t>(seen.mode & 0777);
    if (::fchown(file, seen.owner, seen.group) != 0 &&
        ::fchown(file, static_cast<uid_t>(-1), seen.group) != 0)
        mode &= ~static_cast<mode_t>(070);
    return mode;
}

#ifdef __linux__
const char accessList[] = "system.posix_acl_access";

// Reads the access ACL of the file at `from` into `value`, of 64 KiB (the most an attribute
// holds), asked for by name, so that no list of names too long to read can hide it. Returns its
// size, 0 where the file has none, -1 where that cannot be known.
ssize_t readAccessList(const char* from, char* value) {
    const ssize_t size = ::lgetxattr(from, accessList, value, 1 << 16);
    return size >= 0 ? size : errno == ENODATA || errno == ENOTSUP ? 0 : -1;
}

// Gives `file` the access ACL `value` of `size` bytes, or none where `size` is 0, so that an ACL
// that the directory passed on is removed; false when it cannot.
bool giveAccessList(int file, const char* value, ssize_t size) {
    if (size > 0)
        return ::fsetxattr(file, accessList, value, static_cast<std::size_t>(size), 0) == 0;
    return ::fremovexattr(file, accessList) == 0 || errno == ENODATA || errno == ENOTSUP;
}

// Gives `file` the access ACL of the file at `from`, or none; and its SELinux label and user.*
// attributes where they may be set. False when the ACL cannot be made the same: the file could
// then give someone access the old did not.
bool copyAttributes(int file, const char* from) {
    static char names[1 << 16], value[1 << 16]; // the most that the system lists or holds
    const ssize_t size = readAccessList(from, value);
    if (size < 0 || !giveAccessList(file, value, size))
        return false;
    const auto copy = [&](const char* name) {
        const ssize_t got = ::lgetxattr(from, name, value, sizeof value);
        return got >= 0 && ::fsetxattr(file, name, value, static_cast<std::size_t>(got), 0) == 0;
    };
    copy("security.selinux");
    // The others as far as they go: a list that cannot be read (past 64 KiB) is skipped whole.
    const ssize_t listed = ::llistxattr(from, names, sizeof names);
    for (ssize_t at = 0; at < listed; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        if (std::strncmp(names + at, "user.", 5) == 0)
            copy(names + at);
    }
    return true;
}
#endif

// The lock between copies: a record lock on the whole lock file, which network file systems
// (NFS, SMB) carry to the server, unlike flock(), and which a Windows copy's byte-range lock
// meets there. Owned by the open file where the system can, so that no other descriptor of
// this process can release it.
#ifdef F_OFD_SETLK
const int setLock = F_OFD_SETLK;
#else
const int setLock = F_SETLK;
#endif
int lockFile = -1; // while lock() holds it

// The permission bits of a lock file beside a file whose bits are `mode`: read and write for
// exactly the classes that may write that file, so that no one who may not save can hold the
// lock.
mode_t lockMode(mode_t mode) {
    mode_t bits = 0;
    for (const mode_t who : {0700, 0070, 0007})
        bits |= (mode & who & 0222) != 0 ? who & 0666 : 0;
    return bits;
}

// Gives the lock file `file`, seen as `info`, the owner and group of stock.txt at `target`, seen
// as `seen`, as a save would, and access for exactly those who may write it (by its bits, and by
// the write grants of its access ACL, each made read and write): as far as this process may, as
// the lock file's owner or root. Each save does so again, so that a change to stock.txt's
// access reaches the lock file too.
void alignLock(int file, const struct stat& info, const fs::path& target, const Look& seen) {
    if (info.st_uid != ::geteuid() && ::geteuid() != 0)
        return;
    const bool same =
        seen.kind != Kind::regular || (info.st_uid == seen.owner && info.st_gid == seen.group);
    const mode_t mode = lockMode(!same                        ? takeOwner(file, seen)
                                 : seen.kind == Kind::regular ? seen.mode
                                                              : newFileMode());
    if ((info.st_mode & 07777) != mode)
        ::fchmod(file, mode);
#ifdef __linux__
    static char wanted[1 << 16], had[1 << 16];
    const ssize_t size = seen.kind == Kind::regular ? readAccessList(target.c_str(), wanted) : 0;
    for (ssize_t at = 4; at + 8 <= size; at += 8) // each entry's permissions, in little-endian
        wanted[at + 2] = (wanted[at + 2] & 2) != 0 ? 6 : 0;
    const ssize_t now = ::fgetxattr(file, accessList, had, sizeof had);
    const bool kept =
        now < 0 ? size == 0 && (errno == ENODATA || errno == ENOTSUP)
                : now == size && std::memcmp(had, wanted, static_cast<std::size_t>(now)) == 0;
    if (size >= 0 && !kept)
        giveAccessList(file, wanted, size);
#else
    (void)target;
#endif
}

// Opens the lock file at `path` to read and write, without following a link or blocking, and
// makes it, owner-only, where it is missing. It is never removed: a copy may be waiting on it.
// Returns the descriptor, or -1.
int openLockFile(const fs::path& path) {
    const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int file = ::open(path.c_str(), flags);
    if (file < 0 && errno == ENOENT) {
        file = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0600);
        if (file < 0 && errno == EEXIST) // another copy made it just now
            file = ::open(path.c_str(), flags);
    }
    return file;
}

} // namespace

namespace detail {

int openReadOnly(const fs::path& path) {
    // Without blocking: a FIFO swapped in would otherwise wait for a writer for good.
    return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
}

void describeOpen(int file, Look& seen) {
    struct stat info;
    if (::fstat(file, &info) == 0)
        describe(info, seen);
}

bool tryLock(const fs::path& target, const Look& seen) {
    const fs::path directory = target.parent_path(), path = directory / "stock.txt.lock";
    struct stat info;
    if (lockFile < 0) {
        lockFile = openLockFile(path);
        if (lockFile < 0) {
            const int error = errno;
            // A lock file that another user has just made and not yet opened to all who may
            // save, or that may not be opened: none of them saves without the lock, but a
            // neighbour's in a shared directory is passed over.
            if (error == EACCES)
                return ::lstat(path.c_str(), &info) == 0 && !trusted(info, directory.native());
            // Held elsewhere (a Windows share mode, over SMB), or no descriptor to lock with:
            // this process's want, not the disk's. Anything else there is passed over.
            return error != EBUSY && error != ETXTBSY && error != EMFILE && error != ENFILE &&
                   error != ENOMEM;
        }
        if (::fstat(lockFile, &info) != 0 || !S_ISREG(info.st_mode) ||
            !trusted(info, directory.native())) {
            unlock();
            return true; // a link, a FIFO, a device, a neighbour's file: no lock to trust
        }
        alignLock(lockFile, info, target, seen);
    }
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET; // from the start, to the end however long: the whole file
    if (::fcntl(lockFile, setLock, &whole) == 0)
        return true;
    if (errno == EACCES || errno == EAGAIN || errno == EINTR)
        return false; // held elsewhere
    // The file system keeps no such locks (an NFS mount without its lock service, say): the
    // save goes on without, as it must where there is no lock to take.
    unlock();
    return true;
}

long long writeSome(int file, const char* from, std::size_t size) {
    ssize_t put;
    do
        put = ::write(file, from, size);
    while (put < 0 && errno == EINTR);
    return put;
}

} // namespace detail

void prepare() {
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    for (const int signal : endings)
        endOn(signal, removeAndEnd);
}

bool isTerminal(int stream) {
    return ::isatty(stream) == 1;
}

bool isTextConsole(int) {
    return false; // terminals here take bytes
}

long long writeConsole(const char*, std::size_t, bool) {
    return -1;
}

void guardTerminal() {
    if (::tcgetattr(STDIN_FILENO, &terminalSettings) != 0)
        return;
    terminalKept = 1;
    if (std::signal(SIGTSTP, SIG_IGN) != SIG_IGN)
        wakeOn(SIGTSTP, stop);
    wakeOn(SIGCONT, wake);
    wakeOn(SIGWINCH, wake);
}

long long readInput(char* into, std::size_t size, void (*woken)(bool continued)) {
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, into, size);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Not ready yet: left non-blocking by another program that shares it.
            struct pollfd ready = {STDIN_FILENO, POLLIN, 0};
            if (::poll(&ready, 1, -1) >= 0)
                continue;
        }
        if (got >= 0 || errno != EINTR)
            return got;
        const bool stopped = continued != 0;
        continued = 0;
        if (woken)
            woken(stopped);
    }
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
        if (++links > 40 || size <= 0 || size == sizeof target || !trusted(info, done))
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

void unlock() {
    if (lockFile >= 0)
        ::close(lockFile);
    lockFile = -1;
}

long long readAt(int file, char* into, std::size_t size, std::uint64_t offset) {
    ssize_t got;
    do
        got = ::pread(file, into, size, static_cast<off_t>(offset));
    while (got < 0 && errno == EINTR);
    return got;
}

int hold(int file) {
    return file;
}

int createTemporary(const fs::path& path, const fs::path& target, const Look& seen) {
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
    const mode_t mode = takeOwner(file, seen);
    bool given = true;
#ifdef __linux__
    if (seen.kind == Kind::regular)
        given = copyAttributes(file, target.c_str());
#else
    (void)target;
#endif
    if (!given || ::fchmod(file, mode) != 0) {
        ::close(file);
        discard(path);
        return -1;
    }
    return file;
}

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

bool onFuse(const fs::path& directory) {
#if defined(__linux__) || defined(__APPLE__)
    struct statfs info;
    if (::statfs(directory.empty() ? "." : directory.c_str(), &info) != 0)
        return false;
#ifdef __linux__
    return info.f_type == 0x65735546; // FUSE_SUPER_MAGIC
#else
    return std::strstr(info.f_fstypename, "fuse") != nullptr; // macfuse, osxfuse
#endif
#else
    (void)directory;
    return false;
#endif
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

} // namespace sys
