#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

// Stands for a stock.txt that is a directory, before and after a run.
extern const std::string kDirectory;

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
extern const std::string kStart;
// The listing of a table whose rows are given as the program prints them.
std::string listing(const std::string& rows, const std::string& monies);

class EndToEnd : public testing::TestWithParam<Case> {};
std::ostream& operator<<(std::ostream& os, const Case& c);
std::string caseName(const testing::TestParamInfo<Case>& info);
