// readNumber must accept a word exactly when it is a whole decimal number within 32 bits
// (with one leading "-" only where a sign is allowed) and then yield that number.
#include "console/EntryForm.h"
#include "fuzz.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

namespace {

// The number the word stands for, as the standard library reads it; false when none.
bool expected(const std::string& word, bool allowSign, std::int32_t& number) {
    number = 0;
    if (word[0] == '-' && !allowSign)
        return false;
    if (word == "-")
        return true;
    const char* end = word.data() + word.size();
    const auto [stop, error] = std::from_chars(word.data(), end, number);
    return error == std::errc() && stop == end;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    enterScratchDirectory();
    // The first byte chooses the prompt; the first word of the rest is the answer.
    std::string word;
    if (size == 0 || !(std::istringstream(std::string(data + 1, data + size)) >> word))
        return 0;
    const bool allowSign = data[0] & 1;

    std::istringstream in(word + " 7");
    std::ostringstream out;
    std::cin.rdbuf(in.rdbuf());
    std::cout.rdbuf(out.rdbuf());
    const std::int32_t got = form.readNumber("?", allowSign);
    std::cin.clear();
    std::cout.rdbuf(nullptr);

    std::int32_t number = 0;
    const bool accepted = expected(word, allowSign, number);
    if (!form.valid || out.str() != (accepted ? "?" : "??") || got != (accepted ? number : 7))
        std::abort();
    return 0;
}
