// A stock.txt of arbitrary bytes must load within the table, and what a save writes must
// load back to the same table less its deleted records, and save again to the same bytes.
#include "scratch.h"
#include "stock/Stock.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

std::string saved() {
    stock.write();
    std::ifstream in("stock.txt", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool same(const Product& a, const Product& b) {
    return a.id == b.id && a.name == b.name && a.price == b.price && a.quantity == b.quantity;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    enterScratchDirectory();
    std::ofstream("stock.txt", std::ios::binary)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    stock.read();
    if (stock.count < 0 || stock.count > Stock::capacity)
        std::abort();
    std::vector<Product> kept;
    for (int i = 0; i < stock.count; ++i)
        if (stock.items[i].id != 0)
            kept.push_back(stock.items[i]);

    const std::string first = saved();
    stock.read();
    if (stock.count != static_cast<int>(kept.size()))
        std::abort();
    for (int i = 0; i < stock.count; ++i)
        if (!same(stock.items[i], kept[static_cast<std::size_t>(i)]))
            std::abort();
    if (saved() != first)
        std::abort();
    return 0;
}
