#include "harness.h"
#include "stock/Stock.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <sstream>

namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

std::string displayed() {
    std::ostringstream out;
    std::streambuf* saved = std::cout.rdbuf(out.rdbuf());
    stock.display();
    std::cout.rdbuf(saved);
    return out.str();
}

// Fills every slot: even positions with one price and quantity, odd ones with the other.
void fill(std::int32_t price, std::int32_t quantity, std::int32_t oddPrice,
          std::int32_t oddQuantity) {
    stock.count = Stock::capacity;
    for (std::int32_t i = 0; i < stock.count; ++i) {
        stock.items[i].set(i + 1, "x", i % 2 ? oddPrice : price, i % 2 ? oddQuantity : quantity);
    }
}

TEST(Listing, SmallTablesExactly) {
    stock.count = 0;
    EXPECT_EQ(displayed(), listing("", "0"));

    stock.count = 3;
    stock.items[0].set(3, "nails", 2, 100);
    stock.items[1].set(4, "screws", 1, -5);
    stock.items[2].set(0, "", 7, 0);
    EXPECT_EQ(displayed(),
              listing("3 | nails | 2 | 100\n4 | screws | 1 | -5\n0 |  | 7 | 0\n", "195"));
}

TEST(Listing, TotalsOfFullTablesAtTheExtremes) {
    const struct {
        std::int32_t price, quantity, oddPrice, oddQuantity;
        const char* total;
    } cases[] = {
        {kMax, kMax, kMax, kMax, "46116860141324206090000"},
        {kMin, kMin, kMin, kMin, "46116860184273879040000"},
        {kMin, kMax, kMin, kMax, "-46116860162799042560000"},
        {kMin, kMax, kMax, kMax, "-10737418235000"},
        {100000, 100000, 0, kMin, "50000000000000"},
    };
    for (const auto& c : cases) {
        fill(c.price, c.quantity, c.oddPrice, c.oddQuantity);
        const std::string out = displayed();
        EXPECT_NE(out.find("\n\n10000 items\nmonies:" + std::string(c.total) + "\n"),
                  std::string::npos)
            << c.total;
    }
    stock.count = 0;
}

} // namespace
