// A stock.txt of arbitrary bytes must load within the table; saving and loading again must
// give the same table less its deleted records, and the same bytes on every later save.
#include "fuzz.h"
#include "stock/Stock.h"

#include <fstream>
#include <iterator>
#include <sstream>

namespace {

// The records other than tombstones, one line each; names hold neither "|" nor a line break.
std::string table() {
    std::ostringstream lines;
    for (int i = 0; i < stock.count; ++i) {
        const Product& p = stock.items[i];
        if (p.id != 0)
            lines << p.id << '|' << p.name << '|' << p.price << '|' << p.quantity << "|\n";
    }
    return lines.str();
}

std::string saved() {
    stock.write();
    std::ifstream in("stock.txt", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    enterScratchDirectory();
    std::ofstream("stock.txt", std::ios::binary)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    stock.read();
    const std::string loaded = table();
    if (stock.count > Stock::capacity || saved() != loaded)
        std::abort();
    stock.read();
    if (table() != loaded || saved() != loaded)
        std::abort();
    return 0;
}
