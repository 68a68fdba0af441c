#include "EntryForm.h"

#include "LineSource.h"
#include "stock/Stock.h"

#include <iostream>
#include <limits>
#include <new>
#include <utility>

const char* const EntryForm::commands[8][2] = {{"help", "detailed information"},
                                               {"inv", "displays stock information"},
                                               {"read", "reads from 'stock.txt' file"},
                                               {"write", "saves to 'stock.txt' file"},
                                               {"new", "adds a new product"},
                                               {"delete", "deletes products"},
                                               {"edit", "edits an entry"},
                                               {"exit", "exits the program"}};

void EntryForm::showHelp() {
    for (const auto& command : commands)
        std::cout << command[0] << ": " << command[1] << "\n";
}

// Takes the next word of standard input into `word`, after `prompt`, which is printed even when
// the word was typed ahead; false once input has ended: at its end, or when it cannot be read
// (a read error, no memory to hold the word, or more than the file could hold).
bool EntryForm::nextWord(std::string& word, const std::string& prompt) {
    constexpr std::size_t longest = std::size_t{1} << 30;
    // Blank as the classic locale has it: space, tab, line feed, vertical tab, form feed, CR.
    const auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    word.clear();
    bool shown = false, failed = false;
    try {
        for (;;) {
            if (dropping) { // up to its line feed, which may come in a later piece
                const std::size_t end = line.find('\n', next);
                dropping = end == std::string::npos;
                next = dropping ? line.size() : end + 1;
            }
            while (word.empty() && next < line.size() && blank(line[next]))
                ++next;
            if (!shown && next < line.size()) {
                std::cout << prompt << std::flush; // on the screen before the answer is taken
                shown = true;
            }
            const std::size_t start = next;
            while (next < line.size() && !blank(line[next]))
                ++next;
            word.append(line, start, next - start);
            failed = word.size() > longest;
            if (failed)
                break;
            if (next < line.size())
                return true;
            // A word may go on in the next piece of a long line.
            line.clear();
            next = 0;
            const bool read = !exhausted && lines::read(line, prompt, shown, failed);
            shown = shown || !exhausted;
            if (!read) {
                exhausted = true;
                if (!failed && !word.empty())
                    return true; // the last word, with no line end after it
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        failed = true; // a word too large to hold
    }
    unreadable = unreadable || failed;
    if (!shown)
        std::cout << prompt; // asked as ever, though there is nothing left to read
    exhausted = true;
    ended = true;
    return false;
}

// Asks until the answer is a whole decimal number within 32 bits, with a leading "-" only
// when `allowSign`. `valid` stays false only when input has ended.
std::int32_t EntryForm::readNumber(std::string prompt, bool allowSign) {
    constexpr std::int32_t lowest = std::numeric_limits<std::int32_t>::min();
    valid = false;
    while (!valid) {
        if (!nextWord(token, prompt))
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
        if (!nextWord(token, prompt))
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
