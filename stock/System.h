#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

// All that the program asks of the operating system beyond the C++ standard library: to find
// stock.txt at the end of links that a neighbour may have planted, to open it without blocking
// and know what was opened, to make a private temporary file and flush it to the disk before it
// replaces stock.txt under a lock that every copy takes, on every computer that shares it, to
// remove that file when a signal ends the program, to wait for input that is not ready, and to
// know whether a stream is a terminal. One source per platform (SystemPosix.cpp,
// SystemWindows.cpp) and a shared tail (System.cpp); nothing else calls the system.
namespace sys {

enum class Kind { none, regular, other };

// Which file stood at a path, and as what: equal when it is the same file, unchanged.
struct FileId {
    bool exists = false;
    std::uint64_t device = 0;  // 0 on Windows
    std::uint64_t index = 0;   // the inode, or the file index
    std::uint64_t size = 0;    // in bytes
    std::int64_t modified = 0; // last write, in the system's own finest unit

    bool operator==(const FileId& other) const;
    bool operator!=(const FileId& other) const {
        return !(*this == other);
    }
};

// What stands at a path, a link counting as something other than a regular file.
struct Look {
    Kind kind = Kind::none;
    bool writable = false; // a regular file with a write bit set that this process may write
    unsigned mode = 0;     // its permission bits
    unsigned owner = 0;    // its user and group (POSIX)
    unsigned group = 0;
    FileId id;
};

// Ignores SIGXFSZ and SIGPIPE, so that a file-size limit or a closed output fails a write
// instead of ending the program, and lets SIGINT, SIGTERM, SIGHUP and SIGQUIT remove a save's
// temporary file before they end it.
void prepare();

// Returns whether standard input (`stream` 0) or output (1) is a terminal (on Windows, a console).
bool isTerminal(int stream);

// Keeps standard input's terminal settings as they are now, so that the ending signals put them
// back before they end the program, and a stop (Ctrl-Z) before it stops this process alone; from
// then on the continuation of a stop and a change of the window's size wake readInput() (POSIX).
void guardTerminal();

// Returns whether standard input (`stream` 0) or output (1) is a console that speaks text rather
// than bytes, in characters of its own code page: a Windows console. Never on POSIX.
bool isTextConsole(int stream);

// Writes the UTF-8 `from` to standard output, a text console, as the characters it spells; bytes
// that spell none go through the console's code page, as bytes always did. Returns how many
// bytes it took: all of them, but for a character cut off at the end unless `all`; -1 on an
// error.
long long writeConsole(const char* from, std::size_t size, bool all);

// Reads what standard input has, up to `size` bytes, waiting while it has nothing yet, even when
// another program left it non-blocking; a text console's line comes as UTF-8. Returns how many,
// 0 at its end, -1 on an error. A signal that wakes the wait calls `woken`, where there is one,
// before it waits again, telling it whether the program has just been continued after a stop.
long long readInput(char* into, std::size_t size, void (*woken)(bool continued) = nullptr);

// Returns the path of the file at the end of `path`'s links, free of links, following a link
// only where the kernel's protected-links rule would, whatever the system's setting (POSIX);
// empty when a link may not be followed or the links do not end.
std::filesystem::path resolve(const std::filesystem::path& path);

// Returns what stands at `path` now, without following a link; an empty path is "other".
Look look(const std::filesystem::path& path);

// Opens `path` for reading, only when it is a regular file, without following a link and
// without blocking, and fills `seen` from what was opened; returns the descriptor, or -1
// (`seen.kind` tells none from something else).
int openToRead(const std::filesystem::path& path, Look& seen);

// Reads up to `size` bytes from `offset` on; returns how many, 0 at the end of the file, -1 on an
// error.
long long readAt(int file, char* into, std::size_t size, std::uint64_t offset);

// Returns `file`, to be kept open and never read again for as long as it is stock.txt as last
// loaded or saved, so that its identity cannot pass to another file; where identities are
// never reused (Windows, whose file index counts reuses), closes it and returns -1.
int hold(int file);

// Opens the file at `path` that has the identity `id` read-only and puts in `held` what hold()
// returns for it; false, with `held` -1, when it cannot be opened or another file stands there.
bool keep(const std::filesystem::path& path, const FileId& id, int& held);

// Creates `path` exclusively, owner-only, then gives it on the descriptor the owner, group,
// permission bits and (Linux) access ACL and extended attributes of the file `seen` at `target`
// as far as the system allows, never giving anyone access that file did not (a new file's, when
// there is none); until it is replaced or removed, the signals remove it. Returns the
// descriptor, or -1.
int createTemporary(const std::filesystem::path& path, const std::filesystem::path& target,
                    const Look& seen);

// Writes all `size` bytes; false on any error.
bool writeAll(int file, const char* from, std::size_t size);

// Forces the file's data to stable storage; false on any error.
bool flush(int file);

// Returns the identity of an open file.
FileId identify(int file);

// Closes a descriptor, if there is one; false when the last of its data could not be written.
bool close(int file);

// Takes the lock that every copy of the program, on every platform, takes to replace stock.txt
// at `target`, seen as `seen`: a lock on the whole of a file beside it, stock.txt.lock, that
// holds no data, is never removed, and may be opened by exactly those who may write stock.txt.
// Tries for about a second; false when another copy holds it, or when this one cannot open it
// to lock. Where there is no lock to take (a file system without locks, something else than a
// regular file at that name, a neighbour's file in a shared directory), true without it.
bool lock(const std::filesystem::path& target, const Look& seen);

// Releases what lock() took.
void unlock();

// Puts the temporary file in place of `target` in one step and lets the signals forget it;
// false, with nothing changed, when the system refuses (on Windows, after trying for about a
// second while another program has the file open for a moment).
bool replace(const std::filesystem::path& temporary, const std::filesystem::path& target);

// As replace(), but false when a file has appeared at `target` meanwhile.
bool placeNew(const std::filesystem::path& temporary, const std::filesystem::path& target);

// Returns whether `directory` is on a FUSE file system (SSHFS, a desktop's own mount of a network
// share, rclone and the like), which may carry no locks between computers or answer from its own
// cache; never on Windows.
bool onFuse(const std::filesystem::path& directory);

// Forces the directory's entries to stable storage; true where the file system cannot do it
// or the directory may not be opened.
bool flushDirectory(const std::filesystem::path& directory);

// Removes the temporary file and lets the signals forget it.
void discard(const std::filesystem::path& temporary);

} // namespace sys
