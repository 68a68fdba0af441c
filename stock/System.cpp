#include "Platform.h"

#include <cerrno>
#include <cstring>

namespace fs = std::filesystem;

namespace sys {

namespace detail {

fs::path::value_type pending[4096];
volatile std::sig_atomic_t armed = 0;

bool arm(const fs::path& path) {
    const auto& name = path.native();
    if (name.size() >= sizeof pending / sizeof pending[0])
        return false;
    std::memcpy(pending, name.c_str(), (name.size() + 1) * sizeof pending[0]);
    armed = 1;
    return true;
}

void endOn(int signal, void (*handler)(int)) {
    if (std::signal(signal, handler) == SIG_IGN)
        std::signal(signal, SIG_IGN);
}

} // namespace detail

using namespace detail;

bool FileId::operator==(const FileId& other) const {
    return exists == other.exists && device == other.device && index == other.index &&
           size == other.size && modified == other.modified;
}

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

bool keep(const fs::path& path, const FileId& id, int& held) {
    const int file = openReadOnly(path);
    const bool same = file >= 0 && identify(file) == id;
    held = same ? hold(file) : -1;
    if (!same)
        close(file);
    return same;
}

FileId identify(int file) {
    Look seen;
    describeOpen(file, seen);
    return seen.id;
}

bool lock(const fs::path& target, const Look& seen) {
    if (forASecond([&] { return tryLock(target, seen); }))
        return true;
    unlock();
    return false;
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
