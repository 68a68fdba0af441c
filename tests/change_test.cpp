#include "harness.h"

namespace fs = std::filesystem;

namespace {

const std::string kDelete = "Enter id to delete (number): ";
const std::string kEditId = "Enter id to edit (number): ";
const std::string kColumn = "Enter column to edit (1,2,3,4): ";
const std::string kNewId = "Enter new id (number): ";
const std::string kNewName = "Enter new name (word): ";
const std::string kNewPrice = "Enter new price (number): ";
const std::string kNewQuantity = "Enter new quantity (number): ";
const std::string kSevens = "7|a|1|1|\n3|nails|2|100|\n7|b|2|2|\n4|screws|1|-5|\n7|c|3|3|\n";
const std::string kWithGhost = "3|nails|2|100|\r\n|ghost|1|1|\n4|screws|1|-5|\n";

const Case kChangeCases[] = {
    {"DeleteSharedIdCompactsInOrder", "delete 7 exit", kSevens,
     kStart + kDelete + kExampleListing + ">", kExample},
    {"DeleteUnknownIdStillDropsTombstones", "new 0 zero 5 5 delete 99 exit", kWithGhost,
     kStart +
         "Enter id (number): Enter name (word): Enter price (number): Enter quantity "
         "(number): " +
         listing(kNails + "0 | ghost | 1 | 1\n" + kScrews + "0 | zero | 5 | 5\n", "221") + ">" +
         kDelete + kExampleListing + ">",
     kExample},
    {"DeleteEverythingLeavesEmptyFile", "delete 3 delete 4 exit", kExample,
     kStart + kDelete + listing(kScrews, "-5") + ">" + kDelete + listing("", "0") + ">", ""},
    {"DeleteRefusesSignsAndWords", "delete -3 x 3 exit", kExample,
     kStart + repeat(kDelete, 3) + listing(kScrews, "-5") + ">", "4|screws|1|-5|\n"},
    {"ColumnPromptAsksUntilOneToFour", "edit 3 0 5 12 x -1 3 7 exit", kExample,
     kStart + kEditId + repeat(kColumn, 6) + kNewPrice +
         listing("3 | nails | 7 | 100\n" + kScrews, "695") + ">",
     "3|nails|7|100|\n4|screws|1|-5|\n"},
    {"EachColumnRefusingSignsAndBars",
     "edit 3 1 -1 30 edit 30 2 a|b tacks edit 30 3 -2 5 edit 30 4 -2 exit", kExample,
     kStart + kEditId + kColumn + kNewId + kNewId +
         listing("30 | nails | 2 | 100\n" + kScrews, "195") + ">" + kEditId + kColumn + kNewName +
         kNewName + listing("30 | tacks | 2 | 100\n" + kScrews, "195") + ">" + kEditId + kColumn +
         kNewPrice + kNewPrice + listing("30 | tacks | 5 | 100\n" + kScrews, "495") + ">" +
         kEditId + kColumn + kNewQuantity + listing("30 | tacks | 5 | -2\n" + kScrews, "-15") + ">",
     "30|tacks|5|-2|\n4|screws|1|-5|\n"},
    {"EditIdToZeroListedNotSaved", "edit 3 1 0 exit", kExample,
     kStart + kEditId + kColumn + kNewId + listing("0 | nails | 2 | 100\n" + kScrews, "195") + ">",
     "4|screws|1|-5|\n"},
    {"EditIdZeroRevivesTombstones", "edit 0 1 9 exit", kWithGhost,
     kStart + kEditId + kColumn + kNewId +
         listing(kNails + "9 | ghost | 1 | 1\n" + kScrews, "196") + ">",
     "3|nails|2|100|\n9|ghost|1|1|\n4|screws|1|-5|\n"},
    {"EditSharedId", "edit 7 4 0 exit", kSevens,
     kStart + kEditId + kColumn + kNewQuantity +
         listing("7 | a | 1 | 0\n" + kNails + "7 | b | 2 | 0\n" + kScrews + "7 | c | 3 | 0\n",
                 "195") +
         ">",
     "7|a|1|0|\n3|nails|2|100|\n7|b|2|0|\n4|screws|1|-5|\n7|c|3|0|\n"},
    {"UnknownIdAsksEverythingAndSaves", "edit 99 2 x exit", kWithGhost,
     kStart + kEditId + kColumn + kNewName +
         listing(kNails + "0 | ghost | 1 | 1\n" + kScrews, "196") + ">",
     kExample},
    {"InputEndsAtColumn", "edit 3 9", kExample, kStart + kEditId + kColumn + kColumn + "\n",
     kExample, 1},
    {"InputEndsAtNewName", "edit 3 2", kExample, kStart + kEditId + kColumn + kNewName + "\n",
     kExample, 1},
    {"FailedSaveInDeleteKeepsWork", "edit 3 4 7 delete 7 inv exit", kSevens,
     kStart + kEditId + kColumn + kNewQuantity + kCouldNotSave +
         listing("7 | a | 1 | 1\n3 | nails | 2 | 7\n7 | b | 2 | 2\n" + kScrews + "7 | c | 3 | 3\n",
                 "23") +
         ">" + kDelete + kCouldNotSave + listing("3 | nails | 2 | 7\n" + kScrews, "9") + ">" +
         listing("3 | nails | 2 | 7\n" + kScrews, "9") + ">",
     kSevens, 0, 10},
    {"FailedSaveInEditKeepsWork", "edit 3 4 7 inv exit", kExample,
     kStart + kEditId + kColumn + kNewQuantity + kCouldNotSave +
         listing("3 | nails | 2 | 7\n" + kScrews, "9") + ">" +
         listing("3 | nails | 2 | 7\n" + kScrews, "9") + ">",
     kExample, 0, 10},
};

INSTANTIATE_TEST_SUITE_P(Change, EndToEnd, testing::ValuesIn(kChangeCases), caseName);

TEST(Change, SaveAfterFailedDeleteWritesTableWithoutDeleted) {
    Dialogue run;
    fs::create_directory(run.dir / "stock.txt");
    run.start();
    run.send("new 1 a 1 1 new 2 b 2 2 delete 1\n");
    ASSERT_TRUE(run.waitFor(kDelete + kCouldNotSave + listing("2 | b | 2 | 2\n", "4") + ">"));
    fs::remove(run.dir / "stock.txt");
    run.send("write exit\n");
    EXPECT_EQ(run.finish(), 0);
    EXPECT_EQ(run.file(), "2|b|2|2|\n");
}

} // namespace
