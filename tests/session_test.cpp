#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace fs = std::filesystem;

namespace {

// Stands for a stock.txt that is a directory, before and after a run.
const std::string kDirectory = "<directory>";

// The real binary in a fresh directory of its own, fed standard input as a test likes.
struct Program {
    fs::path dir;
    std::string out;
    pid_t child = -1;
    int toChild = -1, fromChild = -1;

    Program() {
        char name[] = "/tmp/quillane-test-XXXXXX";
        EXPECT_TRUE(mkdtemp(name));
        dir = name;
        signal(SIGPIPE, SIG_IGN); // a program that has ended must fail a send, not end the tests
    }

    ~Program() {
        if (child > 0) {
            kill(child, SIGKILL);
            finish();
        }
        fs::remove_all(dir);
    }

    void start(long fileSizeLimit = -1) {
        int in[2], output[2];
        ASSERT_EQ(pipe(in) | pipe(output), 0);
        child = fork();
        if (child == 0) {
            if (chdir(dir.c_str()) != 0 || dup2(in[0], 0) < 0 || dup2(output[1], 1) < 0)
                _exit(126);
            close(in[1]);
            close(output[0]);
            signal(SIGPIPE, SIG_DFL);
            if (fileSizeLimit >= 0) {
                // A real short write: past the limit the kernel refuses bytes with EFBIG.
                const rlimit limit{rlim_t(fileSizeLimit), rlim_t(fileSizeLimit)};
                signal(SIGXFSZ, SIG_IGN);
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            execl(QUILLANE_BINARY, "quillane", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(output[1]);
        toChild = in[1];
        fromChild = output[0];
    }

    void send(const std::string& text) {
        // Inputs stay well below what a pipe holds, so this never waits for the program.
        EXPECT_EQ(write(toChild, text.data(), text.size()), ssize_t(text.size()));
    }

    bool readMore() {
        char buffer[65536];
        pollfd ready{fromChild, POLLIN, 0};
        // The time-out only guards against a hung program; no test depends on timing.
        const ssize_t n = poll(&ready, 1, 20000) > 0 ? read(fromChild, buffer, sizeof buffer) : 0;
        out.append(buffer, n > 0 ? std::size_t(n) : 0);
        return n > 0;
    }

    // Reads until the output ends with `text`; false when the program ends first.
    bool waitFor(const std::string& text) {
        while (out.size() < text.size() || out.compare(out.size() - text.size(), text.size(), text))
            if (!readMore())
                return false;
        return true;
    }

    int finish() { // ends standard input; the exit status
        close(toChild);
        while (readMore()) {
        }
        close(fromChild);
        int status = 0;
        waitpid(child, &status, 0);
        child = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    void put(const std::optional<std::string>& stockFile) const {
        if (stockFile == kDirectory)
            fs::create_directory(dir / "stock.txt");
        else if (stockFile)
            std::ofstream(dir / "stock.txt", std::ios::binary) << *stockFile;
    }

    std::optional<std::string> file() const {
        if (fs::is_directory(dir / "stock.txt"))
            return kDirectory;
        std::ifstream in(dir / "stock.txt", std::ios::binary);
        if (!in)
            return std::nullopt;
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::string strays() const { // whatever else is in the directory
        std::string names;
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.path().filename() != "stock.txt")
                names += entry.path().filename().string() + " ";
        return names;
    }
};

// One whole run: its exact output, stock.txt afterwards (nullopt: none) and exit status.
struct Case {
    const char* name;
    std::string input;
    std::optional<std::string> before;
    std::string out;
    std::optional<std::string> after;
    int status = 0;
    long fileSizeLimit = -1;
};
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

const std::string kHelp = "help: detailed information\ninv: displays stock information\n"
                          "read: reads from 'stock.txt' file\nwrite: saves to 'stock.txt' file\n"
                          "new: adds a new product\ndelete: deletes products\n"
                          "edit: edits an entry\nexit: exits the program\n";
const std::string kStart = "----------\nQuillane\n----------\n>help\n" + kHelp + ">";
const std::string kId = "Enter id (number): ", kName = "Enter name (word): ",
                  kPrice = "Enter price (number): ", kQty = "Enter quantity (number): ",
                  kAsked = kId + kName + kPrice + kQty;
const std::string kDel = "Enter id to delete (number): ", kEdit = "Enter id to edit (number): ",
                  kCol = "Enter column to edit (1,2,3,4): ", kNewId = "Enter new id (number): ",
                  kNewName = "Enter new name (word): ", kNewPrice = "Enter new price (number): ",
                  kNewQty = "Enter new quantity (number): ";
const std::string kSave = "could not save 'stock.txt'\n";
const std::string kExample = "3|nails|2|100|\n4|screws|1|-5|\n";
const std::string kSevens = "7|a|1|1|\n3|nails|2|100|\n7|b|2|2|\n4|screws|1|-5|\n7|c|3|3|\n";
const std::string kNails = "3 | nails | 2 | 100\n", kScrews = "4 | screws | 1 | -5\n";

std::string listing(const std::string& rows, const std::string& monies) {
    return "id | name | price | qty\n ----------------------\n" + rows + "\n" +
           std::to_string(std::count(rows.begin(), rows.end(), '\n')) + " items\nmonies:" + monies +
           "\n";
}

std::string times(const std::string& text, int count) {
    std::string all;
    while (count-- > 0)
        all += text;
    return all;
}

const std::string kEmpty = listing("", "0");
const std::string kMaxRow = "1 | x | 2147483647 | 2147483647\n";
const std::string kFull = listing(times("1 | n | 1 | 1\n", 9999) + "2 | last | 1 | 1\n", "10000");
const std::string kAdded = kNails + kScrews + "3 | exit | 2 | -2147483648\n";
const std::string kSevensAs =
    "0 | a | 1 | 1\n" + kNails + "0 | b | 2 | 2\n" + kScrews + "0 | c | 3 | 3\n";

const Case kCases[] = {
    {"CommandWords",
     "\t inv\r\n\v\fHelp INV foo help exit inv",
     {},
     kStart + kEmpty + ">>>>" + kHelp + ">",
     {}},
    {"InputEndsAtPrompt", "inv", {}, kStart + kEmpty + ">\n", {}},
    {"ExampleRoundTrip", "inv write exit", kExample,
     kStart + listing(kNails + kScrews, "195") + ">>", kExample},
    {"HandEditedFile", "inv write exit",
     "3|nails|2|100|junk\r\n\n  \n7|hammer\r\n|gone|1|1|\n1a|x|2|5-3|\n-5|x|-3|-|\n"
     "99999999999|a b||-2147483649|\n\xff||+1|1\n5|y|1|-",
     kStart +
         listing(kNails + "7 | hammer | 0 | 0\n0 | gone | 1 | 1\n59 | x | 2 | 2\n-5 | x | -3 | 0\n"
                          "1215752191 | a b | 0 | 2147483647\n-49 |  | -49 | 1\n5 | y | 1 | 0\n",
                 "156") +
         ">>",
     "3|nails|2|100|\n7|hammer|0|0|\n59|x|2|2|\n-5|x|-3|0|\n1215752191|a b|0|2147483647|\n"
     "-49||-49|1|\n5|y|1|0|\n"},
    {"OverlongFileAtTheLargestTotal", "inv write exit",
     times("1|x|2147483647|2147483647|\n", 10001),
     "only the first 10000 items of 'stock.txt' were loaded; saving will drop the rest\n" + kStart +
         listing(times(kMaxRow, 10000), "46116860141324206090000") + ">>",
     times("1|x|2147483647|2147483647|\n", 10000)},
    {"NewRefusesUntilValid",
     "new x 1.5 +3 1,000 -1 exit 3 a|b exit 2147483648 2 1.0 +4 -2147483649 -2147483648\n"
     "new\n0\nghost\n007\n-\nexit\n",
     kExample,
     kStart + times(kId, 7) + times(kName, 2) + times(kPrice, 2) + times(kQty, 4) +
         listing(kAdded, "-4294967101") + ">" + kAsked +
         listing(kAdded + "0 | ghost | 7 | 0\n", "-4294967101") + ">",
     kExample + "3|exit|2|-2147483648|\n"},
    {"NewOnFullTableAsksThenRefuses", "new 2 last 1 1 new 3 exit 1 1 inv exit",
     times("1|n|1|1|\n", 9999),
     kStart + kAsked + kFull + ">" + kAsked + "stock is full (10000 items): product not added\n>" +
         kFull + ">",
     times("1|n|1|1|\n", 9999) + "2|last|1|1|\n"},
    {"DeleteEveryMatchAndEveryTombstone",
     "delete -3 7 new 0 zero 5 5 delete 99 delete 3 delete 4 exit", kSevens,
     kStart + kDel + kDel + listing(kNails + kScrews, "195") + ">" + kAsked +
         listing(kNails + kScrews + "0 | zero | 5 | 5\n", "220") + ">" + kDel +
         listing(kNails + kScrews, "195") + ">" + kDel + listing(kScrews, "-5") + ">" + kDel +
         kEmpty + ">",
     ""},
    {"EditEachColumn",
     "edit 3 0 5 12 x -1 1 -1 30 edit 30 2 a|b tacks edit 30 3 -2 5 edit 30 4 -2 edit 99 2 x exit",
     kExample,
     kStart + kEdit + times(kCol, 6) + kNewId + kNewId +
         listing("30 | nails | 2 | 100\n" + kScrews, "195") + ">" + kEdit + kCol + kNewName +
         kNewName + listing("30 | tacks | 2 | 100\n" + kScrews, "195") + ">" + kEdit + kCol +
         kNewPrice + kNewPrice + listing("30 | tacks | 5 | 100\n" + kScrews, "495") + ">" + kEdit +
         kCol + kNewQty + listing("30 | tacks | 5 | -2\n" + kScrews, "-15") + ">" + kEdit + kCol +
         kNewName + listing("30 | tacks | 5 | -2\n" + kScrews, "-15") + ">",
     "30|tacks|5|-2|\n4|screws|1|-5|\n"},
    {"EditIdsToAndFromZero", "edit 7 1 0 edit 0 1 8 edit 3 1 0 exit", kSevens,
     kStart + kEdit + kCol + kNewId + listing(kSevensAs, "209") + ">" + kEdit + kCol + kNewId +
         listing("8 | a | 1 | 1\n" + kNails + "8 | b | 2 | 2\n" + kScrews + "8 | c | 3 | 3\n",
                 "209") +
         ">" + kEdit + kCol + kNewId +
         listing("8 | a | 1 | 1\n0 | nails | 2 | 100\n8 | b | 2 | 2\n" + kScrews +
                     "8 | c | 3 | 3\n",
                 "209") +
         ">",
     "8|a|1|1|\n8|b|2|2|\n4|screws|1|-5|\n8|c|3|3|\n"},
    {"SaveFailsOnDirectory", "write inv exit", kDirectory, kStart + kSave + ">" + kEmpty + ">",
     kDirectory},
    {"SavesCutShortKeepFileAndWork", "new 5 a 1 1 edit 3 4 7 delete 4 write exit", kExample,
     kStart + kAsked + kSave + listing(kNails + kScrews + "5 | a | 1 | 1\n", "196") + ">" + kEdit +
         kCol + kNewQty + kSave +
         listing("3 | nails | 2 | 7\n" + kScrews + "5 | a | 1 | 1\n", "10") + ">" + kDel + kSave +
         listing("3 | nails | 2 | 7\n5 | a | 1 | 1\n", "15") + ">" + kSave + ">",
     kExample, 0, 10},
    {"InputEndsInNew", "new 5 a x", kExample, kStart + kId + kName + kPrice + kPrice + "\n",
     kExample, 1},
    {"InputEndsAtColumn", "edit 3 9", kExample, kStart + kEdit + kCol + kCol + "\n", kExample, 1},
    {"InputEndsAtNewName", "edit 3 2", kExample, kStart + kEdit + kCol + kNewName + "\n", kExample,
     1},
};

class Session : public testing::TestWithParam<Case> {};

TEST_P(Session, Run) {
    const Case& c = GetParam();
    Program run;
    run.put(c.before);
    run.start(c.fileSizeLimit);
    run.send(c.input);
    EXPECT_EQ(run.finish(), c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.file(), c.after);
    EXPECT_EQ(run.strays(), "");
}

INSTANTIATE_TEST_SUITE_P(Quillane, Session, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Session, PromptsShowBeforeEachWaitAndWorkOutlivesAFailedSave) {
    Program run;
    run.put(kExample);
    run.start();
    ASSERT_TRUE(run.waitFor(kStart));
    std::ofstream(run.dir / "stock.txt") << "9|bolts|3|3|\n";
    run.send("read\n");
    ASSERT_TRUE(run.waitFor(listing("9 | bolts | 3 | 3\n", "9") + ">"));
    for (const auto& [answer, next] :
         {std::pair{"new\n", kId},
          {"x\n", kId + kId},
          {"5\n", kName},
          {"washers\n", kPrice},
          {"3\n", kQty},
          {"40\n", listing("9 | bolts | 3 | 3\n5 | washers | 3 | 40\n", "129") + ">"}})
        ASSERT_TRUE((run.send(answer), run.waitFor(next))) << next;
    fs::remove(run.dir / "stock.txt");
    fs::create_directory(run.dir / "stock.txt");
    run.send("delete 9\n");
    ASSERT_TRUE(run.waitFor(kDel + kSave + listing("5 | washers | 3 | 40\n", "120") + ">"));
    fs::remove(run.dir / "stock.txt");
    run.send("write exit\n");
    EXPECT_EQ(run.finish(), 0);
    EXPECT_EQ(run.file(), "5|washers|3|40|\n");
}

TEST(Session, SaveKeepsLinkAndPermissions) {
    Program run;
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
