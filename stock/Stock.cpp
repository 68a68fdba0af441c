#include "Stock.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

namespace {

const char* const fileName = "stock.txt";
const char* const notSaved = "could not save 'stock.txt'\n";
const char* const changedHere =
    "not saved: 'stock.txt' was changed since it was last read or written here; 'write' "
    "replaces it, 'read' loads it\n";
constexpr std::size_t maxLine = std::numeric_limits<std::int32_t>::max();
#ifdef _WIN32
const char lineEnd[] = "|\r\n";
#else
const char lineEnd[] = "|\n";
#endif

// Two's complement, spelled out: C++17 leaves the conversion of an out-of-range unsigned
// value to the implementation.
std::int32_t wrapped(std::uint32_t number) {
    constexpr std::uint32_t half = 0x80000000u;
    if (number < half)
        return static_cast<std::int32_t>(number);
    return static_cast<std::int32_t>(number - half) + std::numeric_limits<std::int32_t>::min();
}

// Writes `value` in plain decimal at `at`, with a leading "-" when negative; returns the end.
// Two digits at a time, straight into place: three numbers are most of what a row costs.
char* putNumber(char* at, std::int32_t value) {
    static const char pairs[] = "000102030405060708091011121314151617181920212223242526272829303132"
                                "3334353637383940414243444546474849"
                                "505152535455565758596061626364656667686970717273747576777879808182"
                                "8384858687888990919293949596979899";
    std::uint32_t magnitude = static_cast<std::uint32_t>(value);
    if (value < 0) {
        *at++ = '-';
        magnitude = 0u - magnitude; // even the most negative value has one
    }
    std::uint32_t power = 10;
    int digits = 1;
    for (; digits < 10 && magnitude >= power; ++digits)
        power *= 10;
    char* const end = at + digits;
    for (at = end; magnitude >= 100; magnitude /= 100) {
        at -= 2;
        std::memcpy(at, pairs + magnitude % 100 * 2, 2);
    }
    if (magnitude >= 10)
        std::memcpy(at - 2, pairs + magnitude * 2, 2);
    else
        at[-1] = static_cast<char>('0' + magnitude);
    return end;
}

// Writes one row of the listing or the file at `at`, in room enough: the four fields, `bar`
// between them and `end` after the last; returns the end. One function for both forms, so
// that they never drift apart; the sizes are constants, so that every copy is inlined.
template <std::size_t barSize, std::size_t endSize>
char* putRow(char* at, const Product& item, const char (&bar)[barSize],
             const char (&end)[endSize]) {
    at = std::copy_n(bar, barSize - 1, putNumber(at, item.id));
    at = std::copy_n(item.name.data(), item.name.size(), at);
    at = std::copy_n(bar, barSize - 1, at);
    at = std::copy_n(bar, barSize - 1, putNumber(at, item.price));
    return std::copy_n(end, endSize - 1, putNumber(at, item.quantity));
}

// Writes `text` to standard output. On a terminal, each control character (C0, DEL, and C1
// in UTF-8) goes out as "?", so that a name from stock.txt cannot command the terminal; the
// text holds no line feed but those that end its lines.
void show(std::string_view text, bool terminal) {
    const auto put = [](std::string_view part) {
        std::cout.write(part.data(), static_cast<std::streamsize>(part.size()));
    };
    std::size_t from = 0;
    for (std::size_t at = 0; terminal && at < text.size(); ++at) {
        const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
        const bool c1 = byte(at) == 0xc2 && at + 1 < text.size() && (byte(at + 1) & 0xe0) == 0x80;
        if ((byte(at) < 0x20 && byte(at) != '\n') || byte(at) == 0x7f || c1) {
            put(text.substr(from, at - from));
            put("?");
            at += c1 ? 1 : 0;
            from = at + 1;
        }
    }
    put(text.substr(from));
}

} // namespace

void Money::add(std::int64_t amount) {
    const std::uint64_t part = static_cast<std::uint64_t>(amount);
    low += part;
    high += (low < part ? 1 : 0) + (amount < 0 ? ~std::uint64_t{0} : 0);
}

char* Money::print(char* at) const {
    std::uint64_t upper = high, lower = low;
    if (high >> 63) {
        *at++ = '-';
        lower = ~low + 1; // the magnitude: even the most negative total has one
        upper = ~high + (lower == 0 ? 1 : 0);
    }
    char digits[40];
    char* first = digits + sizeof digits;
    do {
        // Divides the 128 bits by 10, 32 bits at a time below the upper half.
        std::uint64_t rest = upper % 10;
        upper /= 10;
        const std::uint64_t middle = rest << 32 | lower >> 32;
        rest = middle % 10;
        const std::uint64_t bottom = rest << 32 | (lower & 0xffffffffu);
        lower = (middle / 10) << 32 | bottom / 10;
        *--first = static_cast<char>('0' + bottom % 10);
    } while (upper != 0 || lower != 0);
    return std::copy(first, digits + sizeof digits, at);
}

namespace {

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

void Stock::read() {
    changed();
    count = 0;
    bool whole = false;
    try {
        whole = loadFile();
    } catch (const std::bad_alloc&) {
        // A line too long to hold: what was loaded before it stays.
    }
    held = sys::hold(held); // read no more
    loadFailed = !whole;
    if (loadFailed)
        std::cout << "could not read 'stock.txt'; saving is off until 'read' succeeds\n";
    else
        unsaved = false;
}

// Fills the table from stock.txt. False when something is there but could not be read whole;
// no file at all, or a link to none, is an empty table.
bool Stock::loadFile() {
    sys::close(held);
    held = -1;
    known = sys::FileId();
    sys::Look seen;
    held = sys::openToRead(sys::resolve(fileName), seen);
    known = seen.id;
    if (held < 0)
        return seen.kind == sys::Kind::none;
    char block[1 << 16];
    bool room = true;
    long long got = 0;
    Digest bytes; // of the whole file, past the products that the table has no room for too
    line.clear();
    for (std::uint64_t at = 0; (got = sys::readAt(held, block, sizeof block, at)) > 0; at += got) {
        bytes.add(block, static_cast<std::size_t>(got));
        // A line ends at a line feed, a carriage return, or both; the blank "line" between
        // the two of a pair holds no record.
        const char* const stop = block + got;
        for (const char* from = block; room;) {
            const char* end =
                std::find_if(from, stop, [](char c) { return c == '\n' || c == '\r'; });
            if (line.size() + static_cast<std::size_t>(end - from) > maxLine)
                return false; // beyond what a 32-bit cursor can index
            line.append(from, end);
            if (end == stop)
                break;
            room = loadLine();
            from = end + 1;
        }
    }
    // A read error is not the end of the file: the line it cut short is not loaded.
    if (got < 0)
        return false;
    if (room)
        loadLine();
    digest = bytes.value();
    return true;
}

// Loads the record in `line`, if it holds one, and empties `line`. False once the table is
// full, so that the load stops.
bool Stock::loadLine() {
    if (line.find('|') == std::string::npos) {
        line.clear();
        return true; // a blank or stray line holds no record
    }
    if (count == capacity) {
        std::cout << "only the first 10000 items of 'stock.txt' were loaded; saving will drop "
                     "the rest\n";
        return false;
    }
    Product& item = items[count];
    cursor = 0;
    item.id = readNumberField();
    const std::size_t bar = line.find('|', cursor);
    item.name.assign(line, cursor, bar - cursor);
    cursor = static_cast<std::int32_t>(bar == std::string::npos ? line.size() : bar + 1);
    item.price = readNumberField();
    item.quantity = readNumberField();
    ++count;
    line.clear();
    return true;
}

// Reads the number at `cursor` up to its closing "|" or the end of the line, and steps past
// the "|". Characters are not checked: each adds its code minus '0'. A "-" makes the character
// after it, and all that follow, count negative. Unsigned arithmetic lets a field too long
// for 32 bits wrap around instead of overflowing.
std::int32_t Stock::readNumberField() {
    const std::int32_t end = static_cast<std::int32_t>(line.size());
    std::uint32_t number = 0;
    sign = 1;
    while (cursor < end && line[cursor] != '|') {
        if (line[cursor] == '-') {
            sign = -1;
            ++cursor;
            if (cursor == end || line[cursor] == '|')
                break;
        } else {
            number *= 10;
        }
        number += static_cast<std::uint32_t>((static_cast<signed char>(line[cursor]) - '0') * sign);
        ++cursor;
    }
    if (cursor < end)
        ++cursor;
    return wrapped(number);
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
    if (!overwrite && before.kind != sys::Kind::none && before.id != known)
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
    // file that cannot be kept could not be locked at the next save, which then must not go on.
    const sys::FileId mine = sys::identify(out);
    int kept = -1;
    saved = saved && sys::keep(temporary, mine, kept);
    saved = sys::close(out) && saved;
    const char* const refusal = saved ? place(temporary, target, directory, overwrite) : notSaved;
    if (refusal) {
        sys::close(kept);
        return refusal;
    }
    made.placed = true;
    sys::close(held);
    held = kept;
    known = mine;
    digest = bytes.value();
    // The new table is in place, but is not sure to survive a power cut until this is done.
    return sys::flushDirectory(directory) ? nullptr : notSaved;
}

// Puts the saved temporary file in place of stock.txt at `target`, under the lock that every
// copy takes on the file at stock.txt (the one kept here, or, for a `write` over another, that
// one), so that no other copy can save between the last look and the replacement. A save that
// may not overwrite looks at stock.txt once more, afresh, under the lock; and where there was
// no file, it never replaces one that has appeared since. Returns nullptr when done, or what
// to tell.
const char* Stock::place(const fs::path& temporary, const fs::path& target,
                         const fs::path& directory, bool overwrite) {
    sys::Look other; // the file now at stock.txt, when `write` replaces another
    int locked = held;
    if (overwrite && (sys::look(target).id != known || held < 0)) {
        const int opened = sys::openToRead(target, other);
        if (opened < 0 && other.kind != sys::Kind::none)
            return notSaved;
        locked = sys::hold(opened); // none where the lock needs no file (Windows)
    }
    if (!sys::lock(directory, locked)) {
        if (locked != held)
            sys::close(locked);
        return notSaved;
    }
    const sys::Look now = sys::look(target);
    const char* refusal = changedHere;
    if (locked != held && now.id != other.id)
        refusal = notSaved; // replaced again before the lock was had
    else if (overwrite || !changedElsewhere(target, now)) {
        const bool placed = now.kind == sys::Kind::none ? sys::placeNew(temporary, target)
                                                        : sys::replace(temporary, target);
        refusal = placed ? nullptr : sys::look(target).kind != now.kind ? changedHere : notSaved;
    }
    sys::unlock(locked);
    if (locked != held)
        sys::close(locked);
    return refusal;
}

// Whether stock.txt is now another file than the one last loaded or saved here, or holds
// other bytes. A file that has gone is simply made anew.
bool Stock::changedElsewhere(const fs::path& target, const sys::Look& now) const {
    return now.kind != sys::Kind::none && (now.id != known || !sameBytes(target));
}

// Whether stock.txt at `target`, the file kept here by its identity, still holds the bytes
// last loaded or saved: read again through the kept file where there is one.
bool Stock::sameBytes(const fs::path& target) const {
    sys::Look seen;
    const int file = held >= 0 ? held : sys::openToRead(target, seen);
    Digest bytes;
    char block[1 << 16];
    long long got = -1;
    for (std::uint64_t at = 0; file >= 0 && (got = sys::readAt(file, block, sizeof block, at)) > 0;
         at += static_cast<std::uint64_t>(got))
        bytes.add(block, static_cast<std::size_t>(got));
    if (file != held)
        sys::close(file);
    return got == 0 && bytes.value() == digest && (file == held || seen.id == known);
}

void Stock::saveAndDisplay() {
    write();
    display();
}

void Stock::saveReloadAndDisplay() {
    // Dropped before the save, which leaves them out anyway: so a failed save keeps the work
    // without them, and while stock.txt is still the file just saved, reloading it would give
    // exactly this table, whose text is formatted already.
    dropTombstones();
    if (write() && !stillSaved())
        read();
    display();
}

// Whether stock.txt is still the file just saved here; when memory runs out, it is taken to be.
bool Stock::stillSaved() const {
    try {
        return sys::look(sys::resolve(fileName)).id == known;
    } catch (const std::bad_alloc&) {
        return true;
    }
}

// What a save and reload would leave: the records without id 0, in their order.
void Stock::dropTombstones() {
    changed();
    std::int32_t kept = 0;
    for (cursor = 0; cursor < count; ++cursor) {
        if (items[cursor].id != 0) {
            if (kept != cursor)
                std::swap(items[kept], items[cursor]);
            ++kept;
        }
    }
    count = kept;
}

// Records were changed in place, or replaced: every row is formatted anew when next needed.
void Stock::changed() {
    formatted = 0;
}

// Drops the kept text and its memory, after an allocation failed.
void Stock::forget() {
    std::string().swap(file);
    std::string().swap(listing);
    formatted = 0;
}

// Brings `file`, `listing` and `monies` up to the whole table, in one pass over the records
// that they lack, in place: the strings only ever grow, so that they are zero-filled only then.
void Stock::format() {
    if (formatted == 0) {
        fileSize = 0;
        listingSize = 0;
        monies = Money();
    }
    constexpr std::size_t longest = 3 * 11 + 3 * 3 + 3; // but the name
    std::size_t room = 0;
    for (cursor = formatted; cursor < count; ++cursor)
        room += longest + items[cursor].name.size();
    if (file.size() < fileSize + room)
        file.resize(fileSize + room);
    if (listing.size() < listingSize + room)
        listing.resize(listingSize + room);
    char* line = file.data() + fileSize;
    char* row = listing.data() + listingSize;
    for (cursor = formatted; cursor < count; ++cursor) {
        row = putRow(row, items[cursor], " | ", "\n");
        if (items[cursor].id != 0)
            line = putRow(line, items[cursor], "|", lineEnd);
        monies.add(std::int64_t{items[cursor].price} * items[cursor].quantity);
    }
    fileSize = static_cast<std::size_t>(line - file.data());
    listingSize = static_cast<std::size_t>(row - listing.data());
    formatted = count;
}

void Stock::display() {
    try {
        format();
    } catch (const std::bad_alloc&) {
        // No room for the whole text: the same bytes go out row by row, field by field.
        forget();
    }
    const auto out = [this](std::string_view part) { show(part, terminal); };
    out("id | name | price | qty\n ----------------------\n");
    if (formatted == count) {
        out(std::string_view(listing.data(), listingSize));
    } else {
        monies = Money();
        for (cursor = 0; cursor < count; ++cursor) {
            const Product& item = items[cursor];
            Product numbers; // the row without its name, which goes out on its own
            numbers.set(item.id, "", item.price, item.quantity);
            char row[64];
            char* const end = putRow(row, numbers, " | ", "\n");
            char* const name = std::find(row, end, '|') + 2; // past the id's " | "
            out(std::string_view(row, static_cast<std::size_t>(name - row)));
            out(item.name);
            out(std::string_view(name, static_cast<std::size_t>(end - name)));
            monies.add(std::int64_t{item.price} * item.quantity);
        }
    }
    char footer[80] = "\n";
    char* at = std::to_chars(footer + 1, footer + 12, count).ptr;
    at = std::copy_n(" items\nmonies:", 14, at);
    at = monies.print(at);
    *at++ = '\n';
    out(std::string_view(footer, static_cast<std::size_t>(at - footer)));
}
