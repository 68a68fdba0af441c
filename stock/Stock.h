#pragma once

#include "Product.h"
#include "System.h"

#include <cstdint>
#include <filesystem>
#include <string>

// The exact total of any table: 10000 products of two 32-bit numbers need more than 64 bits,
// so it is kept in two 64-bit halves, as two's complement.
struct Money {
    std::uint64_t low = 0;
    std::uint64_t high = 0;

    void add(std::int64_t amount);
    // Writes the total in plain decimal, with a leading "-", and returns the end.
    char* print(char* at) const;
};

// A 64-bit digest of a file's bytes, fed in pieces of any size: enough to tell an edit that
// kept the file's identity (its size and time put back) from the bytes last loaded or saved.
struct Digest {
    std::uint64_t lanes[4] = {0x60ea27eeadc0b5d6, 0xc2b2ae3d27d4eb4f, 0, 0x61c8864e7a143579};
    std::uint64_t length = 0;
    char stash[32] = {}; // the bytes after the last whole block of 32
    std::size_t stashed = 0;

    void add(const char* from, std::size_t size);
    std::uint64_t value() const;
    void eat(const char* block); // takes in 32 bytes
};

// The stock table: every product, held in place for the whole run.
class Stock {
public:
    static constexpr std::int32_t capacity = 10000;
    static constexpr const char* fileName = "stock.txt";

    Product items[capacity];
    std::int32_t count = 0;
    std::int32_t cursor = 0; // record position; in read(), character position in `line`
    Money monies;            // the total of the records that `listing` holds
    std::int32_t sign = 0;   // of the number field read() is parsing
    std::string line;
    bool loadFailed = false; // stock.txt could not be read whole, so saving is off
    bool unsaved = false;    // a save failed since the last save or load that succeeded
    sys::FileId known;       // stock.txt as last loaded or saved here; saves replace no other
    std::filesystem::path resolved; // where stock.txt's links led then: saves go nowhere else
    std::uint64_t digest = 0;       // of its bytes, so that an edit that keeps its identity is seen
    int held = -1;                  // that file, kept open so that no other can take its identity
    bool terminal = false;          // output goes to a terminal: names are shown without controls
    // Each row is formatted once, when first listed or saved, and kept: a command that changes
    // records in place calls changed(), and only the rows of appended records are added.
    std::string listing;         // in its first `listingSize` bytes, the listing's rows of
    std::size_t listingSize = 0; // the records before `formatted`
    std::string file;            // in its first `fileSize` bytes, their lines of the file,
    std::size_t fileSize = 0;    // id 0 left out
    std::int32_t formatted = 0;  // how many records `listing`, `file` and `monies` cover

    void read();
    bool write(bool overwrite = false); // false when the save failed, which it reports
    void saveAndDisplay();
    void saveReloadAndDisplay();
    void display();
    void changed();

    bool loadFile();
    bool loadLine();
    std::int32_t readNumberField();
    const char* saveFile(bool overwrite);
    const char* place(const std::filesystem::path& temporary, const std::filesystem::path& target,
                      const sys::Look& before, bool overwrite);
    bool changedElsewhere(int file, const sys::Look& now) const;
    bool sameBytes(int file) const;
    bool stillSaved() const;
    bool leadsTo(const std::filesystem::path& target) const;
    void forget();
    void format();
    void dropTombstones();
};

extern Stock stock;
