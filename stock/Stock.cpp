#include "Stock.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iostream>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace {

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
    resolved = sys::resolve(fileName);
    held = sys::openToRead(resolved, seen);
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
