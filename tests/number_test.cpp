#include "console/EntryForm.h"

#include <gtest/gtest.h>

#include <iostream>
#include <optional>
#include <sstream>

namespace {

// Gives `input` to readNumber and counts how often it asked.
struct Answer {
    std::int32_t value;
    bool valid;
    int asked;
};

Answer answer(const std::string& input, bool allowSign) {
    std::istringstream in(input);
    std::ostringstream out;
    std::streambuf* savedIn = std::cin.rdbuf(in.rdbuf());
    std::streambuf* savedOut = std::cout.rdbuf(out.rdbuf());
    const std::int32_t value = form.readNumber("N: ", allowSign);
    std::cin.rdbuf(savedIn);
    std::cout.rdbuf(savedOut);
    std::cin.clear();
    return {value, form.valid, static_cast<int>(out.str().size() / 3)};
}

TEST(ReadNumber, AcceptsWholeNumbersWithin32BitsOnly) {
    const std::int32_t refused = 424242; // the answer after a refused word
    const struct {
        const char* word;
        bool allowSign;
        std::int32_t expected;
    } cases[] = {
        {"12", false, 12},
        {"007", false, 7},
        {"00000000000012", false, 12},
        {"0", false, 0},
        {"2147483647", false, 2147483647},
        {"2147483648", false, refused},
        {"2147483650", false, refused},
        {"4294967296", false, refused},
        {"21474836470", false, refused},
        {"99999999999999999999999", false, refused},
        {"-5", false, refused},
        {"-", false, refused},
        {"-5", true, -5},
        {"-0", true, 0},
        {"-", true, 0},
        {"-2147483648", true, -2147483647 - 1},
        {"-2147483649", true, refused},
        {"-21474836480", true, refused},
        {"2147483647", true, 2147483647},
        {"2147483648", true, refused},
        {"--5", true, refused},
        {"5-", true, refused},
        {"+3", true, refused},
        {"1.5", false, refused},
        {"1,000", false, refused},
        {"ab", false, refused},
        {"exit", false, refused},
        {"\xc2\xb2", false, refused},
        {"1\xff", true, refused},
    };
    for (const auto& c : cases) {
        const Answer got = answer(std::string(c.word) + "\n424242", c.allowSign);
        EXPECT_EQ(got.value, c.expected) << c.word;
        EXPECT_EQ(got.asked, c.expected == refused ? 2 : 1) << c.word;
        EXPECT_TRUE(got.valid);
    }
}

TEST(ReadNumber, StopsWhenInputEnds) {
    for (const char* input : {"", "  \n", "x", "1.5 -"}) {
        const Answer got = answer(input, false);
        EXPECT_FALSE(got.valid) << input;
    }
}

} // namespace
