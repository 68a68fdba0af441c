#include "EntryForm.h"

#include "stock/Stock.h"

#include <iostream>
#include <limits>

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

// Asks until the answer is a whole decimal number within 32 bits, with a leading "-" only
// when `allowSign`. `valid` stays false only when input has ended.
std::int32_t EntryForm::readNumber(std::string prompt, bool allowSign) {
    constexpr std::int32_t lowest = std::numeric_limits<std::int32_t>::min();
    valid = false;
    while (!valid) {
        std::cout << prompt;
        if (!(std::cin >> token))
            return 0;
        cursor = 0;
        valid = true;
        value = 0;
        if (allowSign && token[0] == '-')
            cursor = 1;
        // Accumulated downwards, so that the most negative number fits and nothing overflows.
        for (; cursor < static_cast<std::int32_t>(token.size()); ++cursor) {
            const int digit = token[cursor] - '0';
            if (token[cursor] < '0' || token[cursor] > '9' || !valid)
                valid = false;
            else if (value < (lowest + digit) / 10)
                valid = false; // beyond 32 bits: refused, never some other number
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
        if (!(std::cin >> token))
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
    name = token;
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
