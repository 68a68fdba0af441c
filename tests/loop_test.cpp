#include "harness.h"

namespace {

const std::string kEmpty = listing("", "0");

const Case kLoopCases[] = {
    {"ExitAtOnce", "exit\n", {}, kStart, {}},
    {"ExitWithoutLineBreak", "exit", {}, kStart, {}},
    {"WordsAfterExitAreNotRun", "exit\ninv\n", {}, kStart, {}},
    {"InvOnEmptyTable", "inv\nexit\n", {}, kStart + kEmpty + ">", {}},
    {"HelpAgain", "help exit", {}, kStart + kStart.substr(kStart.find("help:")), {}},
    {"OtherWordsIgnored", "Help INV exit2 foo\nexit\n", {}, kStart + ">>>>", {}},
    {"AnyWhitespaceSeparates",
     "\t inv\r\n\v\finv\rexit",
     {},
     kStart + kEmpty + ">" + kEmpty + ">",
     {}},
    {"EndOfInputAtPrompt", "", {}, kStart + "\n", {}},
    {"EndOfInputAfterCommand", "inv", {}, kStart + kEmpty + ">\n", {}},
};

INSTANTIATE_TEST_SUITE_P(Loop, EndToEnd, testing::ValuesIn(kLoopCases), caseName);

} // namespace
