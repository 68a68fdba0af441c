#include "EntryForm.h"

#include "stock/Stock.h"

#include <iostream>
#include <limits>
#include <new>
#include <utility>

void EntryForm::showHelp() {
    std::cout << "help: detailed information\n"
                 "inv: displays stock information\n"
                 "read: reads from 'stock.txt' file\n"
                 "write: saves to 'stock.txt' file\n"
                 "new: adds a new product\n"
                 "delete: deletes products\n"
                 "edit: edits an entry\n"
                 "exit: exits the program\n";
}

// Reads the next word of standard input into `word`; false at the end of input, or when it
// cannot be read: a read error, no memory to hold it, or more than the file could hold.
bool EntryForm::nextWord(std::string& word) {
    constexpr std::streamsize longest = std::streamsize{1} << 30;
    std::cin.width(longest + 1);
    if (!(std::cin >> word))
        return false;
    if (word.size() <= static_cast<std::size_t>(longest))
        return true;
    std::cin.setstate(std::ios::badbit);
    return false;
}

// Asks until the answer is a whole decimal number within 32 bits, with a leading "-" only
// when `allowSign`. `valid` stays false only when input has ended.
std::int32_t EntryForm::readNumber(std::string prompt, bool allowSign) {
    constexpr std::int32_t lowest = std::numeric_limits<std::int32_t>::min();
    valid = false;
    while (!valid) {
        std::cout << prompt;
        if (!nextWord(token))
            return 0;
        cursor = 0;
        valid = true;
        value = 0;
        if (allowSign && token[0] == '-')
            cursor = 1;
        // Accumulated downwards, so that the most negative number fits and nothing overflows.
        for (; valid && cursor < static_cast<std::int32_t>(token.size()); ++cursor) {
            const int digit = token[cursor] - '0';
            if (digit < 0 || digit > 9 || value < (lowest + digit) / 10)
                valid = false; // not a digit, or beyond 32 bits: never some other number
            else
                value = value * 10 - digit;
        }
        if (valid && token[0] != '-') {
            if (value == lowest)
                valid = false;
            else
                value = -value;
        }
    }
    return value;
}

// Asks until the answer is a word the stock file can hold, leaving it in `token`.
// `valid` stays false only when input has ended.
void EntryForm::readWord(std::string prompt) {
    valid = false;
    while (!valid) {
        std::cout << prompt;
        if (!nextWord(token))
            return;
        valid = token.find('|') == std::string::npos;
    }
}

// Returns whether a product was appended: not when input ends or the table is full.
bool EntryForm::addProduct() {
    id = readNumber("Enter id (number): ", false);
    if (!valid)
        return false;
    readWord("Enter name (word): ");
    if (!valid)
        return false;
    name = std::move(token); // not copied: a long name needs memory enough for the product
    price = readNumber("Enter price (number): ", false);
    if (!valid)
        return false;
    quantity = readNumber("Enter quantity (number): ", true);
    if (!valid)
        return false;
    // Every question is asked even when the table is full, so that answers typed ahead are
    // never taken for commands.
    if (stock.count == Stock::capacity) {
        std::cout << "stock is full (10000 items): product not added\n";
        return false;
    }
    stock.items[stock.count].set(id, name, price, quantity);
    ++stock.count;
    return true;
}

// Marks every product with the id as deleted; the save and reload that follow remove them.
// Returns false only when input has ended.
bool EntryForm::deleteProduct() {
    id = readNumber("Enter id to delete (number): ", false);
    if (!valid)
        return false;
    for (cursor = 0; cursor < stock.count; ++cursor) {
        if (stock.items[cursor].id == id)
            stock.items[cursor].id = 0;
    }
    return true;
}

// Changes one column of every product with the id: `price` holds the column, `quantity` the
// new number, `token` the new name. Returns false only when input has ended.
bool EntryForm::editProduct() {
    id = readNumber("Enter id to edit (number): ", false);
    if (!valid)
        return false;
    price = 0;
    while (price < 1 || price > 4) {
        price = readNumber("Enter column to edit (1,2,3,4): ", false);
        if (!valid)
            return false;
    }
    if (price == 1)
        quantity = readNumber("Enter new id (number): ", false);
    if (price == 2)
        readWord("Enter new name (word): ");
    if (price == 3)
        quantity = readNumber("Enter new price (number): ", false);
    if (price == 4)
        quantity = readNumber("Enter new quantity (number): ", true);
    if (!valid)
        return false;
    if (price == 2)
        makeRoom();
    for (cursor = 0; cursor < stock.count; ++cursor) {
        Product& item = stock.items[cursor];
        if (item.id != id)
            continue;
        if (price == 1)
            item.id = quantity;
        if (price == 2)
            item.name = token; // into the room made for it: nothing to allocate
        if (price == 3)
            item.price = quantity;
        if (price == 4)
            item.quantity = quantity;
    }
    stock.changed();
    return true;
}

// Makes room for the new name `token` in every product with the id, so that running out of
// memory while doing so leaves every name as it was, and gives back what it took.
void EntryForm::makeRoom() {
    try {
        for (cursor = 0; cursor < stock.count; ++cursor) {
            if (stock.items[cursor].id == id)
                stock.items[cursor].name.reserve(token.size());
        }
    } catch (const std::bad_alloc&) {
        for (cursor = 0; cursor < stock.count; ++cursor) {
            if (stock.items[cursor].id == id)
                stock.items[cursor].name.shrink_to_fit();
        }
        throw;
    }
}
