#pragma once

#include <cstdint>
#include <string>

// One product of the stock table.
class Product {
public:
    std::int32_t id = 0; // 0 marks a record that the next save leaves out
    std::string name;
    std::int32_t price = 0;
    std::int32_t quantity = 0;

    void set(std::int32_t id, std::string name, std::int32_t price, std::int32_t quantity);
};
