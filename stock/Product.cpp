#include "Product.h"

#include <utility>

void Product::set(std::int32_t id, std::string name, std::int32_t price, std::int32_t quantity) {
    this->id = id;
    this->name = std::move(name);
    this->price = price;
    this->quantity = quantity;
}
