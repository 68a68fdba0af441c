#include "harness.h"

namespace {

const std::string kId = "Enter id (number): ";
const std::string kName = "Enter name (word): ";
const std::string kPrice = "Enter price (number): ";
const std::string kQuantity = "Enter quantity (number): ";
const std::string kAsked = kId + kName + kPrice + kQuantity;

const std::string kFull =
    listing(lines(1, 9999, " | n | 1 | 1\n") + "10000 | last | 1 | 1\n", "10000");

const Case kNewCases[] = {
    {"ExampleTypedIn",
     "new 3 nails 2 100\nnew\n4\nscrews\n1\n-5\nexit\n",
     {},
     kStart + kAsked + listing(kNails, "200") + ">" + kAsked + listing(kNails + kScrews, "195") +
         ">",
     kExample},
    {"RefusedAnswersAskAgain",
     "new x 1.5 +3 1,000 -1 exit 9 name -3 2 1.0 +4 -7 exit",
     {},
     kStart + repeat(kId, 7) + kName + repeat(kPrice, 2) + repeat(kQuantity, 3) +
         listing("9 | name | 2 | -7\n", "-14") + ">",
     "9|name|2|-7|\n"},
    {"LeadingZerosSignsAnd32BitBounds",
     "new 00000000000012 max 2147483647 -2147483648 new 2147483648 1 min 0 - exit",
     {},
     kStart + kAsked + listing("12 | max | 2147483647 | -2147483648\n", "-4611686016279904256") +
         ">" + kId + kAsked +
         listing("12 | max | 2147483647 | -2147483648\n1 | min | 0 | 0\n", "-4611686016279904256") +
         ">",
     "12|max|2147483647|-2147483648|\n1|min|0|0|\n"},
    {"IdZeroListedNotSaved", "new 0 ghost 1 1 exit", kExample,
     kStart + kAsked + listing(kNails + kScrews + "0 | ghost | 1 | 1\n", "196") + ">", kExample},
    {"RepeatedIdAppended", "new 3 nails 2 100 exit", kExample,
     kStart + kAsked + listing(kNails + kScrews + kNails, "395") + ">",
     kExample + "3|nails|2|100|\n"},
    {"AnyWordButOneWithABarIsAName",
     "new 1 exit 1 1 new 2 a|b delete 1 1 exit",
     {},
     kStart + kAsked + listing("1 | exit | 1 | 1\n", "1") + ">" + kId + kName +
         kAsked.substr(kId.size()) + listing("1 | exit | 1 | 1\n2 | delete | 1 | 1\n", "2") + ">",
     "1|exit|1|1|\n2|delete|1|1|\n"},
    {"FullTableRefusesAfterAsking", "new 10000 last 1 1 new 10001 exit 1 1 inv exit",
     lines(1, 9999, "|n|1|1|\n"),
     kStart + kAsked + kFull + ">" + kAsked + "stock is full (10000 items): product not added\n>" +
         kFull + ">",
     lines(1, 9999, "|n|1|1|\n") + "10000|last|1|1|\n"},
    {"InputEndsAtName", "new 5", kExample, kStart + kId + kName + "\n", kExample, 1},
    {"InputEndsAtRefusedPrice", "new 5 a x", kExample,
     kStart + kId + kName + kPrice + kPrice + "\n", kExample, 1},
};

INSTANTIATE_TEST_SUITE_P(New, EndToEnd, testing::ValuesIn(kNewCases), caseName);

TEST(New, EveryPromptIsShownBeforeTheProgramWaits) {
    Dialogue run;
    run.start();
    ASSERT_TRUE(run.waitFor(kStart));
    run.send("new\n");
    ASSERT_TRUE(run.waitFor(kId));
    run.send("x\n");
    ASSERT_TRUE(run.waitFor(kId + kId));
    for (const auto& [answer, next] : {std::pair{"5\n", kName},
                                       {"washers\n", kPrice},
                                       {"3\n", kQuantity},
                                       {"40\n", std::string(">")}})
        ASSERT_TRUE((run.send(answer), run.waitFor(next))) << next;
    run.send("exit\n");
    EXPECT_EQ(run.finish(), 0);
    EXPECT_EQ(run.file(), "5|washers|3|40|\n");
}

} // namespace
