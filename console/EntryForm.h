#pragma once

#include <cstdint>
#include <string>

// The entry form: the command summary and the dialogues that read products from the user.
class EntryForm {
public:
    // The command words and their lines of the summary, in its order.
    static const char* const commands[8][2];

    std::string line;        // input read and not yet taken as words
    std::size_t next = 0;    // where in `line` the next word is looked for
    bool exhausted = false;  // nothing more is read: `line` holds all that is left
    bool ended = false;      // a word was asked for and none came
    bool unreadable = false; // because the input could not be read
    bool dropping = false;   // the rest of the line goes unread: its dialogue could not go on
    std::string token;       // the last word read; in "edit", the new name
    std::string name;
    bool valid = false; // whether the last answer was taken; false only once input has ended
    std::int32_t cursor = 0;
    std::int32_t value = 0;
    std::int32_t id = 0;
    std::int32_t price = 0;    // in "edit", the column (1 to 4)
    std::int32_t quantity = 0; // in "edit", the new number

    void showHelp();
    bool nextWord(std::string& word, const std::string& prompt);
    std::int32_t readNumber(std::string prompt, bool allowSign);
    void readWord(std::string prompt);
    // Each dialogue returns whether the table may have changed, so that it is saved and listed.
    bool addProduct();
    bool deleteProduct();
    bool editProduct();
    void makeRoom();
};

extern EntryForm form;
