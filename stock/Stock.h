#pragma once

#include "Product.h"

#include <cstdint>
#include <string>
#include <string_view>

// The exact total of any table: 10000 products of two 32-bit numbers need more than 64 bits.
__extension__ typedef __int128 Money;

// The stock table: every product, held in place for the whole run.
class Stock {
public:
    static constexpr std::int32_t capacity = 10000;

    Product items[capacity];
    std::int32_t count = 0;
    std::int32_t cursor = 0; // record position; in read(), character position in `line`
    Money monies = 0;
    std::int32_t sign = 0; // of the number field read() is parsing
    std::string line;
    bool loadFailed = false; // stock.txt could not be read whole, so saving is off
    bool unsaved = false;    // a save failed since the last save or load that succeeded
    std::string text; // a whole listing or file, built before it goes out; kept, so is its memory

    void read();
    bool write(); // false when the save failed, which it reports
    void saveAndDisplay();
    void saveReloadAndDisplay();
    void display();

    bool loadFile();
    bool loadLine();
    std::int32_t readNumberField();
    bool saveFile();
    void appendRecord(const Product& item, std::string_view separator, std::string_view end);
    void dropTombstones();
};

extern Stock stock;
