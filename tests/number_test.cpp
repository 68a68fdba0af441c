#include "console/EntryForm.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace {

// Gives `input` to readNumber; returns its result and how often it asked.
std::pair<std::int32_t, std::size_t> answer(const std::string& input, bool allowSign) {
    std::istringstream in(input);
    std::ostringstream out;
    std::streambuf* keyboard = std::cin.rdbuf(in.rdbuf());
    std::streambuf* screen = std::cout.rdbuf(out.rdbuf());
    const std::int32_t value = form.readNumber("?", allowSign);
    std::cin.rdbuf(keyboard);
    std::cout.rdbuf(screen);
    std::cin.clear();
    return {value, out.str().size()};
}

TEST(ReadNumber, AcceptsWholeNumbersWithin32BitsOnly) {
    const std::int32_t refused = 424242; // the answer after a refused word
    const struct {
        const char* word;
        bool allowSign;
        std::int32_t expected;
    } cases[] = {
        {"007", false, 7},
        {"00000000000012", false, 12},
        {"0", false, 0},
        {"2147483647", false, 2147483647},
        {"2147483648", false, refused},
        {"2147483650", false, refused},
        {"4294967296", false, refused},
        {"21474836470", false, refused},
        {"99999999999999999999", false, refused},
        {"-5", false, refused},
        {"-", false, refused},
        {"-5", true, -5},
        {"-0", true, 0},
        {"-", true, 0},
        {"-2147483648", true, -2147483647 - 1},
        {"-2147483649", true, refused},
        {"--5", true, refused},
        {"5-", true, refused},
        {"+3", true, refused},
        {"1.5", false, refused},
        {"1,000", false, refused},
        {"exit", false, refused},
        {"\xc2\xb2", false, refused},
    };
    for (const auto& c : cases) {
        const auto [value, asked] = answer(std::string(c.word) + "\n424242", c.allowSign);
        EXPECT_EQ(value, c.expected) << c.word;
        EXPECT_EQ(asked, c.expected == refused ? 2u : 1u) << c.word;
        EXPECT_TRUE(form.valid);
    }
    for (const char* input : {"", "  \n", "x", "1.5 -"}) {
        answer(input, false);
        EXPECT_FALSE(form.valid) << "input ends after: " << input;
    }
}

} // namespace
