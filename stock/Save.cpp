// The save: the table goes to a private temporary file beside stock.txt, which is flushed to the
// disk and then takes stock.txt's place under the lock that every copy takes, after a last look
// that no edit made elsewhere escapes. And the digest, by which that look knows the bytes.
#include "Stock.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <new>
#include <random>
#include <string>

namespace fs = std::filesystem;

namespace {

const char* const notSaved = "could not save 'stock.txt'\n";
const char* const changedHere =
    "not saved: 'stock.txt' was changed since it was last read or written here; 'write' "
    "replaces it with this table, 'read' loads it and drops this change\n";

constexpr std::uint64_t prime1 = 0x9e3779b185ebca87, prime2 = 0xc2b2ae3d27d4eb4f,
                        prime3 = 0x165667b19e3779f9;

std::uint64_t rotate(std::uint64_t word, int by) {
    return word << by | word >> (64 - by);
}

std::uint64_t wordAt(const char* at) {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

} // namespace

void Digest::eat(const char* block) {
    // Four independent lanes, so that the processor works on them side by side.
    for (int lane = 0; lane < 4; ++lane)
        lanes[lane] = rotate(lanes[lane] + wordAt(block + 8 * lane) * prime2, 31) * prime1;
}

void Digest::add(const char* from, std::size_t size) {
    length += size;
    if (stashed > 0) {
        const std::size_t taken = std::min(size, sizeof stash - stashed);
        std::memcpy(stash + stashed, from, taken);
        stashed += taken;
        from += taken;
        size -= taken;
        if (stashed < sizeof stash)
            return;
        eat(stash);
        stashed = 0;
    }
    for (; size >= sizeof stash; from += sizeof stash, size -= sizeof stash)
        eat(from);
    std::memcpy(stash, from, size);
    stashed = size;
}

std::uint64_t Digest::value() const {
    std::uint64_t mixed = rotate(lanes[0], 1) + rotate(lanes[1], 7) + rotate(lanes[2], 12) +
                          rotate(lanes[3], 18) + length * prime3;
    for (std::size_t at = 0; at < stashed; ++at)
        mixed = rotate(mixed ^ static_cast<unsigned char>(stash[at]) * prime3, 11) * prime1;
    mixed = (mixed ^ mixed >> 33) * prime2;
    mixed = (mixed ^ mixed >> 29) * prime3;
    return mixed ^ mixed >> 32;
}

bool Stock::write(bool overwrite) {
    const char* refusal = notSaved;
    try {
        if (!loadFailed)
            refusal = saveFile(overwrite);
    } catch (const std::exception&) {
        // Out of memory, or no source of random names: a failed save, never the end of the run.
        forget();
    }
    unsaved = refusal != nullptr;
    if (refusal)
        std::cout << refusal;
    return !refusal;
}

namespace {

// Removes a save's temporary file when the save ends without putting it in place, however it
// ends: an exception included.
struct Temporary {
    const fs::path& path;
    bool placed = false;

    ~Temporary() {
        if (!placed)
            sys::discard(path);
    }
};

// Lets the lock go however the last look ends: an exception included.
struct Locked {
    ~Locked() {
        sys::unlock();
    }
};

} // namespace

// Writes the table to a new file beside stock.txt, which replaces it only once every byte is
// on the disk: stock.txt always holds one whole table. Every path is made before the file, so
// that no allocation can fail while it exists. Returns nullptr when saved, otherwise what to
// tell the user.
const char* Stock::saveFile(bool overwrite) {
    const fs::path target = sys::resolve(fileName);
    const fs::path directory = target.parent_path();
    const sys::Look before = sys::look(target);
    if (before.kind == sys::Kind::other || (before.kind == sys::Kind::regular && !before.writable))
        return notSaved;
    // Its bytes are read again only at the last look, under the lock, which no edit escapes.
    if (!overwrite &&
        (target != resolved || (before.kind != sys::Kind::none && before.id != known)))
        return changedHere;
    format(); // before the file is made, since it may throw
    Digest bytes;
    bytes.add(file.data(), fileSize);
    static std::random_device random;
    fs::path temporary;
    int out = -1;
    for (int attempt = 0; attempt < 8 && out < 0; ++attempt) {
        temporary = directory / ("stock.txt." + std::to_string(random()) + ".tmp");
        out = sys::createTemporary(temporary, target, before);
    }
    if (out < 0)
        return notSaved;
    Temporary made{temporary};
    bool saved = sys::writeAll(out, file.data(), fileSize) && sys::flush(out);
    // Taken from the file itself, and kept: after the rename, the name could be another's. A
    // file that cannot be kept could lend its identity to another, so the save must not go on.
    const sys::FileId mine = sys::identify(out);
    int kept = -1;
    saved = saved && sys::keep(temporary, mine, kept);
    saved = sys::close(out) && saved;
    const char* const refusal = saved ? place(temporary, target, before, overwrite) : notSaved;
    if (refusal) {
        sys::close(kept);
        return refusal;
    }
    made.placed = true;
    sys::close(held);
    held = kept;
    known = mine;
    resolved = target;
    digest = bytes.value();
    // The new table is in place, but is not sure to survive a power cut until this is done.
    return sys::flushDirectory(directory) ? nullptr : notSaved;
}

// Puts the saved temporary file in place of stock.txt at `target`, seen as `before`, under the
// lock that every copy takes, so that no other copy can save between the last look and the
// replacement. The last look opens stock.txt afresh, since a network client may answer a look
// by name from what it remembers. A save that may not overwrite replaces only the bytes last
// loaded or saved here, where stock.txt's links led then; `write` only the file that it saw
// before it waited for the lock; and where there was no file, neither replaces one that has
// appeared since. Returns nullptr when done, or what to tell.
const char* Stock::place(const fs::path& temporary, const fs::path& target, const sys::Look& before,
                         bool overwrite) {
    sys::Look seen; // for `write`: the file it is to replace
    if (overwrite) {
        const int file = sys::openToRead(target, seen);
        sys::close(file);
        if (file < 0 && seen.kind != sys::Kind::none)
            return notSaved;
    }
    if (!sys::lock(target, before))
        return notSaved;
    const Locked locked;
    const bool moved = !overwrite && !leadsTo(target);
    sys::Look now;
    const int file = sys::openToRead(target, now);
    const char* refusal = changedHere;
    if (now.kind == sys::Kind::other && !now.id.exists)
        refusal = notSaved; // could not even be looked at: no descriptor left, say
    else if (overwrite && now.id != seen.id)
        refusal = notSaved; // replaced again before the lock was had
    else if (overwrite || (!moved && !changedElsewhere(file, now)))
        refusal = nullptr;
    sys::close(file);
    if (!refusal) {
        const bool placed = now.kind == sys::Kind::none ? sys::placeNew(temporary, target)
                                                        : sys::replace(temporary, target);
        refusal = placed ? nullptr : sys::look(target).kind != now.kind ? changedHere : notSaved;
    }
    return refusal;
}

// Whether stock.txt, open as `file` and seen as `now`, is another file than the one last loaded
// or saved here, or holds other bytes. A file that has gone is simply made anew.
bool Stock::changedElsewhere(int file, const sys::Look& now) const {
    return now.kind != sys::Kind::none && (now.id != known || !sameBytes(file));
}

// Whether `file` holds exactly the bytes last loaded or saved here.
bool Stock::sameBytes(int file) const {
    Digest bytes;
    char block[1 << 16];
    long long got = -1;
    for (std::uint64_t at = 0; file >= 0 && (got = sys::readAt(file, block, sizeof block, at)) > 0;
         at += static_cast<std::uint64_t>(got))
        bytes.add(block, static_cast<std::size_t>(got));
    return got == 0 && bytes.value() == digest;
}

// Whether stock.txt is still the file just saved here, as a fresh open shows it, since a network
// client may answer a look by name from what it remembers; when memory runs out, it is taken to
// be.
bool Stock::stillSaved() const {
    try {
        sys::Look now;
        sys::close(sys::openToRead(sys::resolve(fileName), now));
        return now.id == known;
    } catch (const std::bad_alloc&) {
        return true;
    }
}

// Whether stock.txt's links lead to `target` still: a link that a neighbour put there, or that
// now leads elsewhere, is a change made elsewhere.
bool Stock::leadsTo(const fs::path& target) const {
    return sys::resolve(fileName) == target;
}
