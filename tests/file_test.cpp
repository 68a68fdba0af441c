#include "harness.h"

#include <fstream>

namespace fs = std::filesystem;

namespace {

const std::string kTooMany =
    "only the first 10000 items of 'stock.txt' were loaded; saving will drop the rest\n";

const Case kFileCases[] = {
    {"ExampleRoundTrip", "inv write exit", kExample, kStart + kExampleListing + ">>", kExample},
    {"HandEditsListedThenSavedPlain", "inv write read exit",
     "3|nails|2|100|junk\r\n\n|gone|1|1|\n4|screws|1|-5",
     kStart + listing("3 | nails | 2 | 100\n0 | gone | 1 | 1\n4 | screws | 1 | -5\n", "196") +
         ">>" + kExampleListing + ">",
     kExample},
    {"WriteWithoutFileMakesEmptyFile", "write exit", {}, kStart + ">", ""},
    {"TooManyLinesKeepsFirst10000", "read write exit", lines(1, 10001, "|n|1|1|\n"),
     kTooMany + kStart + kTooMany + listing(lines(1, 10000, " | n | 1 | 1\n"), "10000") + ">>",
     lines(1, 10000, "|n|1|1|\n")},
    {"SaveFailsOnDirectory", "write inv exit", kDirectory,
     kStart + kCouldNotSave + ">" + listing("", "0") + ">", kDirectory},
    {"SaveFailsPastFileSizeLimit", "write inv exit", kExample,
     kStart + kCouldNotSave + ">" + kExampleListing + ">", kExample, 0, 20},
};

INSTANTIATE_TEST_SUITE_P(File, EndToEnd, testing::ValuesIn(kFileCases), caseName);

TEST(File, ReadTakesWhatChangedWhileRunning) {
    Dialogue run;
    std::ofstream(run.dir / "stock.txt") << kExample;
    run.start();
    ASSERT_TRUE(run.waitFor(kStart));
    std::ofstream(run.dir / "stock.txt") << "9|bolts|3|3|\n";
    run.send("read\n");
    ASSERT_TRUE(run.waitFor(listing("9 | bolts | 3 | 3\n", "9") + ">"));
    fs::remove(run.dir / "stock.txt");
    run.send("read\n");
    ASSERT_TRUE(run.waitFor(">" + listing("", "0") + ">"));
    run.send("write exit\n");
    EXPECT_EQ(run.finish(), 0);
    EXPECT_EQ(run.file(), "");
}

TEST(File, SaveKeepsLinkAndPermissions) {
    Dialogue run;
    std::ofstream(run.dir / "data.txt") << "3|nails|2|100|\r\n";
    fs::permissions(run.dir / "data.txt", fs::perms(0604));
    fs::create_symlink("data.txt", run.dir / "stock.txt");
    run.start();
    run.send("write exit\n");
    EXPECT_EQ(run.finish(), 0);
    EXPECT_TRUE(fs::is_symlink(run.dir / "stock.txt"));
    EXPECT_EQ(run.file(), "3|nails|2|100|\n");
    EXPECT_EQ(fs::status(run.dir / "data.txt").permissions(), fs::perms(0604));
    EXPECT_EQ(run.strays(), "data.txt ");
}

} // namespace
