#include "Stock.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <limits>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

namespace {

const char* const fileName = "stock.txt";
constexpr std::size_t maxLine = std::numeric_limits<std::int32_t>::max();
constexpr fs::perms writeBits =
    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;

__extension__ typedef unsigned __int128 Magnitude;

// Plain decimal with a leading "-": no stream prints a 128-bit integer.
std::string decimal(Money number) {
    // Work on the magnitude as unsigned, so that even the most negative value has one.
    Magnitude magnitude = static_cast<Magnitude>(number);
    if (number < 0)
        magnitude = -magnitude;
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    return number < 0 ? "-" + digits : digits;
}

// Two's complement, spelled out: C++17 leaves the conversion of an out-of-range unsigned
// value to the implementation.
std::int32_t wrapped(std::uint32_t number) {
    constexpr std::uint32_t half = 0x80000000u;
    if (number < half)
        return static_cast<std::int32_t>(number);
    return static_cast<std::int32_t>(number - half) + std::numeric_limits<std::int32_t>::min();
}

// The file a save must replace: stock.txt itself, or the file its chain of links ends at,
// so that a link stays a link.
fs::path linkTarget(fs::path path) {
    std::error_code error;
    for (int hops = 0; hops < 40 && fs::is_symlink(path, error); ++hops) {
        const fs::path next = fs::read_symlink(path, error);
        if (error)
            break;
        path = next.is_absolute() ? next : path.parent_path() / next;
    }
    return path;
}

bool canOpenForWriting(const fs::path& path) {
    std::FILE* file = std::fopen(path.c_str(), "r+"); // neither creates nor truncates
    if (file)
        std::fclose(file);
    return file != nullptr;
}

} // namespace

void Stock::read() {
    count = 0;
    bool whole = false;
    try {
        whole = loadFile();
    } catch (const std::bad_alloc&) {
        // A line too long to hold: what was loaded before it stays.
    }
    loadFailed = !whole;
    if (loadFailed)
        std::cout << "could not read 'stock.txt'; saving is off until 'read' succeeds\n";
    else
        unsaved = false;
}

// Fills the table from stock.txt. False when the file is there but could not be read whole;
// no file at all, or a link to none, is an empty table.
bool Stock::loadFile() {
    std::error_code error;
    const fs::file_type type = fs::status(fileName, error).type();
    if (type == fs::file_type::not_found)
        return true;
    // Only a regular file is opened: a FIFO or a device could block or never end.
    if (type != fs::file_type::regular)
        return false;
    const auto close = [](std::FILE* file) { std::fclose(file); };
    const std::unique_ptr<std::FILE, decltype(close)> file(std::fopen(fileName, "r"), close);
    if (!file)
        return false;
    char block[1 << 16];
    bool room = true;
    line.clear();
    while (room) {
        const std::size_t got = std::fread(block, 1, sizeof block, file.get());
        if (got == 0)
            break;
        // A line ends at a line feed, a carriage return, or both; the blank "line" between
        // the two of a pair holds no record.
        const char* const stop = block + got;
        for (const char* at = block; room;) {
            const char* end = std::find_if(at, stop, [](char c) { return c == '\n' || c == '\r'; });
            if (line.size() + static_cast<std::size_t>(end - at) > maxLine)
                return false; // beyond what a 32-bit cursor can index
            line.append(at, end);
            if (end == stop)
                break;
            room = loadLine();
            at = end + 1;
        }
    }
    // A read error is not the end of the file: the line it cut short is not loaded.
    if (std::ferror(file.get()))
        return false;
    if (room)
        loadLine();
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

bool Stock::write() {
    bool saved = false;
    try {
        saved = !loadFailed && saveFile();
    } catch (const std::exception&) {
        // Out of memory, or no source of random names: a failed save, never the end of the run.
    }
    unsaved = !saved;
    if (!saved)
        std::cout << "could not save 'stock.txt'\n";
    return saved;
}

// Writes the table to a new file beside stock.txt, which replaces it only once every byte is
// out: stock.txt always holds one whole table, whoever else is saving at the same time.
bool Stock::saveFile() {
    const fs::path target = linkTarget(fileName);
    std::error_code error;
    const fs::file_status old = fs::status(target, error);
    error.clear(); // a file not there yet is made anew
    const bool exists = old.type() != fs::file_type::not_found;
    // A file with no write bit at all is never replaced, though root could open it anyway.
    if (exists &&
        (old.type() != fs::file_type::regular ||
         (old.permissions() & writeBits) == fs::perms::none || !canOpenForWriting(target)))
        return false;
    // The whole text first: once the file is open, nothing can throw before it is closed.
    text.clear();
    for (cursor = 0; cursor < count; ++cursor) {
        if (items[cursor].id != 0)
            appendRecord(items[cursor], "|", "|\n");
    }
    // "x": a new file of our own, never one that is there already nor the end of a link.
    static std::random_device random;
    std::string temporary;
    std::FILE* file = nullptr;
    for (int attempt = 0; attempt < 8 && !file; ++attempt) {
        temporary = target.string() + "." + std::to_string(random()) + ".tmp";
        file = std::fopen(temporary.c_str(), "wx");
    }
    if (!file)
        return false;
    // A private file stays private while the data goes in.
    if (exists)
        fs::permissions(temporary, old.permissions(), error);
    if (!error)
        std::fwrite(text.data(), 1, text.size(), file);
    bool saved = !error && !std::ferror(file);
    saved = std::fclose(file) == 0 && saved; // the last bytes go out only now
    if (saved) {
        fs::rename(temporary, target, error);
        saved = !error;
    }
    if (!saved)
        fs::remove(temporary, error);
    return saved;
}

void Stock::saveAndDisplay() {
    write();
    display();
}

void Stock::saveReloadAndDisplay() {
    // Reloading after a failed save would bring back the old file and lose every change since.
    if (write())
        read();
    else
        dropTombstones();
    display();
}

// What a save and reload would leave: the records without id 0, in their order.
void Stock::dropTombstones() {
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

void Stock::display() {
    monies = 0;
    text = "id | name | price | qty\n ----------------------\n";
    for (cursor = 0; cursor < count; ++cursor) {
        const Product& item = items[cursor];
        appendRecord(item, " | ", "\n");
        monies += static_cast<Money>(item.price) * item.quantity;
    }
    text += "\n" + std::to_string(count) + " items\nmonies:" + decimal(monies) + "\n";
    std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// One row of the listing or the file: the four fields, `separator` between them and `end`
// after the last. Kept in one place so that the two never drift apart. The row is written in
// place, into room for the longest it can be, which is then cut to what it took.
void Stock::appendRecord(const Product& item, std::string_view separator, std::string_view end) {
    constexpr std::size_t digits = 11; // "-2147483648"
    const std::size_t start = text.size();
    text.resize(start + 3 * digits + 3 * separator.size() + item.name.size() + end.size());
    char* at = text.data() + start;
    const auto put = [&at](std::string_view part) { at = std::copy(part.begin(), part.end(), at); };
    const auto number = [&at](std::int32_t value) {
        at = std::to_chars(at, at + digits, value).ptr;
    };
    number(item.id);
    put(separator);
    put(item.name);
    put(separator);
    number(item.price);
    put(separator);
    number(item.quantity);
    put(end);
    text.resize(static_cast<std::size_t>(at - text.data()));
}
