#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

// Stands for a stock.txt that is a directory, before and after a run.
inline const std::string kDirectory = "<directory>";

// One run of the real binary in a fresh directory.
struct Case {
    const char* name;
    std::string input;                 // the whole of standard input
    std::optional<std::string> before; // stock.txt at the start; nullopt: no file
    std::string out;                   // the exact standard output
    std::optional<std::string> after;  // stock.txt at the end; nullopt: no file
    int status = 0;
    long fileSizeLimit = -1; // RLIMIT_FSIZE of the run, in bytes
};

struct Outcome {
    std::string out;
    std::optional<std::string> file;
    int status = -1;    // exit status, or 128 + the signal that ended it
    std::string strays; // entries other than stock.txt left in the directory
};

Outcome runQuillane(const Case& c);

// The real binary in a fresh directory of its own, answered one prompt at a time.
class Dialogue {
public:
    Dialogue();
    ~Dialogue();
    void start(long fileSizeLimit = -1);
    // Reads standard output until it ends with `text`; false when the program ends first.
    bool waitFor(const std::string& text);
    void send(const std::string& text);
    int finish(); // ends standard input and waits; the exit status

    std::filesystem::path dir;
    std::string out; // all of standard output so far
    std::optional<std::string> file() const;
    std::string strays() const;

private:
    pid_t child = -1;
    int toChild = -1, fromChild = -1;
    bool readMore();
};

// The screen up to the first prompt.
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
inline const std::string kCouldNotSave = "could not save 'stock.txt'\n";

// The listing of a table whose rows are given as the program prints them.
std::string listing(const std::string& rows, const std::string& monies);
// The numbers from `from` to `to`, each followed by `tail`.
std::string lines(int from, int to, const char* tail);
std::string repeat(const std::string& text, int times);

class EndToEnd : public testing::TestWithParam<Case> {};
std::ostream& operator<<(std::ostream& os, const Case& c);
std::string caseName(const testing::TestParamInfo<Case>& info);
