#include "harness.h"
#include "stock/Stock.h"

#include <limits>
#include <sstream>

namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

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
        stock.count = Stock::capacity;
        for (std::int32_t i = 0; i < stock.count; ++i)
            stock.items[i].set(i, "", i % 2 ? c.oddPrice : c.price,
                               i % 2 ? c.oddQuantity : c.quantity);
        std::ostringstream out;
        std::streambuf* screen = std::cout.rdbuf(out.rdbuf());
        stock.display();
        std::cout.rdbuf(screen);
        EXPECT_TRUE(out.str().rfind(std::string("\n\n10000 items\nmonies:") + c.total + "\n") !=
                    std::string::npos)
            << c.total;
    }
    stock.count = 0;
}

} // namespace
