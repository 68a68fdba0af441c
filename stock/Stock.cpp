#include "Stock.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

namespace {

const char* const fileName = "stock.txt";
constexpr std::size_t maxLine = std::numeric_limits<std::int32_t>::max();

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

} // namespace

void Stock::read() {
    std::ifstream file(fileName);
    count = 0;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        // A 32-bit cursor reaches only so far: a line of over 2 GiB is read up to there.
        if (line.size() > maxLine)
            line.resize(maxLine);
        if (line.find('|') == std::string::npos)
            continue; // a blank or stray line holds no record
        if (count == capacity) {
            std::cout << "only the first 10000 items of 'stock.txt' were loaded; saving will drop "
                         "the rest\n";
            break;
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
    }
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
    // The table goes to a file beside stock.txt, which replaces it only once every byte is out:
    // stock.txt always holds the old table or the new one, never a part.
    const fs::path target = linkTarget(fileName);
    const fs::path temporary = target.string() + ".tmp";
    std::error_code error;
    fs::remove(temporary, error); // never write through whatever an earlier run left there
    const bool exists = fs::exists(target, error);
    // A file we could not write in place (read-only, or a directory) is not replaced either.
    bool saved = !exists || std::ofstream(target, std::ios::app).is_open();
    if (saved) {
        std::ofstream file(temporary, std::ios::trunc);
        for (cursor = 0; cursor < count; ++cursor) {
            const Product& item = items[cursor];
            if (item.id != 0)
                file << item.id << '|' << item.name << '|' << item.price << '|' << item.quantity
                     << "|\n";
        }
        file.close();
        saved = !file.fail();
    }
    if (saved && exists) {
        const fs::perms permissions = fs::status(target, error).permissions();
        if (!error)
            fs::permissions(temporary, permissions, error);
        saved = !error;
    }
    if (saved) {
        fs::rename(temporary, target, error);
        saved = !error;
    }
    if (!saved) {
        fs::remove(temporary, error);
        std::cout << "could not save 'stock.txt'\n";
    }
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
    std::cout << "id | name | price | qty\n"
              << " ----------------------\n";
    for (cursor = 0; cursor < count; ++cursor) {
        const Product& item = items[cursor];
        std::cout << item.id << " | " << item.name << " | " << item.price << " | " << item.quantity
                  << "\n";
        monies += static_cast<Money>(item.price) * item.quantity;
    }
    std::cout << "\n"
              << count << " items\n"
              << "monies:" << decimal(monies) << "\n";
}
