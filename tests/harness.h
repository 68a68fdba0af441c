#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

// Stands for a stock.txt that is a directory, before and after a run.
inline const std::string kDirectory = "<directory>";

// The real binary in a fresh directory of its own, fed standard input as a test likes.
class Dialogue {
public:
    Dialogue();
    ~Dialogue();
    void start(long fileSizeLimit = -1); // RLIMIT_FSIZE in bytes; -1: none
    // Reads standard output until it ends with `text`; false when the program ends first.
    bool waitFor(const std::string& text);
    void send(const std::string& text);
    int finish(); // ends standard input and waits; the exit status
    void put(const std::optional<std::string>& stockFile) const;
    std::optional<std::string> file() const; // stock.txt; nullopt: none
    std::string strays() const;              // what else is in the directory

    std::filesystem::path dir;
    std::string out; // all of standard output so far

private:
    bool readMore();

    pid_t child = -1;
    int toChild = -1, fromChild = -1;
};

// One whole run, checked for its exact output, stock.txt afterwards and exit status.
struct Case {
    const char* name;
    std::string input;
    std::optional<std::string> before; // stock.txt at the start; nullopt: no file
    std::string out;
    std::optional<std::string> after;
    int status = 0;
    long fileSizeLimit = -1;
};
class EndToEnd : public testing::TestWithParam<Case> {};
std::string caseName(const testing::TestParamInfo<Case>& info);
inline void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

inline const std::string kStart = "----------\nQuillane\n----------\n>help\n"
                                  "help: detailed information\n"
                                  "inv: displays stock information\n"
                                  "read: reads from 'stock.txt' file\n"
                                  "write: saves to 'stock.txt' file\n"
                                  "new: adds a new product\n"
                                  "delete: deletes products\n"
                                  "edit: edits an entry\n"
                                  "exit: exits the program\n"
                                  ">";
inline const std::string kExample = "3|nails|2|100|\n4|screws|1|-5|\n";
inline const std::string kNails = "3 | nails | 2 | 100\n";
inline const std::string kScrews = "4 | screws | 1 | -5\n";
inline const std::string kCouldNotSave = "could not save 'stock.txt'\n";

// The listing of a table whose rows are given as the program prints them.
std::string listing(const std::string& rows, const std::string& monies);
inline const std::string kExampleListing = listing(kNails + kScrews, "195");
// The numbers from `from` to `to`, each followed by `tail`.
std::string lines(int from, int to, const char* tail);
std::string repeat(const std::string& text, int times);
