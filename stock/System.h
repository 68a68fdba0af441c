#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

// All that the program asks of the operating system beyond the C++ standard library: to open
// stock.txt without blocking and know what was opened, to make a private temporary file and
// flush it to the disk before it replaces stock.txt, and to remove that file when a signal
// ends the program. One branch per platform, in System.cpp; nothing else calls the system.
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

// What stands at the end of a path's links.
struct Look {
    Kind kind = Kind::none;
    bool writable = false; // a regular file with a write bit set that this process may write
    unsigned mode = 0;     // its permission bits
    FileId id;
};

// Ignores SIGXFSZ, so that a file-size limit fails a write instead of ending the program, and
// lets SIGINT, SIGTERM and SIGHUP remove a save's temporary file before they end it.
void prepare();

// Returns what stands at `path` now.
Look look(const std::filesystem::path& path);

// Opens `path` for reading without blocking and fills `seen` from what was opened; returns
// the descriptor of a regular file, or -1 (`seen.kind` tells none from something else).
int openToRead(const std::filesystem::path& path, Look& seen);

// Reads up to `size` bytes; returns how many, 0 at the end of the file, -1 on an error.
long long readSome(int file, char* into, std::size_t size);

// Creates `path` exclusively, owner-only, then gives it the permissions of `target` (of a new
// file, when there is none) on the descriptor; until it is replaced or removed, the three
// signals remove it. Returns the descriptor, or -1.
int createTemporary(const std::filesystem::path& path, const Look& target);

// Writes all `size` bytes; false on any error.
bool writeAll(int file, const char* from, std::size_t size);

// Forces the file's data to stable storage; false on any error.
bool flush(int file);

// Returns the identity of an open file.
FileId identify(int file);

// Closes a descriptor; false when the last of its data could not be written.
bool close(int file);

// Puts the temporary file in place of `target` in one step and lets the signals forget it;
// false, with nothing changed, when the system refuses.
bool replace(const std::filesystem::path& temporary, const std::filesystem::path& target);

// Forces the directory's entries to stable storage; true where the file system cannot do it.
bool flushDirectory(const std::filesystem::path& directory);

// Removes the temporary file and lets the signals forget it.
void discard(const std::filesystem::path& temporary);

} // namespace sys
