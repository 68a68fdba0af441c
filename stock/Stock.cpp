#include "Stock.h"

#include <iostream>

namespace {

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

} // namespace

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
    std::cout << "\n" << count << " items\n"
              << "monies:" << decimal(monies) << "\n";
}
