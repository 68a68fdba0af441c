#pragma once

#include <cstdint>
#include <string>

// The entry form: the command summary and the dialogues that read products from the user.
class EntryForm {
public:
    std::string token;
    std::string name;
    bool valid = false;
    std::int32_t cursor = 0;
    std::int32_t value = 0;
    std::int32_t id = 0;
    std::int32_t price = 0;
    std::int32_t quantity = 0;

    void showHelp();
    std::int32_t readNumber(std::string prompt, bool allowSign);
    void readWord(std::string prompt);
    bool addProduct();
    bool deleteProduct();
    bool editProduct();
};

extern EntryForm form;
