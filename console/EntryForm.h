#pragma once

#include <cstdint>
#include <string>

// The entry form: the command summary and the dialogues that read products from the user.
class EntryForm {
public:
    std::string token; // the last word read; in "edit", the new name
    std::string name;
    bool valid = false; // whether the last answer was taken; false only once input has ended
    std::int32_t cursor = 0;
    std::int32_t value = 0;
    std::int32_t id = 0;
    std::int32_t price = 0;    // in "edit", the column (1 to 4)
    std::int32_t quantity = 0; // in "edit", the new number

    void showHelp();
    bool nextWord(std::string& word);
    std::int32_t readNumber(std::string prompt, bool allowSign);
    void readWord(std::string prompt);
    // Each dialogue returns whether the table may have changed, so that it is saved and listed.
    bool addProduct();
    bool deleteProduct();
    bool editProduct();
    void makeRoom();
};

extern EntryForm form;
