// Whole sessions of the real binary, each run through the shell in a fresh directory.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace fs = std::filesystem;
using File = std::optional<std::string>; // a file's bytes; nullopt when there is none

namespace {

struct Case {
    std::string name;
    File before; // stock.txt before the run
    std::string in, out;
    File after;
    int status;
    std::string pre = "";  // shell words before the program: a limit, a link, another user
    std::string post = ""; // shell run after it, its output appended to the program's
};
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

// `t` types its words into the program only once the program shows a prompt (">" or ": ")
// after its last answer; a word "!cmd" runs cmd at that point instead.
const std::string kShell = R"(t() { n=-1; for a; do i=0
 until s=$(wc -c <../out) && [ $s -gt $n ] && case $(tail -c1 ../out) in [\>\ ]) ;; *) false; esac
 do [ $((i += 1)) -gt 3000 ] && return; sleep 0.01; done
 case $a in !*) eval "${a#?}" ;; *) n=$s; echo "$a" ;; esac; done; }
)";

File slurp(const fs::path& path) { // never opens a FIFO, which would wait for a writer
    if (fs::exists(path) && !fs::is_regular_file(path))
        return "<not a regular file>";
    std::ifstream in(path, std::ios::binary);
    return in ? File(std::string(std::istreambuf_iterator<char>(in), {})) : std::nullopt;
}
std::string times(const std::string& text, int count) {
    std::string all;
    while (count-- > 0)
        all += text;
    return all;
}
std::string list(const std::string& rows, const std::string& monies) {
    return "id | name | price | qty\n ----------------------\n" + rows + "\n" +
           std::to_string(std::count(rows.begin(), rows.end(), '\n')) + " items\nmonies:" + monies +
           "\n";
}
// The listing of "5 a 2 1,6 b 1 1" (rows of single-word fields), and the prompt after it.
std::string L(std::string rows, const std::string& monies) {
    std::string text;
    for (char c : rows + ",")
        text += c == ' ' ? " | " : c == ',' ? "\n" : std::string(1, c);
    return list(text, monies) + ">";
}

// clang-format off
const std::string kHelp = "help: detailed information\ninv: displays stock information\nread: "
 "reads from 'stock.txt' file\nwrite: saves to 'stock.txt' file\nnew: adds a new product\ndelete: "
 "deletes products\nedit: edits an entry\nexit: exits the program\n", kStart = "----------\n"
 "Quillane\n----------\n>help\n" + kHelp + ">", kId = "Enter id (number): ", kName = "Enter name "
 "(word): ", kPrice = "Enter price (number): ", kQty = "Enter quantity (number): ", kAsked = kId +
 kName + kPrice + kQty, kDel = "Enter id to delete (number): ", kEdit = "Enter id to edit "
 "(number): ", kCol = "Enter column to edit (1,2,3,4): ", kNewId = "Enter new id (number): ",
 kNewName = "Enter new name (word): ", kNewPrice = "Enter new price (number): ", kNewQty =
 "Enter new quantity (number): ";
const std::string kSave = "could not save 'stock.txt'\n", kNoRead = "could not read 'stock.txt'; "
 "saving is off until 'read' succeeds\n", kLost = "the last changes are not saved in 'stock.txt'\n",
 kWarn = "the last changes are not saved in 'stock.txt'; type exit again to leave without them\n",
 kChanged = "not saved: 'stock.txt' was changed since it was last read or written here; 'write' "
 "replaces it, 'read' loads it\n", kLimit = "only the first 10000 items of 'stock.txt' were "
 "loaded; saving will drop the rest\n";
const std::string kExample = "3|nails|2|100|\n4|screws|1|-5|\n", kEx = "3 nails 2 100,4 screws 1 "
 "-5", kCrlf = "3|nails|2|100|\r\n4|screws|1|-5|\r\n", kExtreme = "-2147483648|x|2147483647|"
 "-2147483648|\n", kOnes = times("1|n|1|1|\n", 9999), kSevens = "7|a|1|1|\n3|nails|2|100|\n7|b|2|"
 "2|\n4|screws|1|-5|\n7|c|3|3|\n", kBig = "2147483647 abcdefghijklmnopqrstuvwxyz 2147483647 "
 "-2147483648", kHuge = "1 | " + times("x", 20000000) + " | 1 | 1\n", kEdited = L("8 a 5 1,3 "
 "tacks 2 100,8 b 5 2,4 screws 1 -2,8 c 5 3", "228"), kTmp = "openat(stock.txt.N.tmp, "
 "O_WRONLY|O_CREAT|O_EXCL|O_CLOEXEC, 0600) fchmod(fd, 0640) write(fd, "
 "3|nails|2|100|\\n4|screws|1|-5|\\n5|a|1|1|\\n", kStat = " newfstatat(fd, S_IFREG|0640) "
 "close(fd) ";
// clang-format on

// Input that ends inside a dialogue: nothing changes or is saved, and the status is 1.
Case cut(const std::string& in, const std::string& prompts) {
    std::string name = "InputEndsAfter_" + in;
    std::replace(name.begin(), name.end(), ' ', '_');
    return {name, kCrlf, in, kStart + prompts + "\n", kCrlf, 1};
}

// clang-format off
const Case kCases[] = {
{"CommandWordsAreWholeAndCaseSensitive", {}, "\t inv\r\n\v\fHelp INV foo help exit inv", kStart +
 list("", "0") + ">>>>" + kHelp + ">", {}, 0},
{"HandEditedFileLoadsLenientlyAndSavesClean", "3|nails|2|100|junk\r\n\n  "
 "\r7|hammer\r|gone|1|1|\r\r\n1a|x|2|5-3|\n-5|x|-3|-|\n99999999999|a "
 "b||-2147483649|\n\xff||+1|1\n5|y|1|-", "inv write exit", kStart + list("3 | nails | 2 | 100\n7 "
 "| hammer | 0 | 0\n0 | gone | 1 | 1\n59 | x | 2 | 2\n-5 | x | -3 | 0\n1215752191 | a b | 0 | "
 "2147483647\n-49 |  | -49 | 1\n5 | y | 1 | 0\n", "156") + ">>", "3|nails|2|100|\n7|hammer|0|0|\n"
 "59|x|2|2|\n-5|x|-3|0|\n1215752191|a b|0|2147483647|\n-49||-49|1|\n5|y|1|0|\n", 0},
{"LoadKeepsTheFirst10000AndTotalsThemExactly", times(kExtreme, 10000) + "7|cut|1|1|\n", "new 7 x "
 "1 1 read exit", kLimit + kStart + kAsked + "stock is full (10000 items): product not added\n>" +
 kLimit + list(times("-2147483648 | x | 2147483647 | -2147483648\n", 10000), "-4611686016279904256"
 "0000") + ">", times(kExtreme, 10000) + "7|cut|1|1|\n", 0},
{"CarriageReturnsAtTheEdgeOfA64KiBBlock", times("1|n|1|1|\n", 7280) + "2|mmmmmmmm|1|1|\r\n3|x|1|1|"
 "\r", "write exit", kStart + ">", times("1|n|1|1|\n", 7280) + "2|mmmmmmmm|1|1|\n3|x|1|1|\n", 0},
{"FullTableWithBlankLineLoadsSilentlyAndTakesOneMore", kOnes + "2|m|1|1|\n\n", "delete 2 new 3 x "
 "1 1 exit", kStart + kDel + list(times("1 | n | 1 | 1\n", 9999), "9999") + ">" + kAsked + list(
 times("1 | n | 1 | 1\n", 9999) + "3 | x | 1 | 1\n", "10000") + ">", kOnes + "3|x|1|1|\n", 0},
{"NumbersWithin32BitsAndSignOnlyForQuantity", kExample, "new x 1.5 +3 1,000 -1 exit 2147483648 "
 "2147483647 a|b exit -0 1.0 2 +4 -2147483649 2147483648 -2147483648\nnew\n0\nghost\n007\n-\n"
 "exit\n", kStart + times(kId, 8) + times(kName, 2) + times(kPrice, 3) + times(kQty, 4) + L(kEx +
 ",2147483647 exit 2 -2147483648", "-4294967101") + kAsked + L(kEx + ",2147483647 exit 2 "
 "-2147483648,0 ghost 7 0", "-4294967101"), kExample + "2147483647|exit|2|-2147483648|\n", 0},
{"DeleteTakesEveryMatchAndEveryTombstone", kSevens, "delete -3 7 new 0 zero 5 5 delete 99 delete "
 "3 delete 4", kStart + kDel + kDel + L(kEx, "195") + kAsked + L(kEx + ",0 zero 5 5", "220") + kDel
 + L(kEx, "195") + kDel + L("4 screws 1 -5", "-5") + kDel + list("", "0") + ">\n", "", 0},
{"EditChangesTheChosenColumnOfEveryMatch", kSevens, "edit 7 0 5 x -1 1 -1 8 edit 3 2 a|b tacks "
 "edit 8 3 -2 5 edit 4 4 -2 edit 99 2 x exit", kStart + kEdit + times(kCol, 5) + kNewId + kNewId +
 L("8 a 1 1,3 nails 2 100,8 b 2 2,4 screws 1 -5,8 c 3 3", "209") + kEdit + kCol + kNewName +
 kNewName + L("8 a 1 1,3 tacks 2 100,8 b 2 2,4 screws 1 -5,8 c 3 3", "209") + kEdit + kCol +
 kNewPrice + kNewPrice + L("8 a 5 1,3 tacks 2 100,8 b 5 2,4 screws 1 -5,8 c 5 3", "225") + kEdit +
 kCol + kNewQty + kEdited + kEdit + kCol + kNewName + kEdited, "8|a|5|1|\n3|tacks|2|100|\n8|b|5|2|"
 "\n4|screws|1|-2|\n8|c|5|3|\n", 0},
{"CommandsInEveryOrderKeepListingAndFileTrue", kExample, "new 5 a 1 1 edit 5 3 2 new 6 b 1 1 "
 "delete 3 new 7 c 1 1 read edit 7 2 z delete 4 edit 6 1 0 new " + kBig + " read new 8 h 1 1 inv "
 "exit", kStart + kAsked + L(kEx + ",5 a 1 1", "196") + kEdit + kCol + kNewPrice + L(kEx +
 ",5 a 2 1", "197") + kAsked + L(kEx + ",5 a 2 1,6 b 1 1", "198") + kDel + L("4 screws 1 -5,5 a 2 "
 "1,6 b 1 1", "-2") + kAsked + times(L("4 screws 1 -5,5 a 2 1,6 b 1 1,7 c 1 1", "-1"), 2) + kEdit +
 kCol + kNewName + L("4 screws 1 -5,5 a 2 1,6 b 1 1,7 z 1 1", "-1") + kDel + L("5 a 2 1,6 b 1 1,7 "
 "z 1 1", "4") + kEdit + kCol + kNewId + L("5 a 2 1,0 b 1 1,7 z 1 1", "4") + kAsked + L("5 a 2 "
 "1,0 b 1 1,7 z 1 1," + kBig, "-4611686016279904252") + L("5 a 2 1,7 z 1 1," + kBig, "-46116860162"
 "79904253") + kAsked + times(L("5 a 2 1,7 z 1 1," + kBig + ",8 h 1 1", "-4611686016279904252"), 2),
 "5|a|2|1|\n7|z|1|1|\n2147483647|abcdefghijklmnopqrstuvwxyz|2147483647|-2147483648|\n8|h|1|1|\n", 0}
 ,
{"FailedSavesLeaveFileAndKeepWork", kExample, "new 5 a 1 1 edit 3 4 7 delete 4 write exit exit",
 kStart + kAsked + kSave + L(kEx + ",5 a 1 1", "196") + kEdit + kCol + kNewQty + kSave + L(
 "3 nails 2 7,4 screws 1 -5,5 a 1 1", "10") + kDel + kSave + L("3 nails 2 7,5 a 1 1", "15") + kSave
 + ">" + kWarn + ">", kExample, 1, "ulimit -f 0;"},
{"SaveKeepsLinksFollowedFromTheirOwnDirectoryAndPermissions", {}, "write exit", kStart + ">mine\n"
 "data\ndata.tmp\nlink\n604 regular file\n777 symbolic link\n777 symbolic link\n", "3|nails|2|100|"
 "\n", 0,
 R"(mkdir ../d; printf '3|nails|2|100|\r\n' >../d/data; chmod 604 ../d/data; echo mine >../d/x
 mv ../d/x ../d/data.tmp; ln -s data ../d/link; ln -s ../d/link stock.txt;)", "cat ../d/data.tmp; "
 "ls ../d; stat -c '%a %F' ../d/data ../d/link stock.txt"},
{"ReadOnlyFileIsNotReplacedAndEachNewChangeWarnsAgain", kExample, "new 5 a 1 1 exit new 6 b 1 1 "
 "exit write foo exit", kStart + kAsked + kSave + L(kEx + ",5 a 1 1", "196") + kWarn + ">" + kAsked
 + kSave + L(kEx + ",5 a 1 1,6 b 1 1", "197") + kWarn + ">" + kSave + ">>444\n", kExample, 1,
 "chmod 444 stock.txt;", "stat -c %a stock.txt"},
{"FileOthersOwnIsNotReplaced", kExample, "write exit exit", kStart + kSave + ">" + kWarn + ">",
 kExample, 1, "$U"},
{"UnreadableFileTurnsSavingOff", kExample, "read write", kNoRead + kStart + kNoRead + list("", "0")
 + ">" + kSave + ">\n" + kLost + "200\n", kExample, 1, "chmod 200 stock.txt; $U", "stat -c %a "
 "stock.txt"},
{"FifoIsNeverOpenedAndPromptsShowBeforeEachWait", {}, "", kNoRead + kStart + kId + kId + kName +
 kPrice + kQty + kSave + L("5 a 1 1", "1") + kSave + ">" + L("9 bolts 3 3", "9") + kAsked + L(
 "9 bolts 3 3,6 b 1 1", "10"), "9|bolts|3|3|\n6|b|1|1|\n", 0, R"(mkfifo stock.txt; t new x 5 a 1 1 \
 write '![ -p stock.txt ] && rm stock.txt && echo "9|bolts|3|3|" >stock.txt' \
 read new 6 b 1 1 exit |)"
 },
{"ReadErrorKeepsWhatWasReadButNotTheLineItCut", times("1|abcdef|1|1|\n", 5000), "inv write",
 kNoRead + kStart + list(times("1 | abcdef | 1 | 1\n", 4681), "4681") + ">" + kSave + ">\n" + kLost,
 times("1|abcdef|1|1|\n", 5000), 1, "ASAN_OPTIONS=detect_leaks=0 strace -fo /dev/null -P "
 "stock.txt -e inject=read:error=EIO:when=2"},
{"FaultLiftedWhileRunningAndOthersTemporaryKept", kExample, "", kStart + kAsked + kSave + L(kEx +
 ",5 a 1 1", "196") + kWarn + ">>" + kSave + ">" + kWarn + ">" + L(kEx + ",5 a 1 1", "196") +
 "mine\n", kExample + "5|a|1|1|\n", 0,
 R"(echo mine >../mine; ln -s ../mine stock.txt.tmp; t '!mv stock.txt ../k
 mkdir stock.txt' new 5 a 1 1 exit '!rmdir stock.txt' write '!mv stock.txt ../k; mkdir stock.txt' \
 write exit '!rmdir stock.txt; mv ../k stock.txt' read exit |)", "cat stock.txt.tmp; rm "
 "stock.txt.tmp"},
{"TwoCopiesSavingAtOnceAlwaysLeaveAWholeTable", times("1|n|1|1|\n", 2000), times("write ", 300) +
 "exit", kStart + times(">", 300), times("1|n|1|1|\n", 2000), 0, "cp stock.txt ../s; $Q <../in "
 ">/dev/null & while kill -0 $! 2>/dev/null; do cmp -s stock.txt ../s || echo torn; done &"},
{"SaveIsPrivateThenOnDiskThenInPlace", kExample, "new 5 a 1 1 new 6 b 1 1 exit", kStart + kAsked +
 kSave + L(kEx + ",5 a 1 1", "196") + kAsked + L(kEx + ",5 a 1 1,6 b 1 1", "197") + "openat(stock."
 "txt, O_RDONLY|O_NONBLOCK|O_CLOEXEC)" + kStat + kTmp + ", 39) fsync(fd) = -1 EIO (Input/output "
 "error) (INJECTED)" + kStat + "unlink(stock.txt.N.tmp) " + kTmp + "6|b|1|1|\\n, 48) fsync(fd)" +
 kStat + "rename(stock.txt.N.tmp, stock.txt) openat(., O_RDONLY|O_CLOEXEC|O_DIRECTORY) fsync(fd) "
 "close(fd) \n", kExample + "5|a|1|1|\n6|b|1|1|\n", 0, "chmod 640 stock.txt; Q=$P; strace -fs99 "
 "-o ../trace -e trace=openat,newfstatat,fchmod,write,fsync,close,rename,unlink -e "
 "inject=fsync:error=EIO:when=1",
 R"(awk '/"stock/ && !p { p = $1 } $1 == p' ../trace | sed -E '/write\(1,|fstatat\((0|AT_FDCWD)/d
 /^[0-9]+ +[-+]/d; s/^[0-9]+ +//; s/stock\.txt\.[0-9]+\.tmp/stock.txt.N.tmp/g; s/"|AT_FDCWD, //g
 s/\(([0-9]+)([,)])/(fd\2/; s/, \{st_mode=([^,]*),.*\}, AT_EMPTY_PATH/\1/; s/ += / = /
 s/ = [0-9]+$//' | tr '\n' ' '; echo; rm ../trace)"},
{"InterruptedSaveRemovesItsTemporaryFile", kExample, "new 5 a 1 1 exit", kStart + kAsked, kExample,
 130, R"(Q=$P; (i=0; until ls stock.txt.*.tmp || [ $((i += 1)) -gt 3000 ]; do sleep 0.01
 done >/dev/null 2>&1; pkill -INT -fx "$T/plain") &
 strace -fo /dev/null -e inject=fsync:delay_enter=2000000)"
 },
{"MemoryRunsOutWhileListing", "1|" + times("x", 20000000) + "|1|1|\n", "new 5 a 1 1 inv exit exit",
 kStart + kAsked + kSave + times(list(kHuge + "5 | a | 1 | 1\n", "2") + ">", 2) + kWarn + ">", "1|"
 + times("x", 20000000) + "|1|1|\n", 1, "Q=$P; ulimit -v 78000;"},
{"OutputLostToAFullDiskEndsWith1", {}, "new 5 a 1 1 exit", "640\n", "5|a|1|1|\n", 1, "umask 026; "
 "exec >/dev/full;", "stat -c %a stock.txt"},
{"HandEditsAreNeverOverwrittenUnlessWritten", {}, "", kStart + kAsked + L(kEx + ",5 a 1 1", "196") +
 kAsked + kChanged + L(kEx + ",5 a 1 1,6 b 1 1", "197") + kEdit + kCol + kNewQty + kChanged + L(
 "3 nails 2 7,4 screws 1 -5,5 a 1 1,6 b 1 1", "11") + kDel + kChanged + L("3 nails 2 7,5 a 1 1,6 "
 "b 1 1", "16") + kWarn + ">>" + kAsked + L("3 nails 2 7,5 a 1 1,6 b 1 1,7 c 1 1", "17") + kAsked +
 kChanged + L("3 nails 2 7,5 a 1 1,6 b 1 1,7 c 1 1,8 d 1 1", "18") + L("3 nails 2 7,5 a 1 1,6 b 1 "
 "1,7 c 1 1", "17") + kAsked + L("3 nails 2 7,5 a 1 1,6 b 1 1,7 c 1 1,8 d 1 1", "18") + kDel +
 kChanged + L("3 nails 2 7,6 b 1 1,7 c 1 1,8 d 1 1", "17") + kAsked + L("3 nails 2 7,6 b 1 1,7 c "
 "1 1,8 d 1 1,9 e 1 1", "18") + "3|nails|2|7|\n5|a|1|1|\n6|b|1|1|\n7|c|1|1|\n8|d|1|1|\nregular "
 "file\n", "3|nails|2|7|\n6|b|1|1|\n7|c|1|1|\n8|d|1|1|\n9|e|1|1|\n", 0,
 R"(printf '3|nails|2|100|\n4|screws|1|-5|\n' >../data
 ln -s ../data stock.txt; t new 5 a 1 1 '!echo "9|h|1|1|" >>stock.txt' new 6 b 1 1 edit 3 4 7 \
 delete 4 exit write new 7 c 1 1 '!touch -d 2000-01-01 stock.txt' new 8 d 1 1 read new 8 d 1 1 \
 '!cp -p stock.txt ../x; mv ../x stock.txt' delete 5 '!rm stock.txt' new 9 e 1 1 exit |)",
 "cat ../data; stat -c %F stock.txt"},
{"NewFilesAndOtherCopiesAreNeverOverwritten", {}, "", kStart + kAsked + kChanged + L("5 a 1 1", "1")
 + L("1 x 1 1", "1") + kAsked + kChanged + L("1 x 1 1,6 b 1 1", "2") + L("1 x 1 1,2 two 1 1", "2") +
 kSave + ">>", "1|x|1|1|\n2|two|1|1|\n", 0, R"(t '!echo "1|x|1|1|" >stock.txt' new 5 a 1 1 read \
 '!echo new 2 two 1 1 exit | $Q >/dev/null' new 6 b 1 1 read \
 '!rm stock.txt; mkfifo stock.txt' write \
 '!rm stock.txt' write exit |)"},
cut("new", kId), cut("new 5", kId + kName), cut("new 5 a", kId + kName + kPrice), cut("new 5 a 1",
 kAsked), cut("delete", kDel), cut("edit", kEdit), cut("edit 3", kEdit + kCol), cut("edit 3 1",
 kEdit + kCol + kNewId), cut("edit 3 2", kEdit + kCol + kNewName), cut("edit 3 3", kEdit + kCol +
 kNewPrice), cut("edit 3 4", kEdit + kCol + kNewQty),
};
// clang-format on

class Session : public testing::TestWithParam<Case> {};

TEST_P(Session, Run) {
    const Case& c = GetParam();
    if (c.pre.find("$U") != std::string::npos && getuid() != 0)
        GTEST_SKIP() << "only root can run the program as another user";
    char base[] = "/tmp/quillane-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(base));
    const fs::path top = base, dir = top / "run";
    fs::create_directory(dir);
    // Open to the other user, who may not reach the build tree.
    fs::permissions(top, fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(dir, fs::perms::all);
    fs::copy_file(QUILLANE_BINARY, top / "quillane");
    fs::copy_file(QUILLANE_PLAIN, top / "plain"); // without sanitizers: for strace and ulimit -v
    if (c.before)
        std::ofstream(dir / "stock.txt", std::ios::binary) << *c.before;
    std::ofstream(top / "in", std::ios::binary) << c.in;
    // The time-out only ends a hung program; no case depends on timing. After the program,
    // and what the case runs after it, the shell lists what else is left in the directory.
    // clang-format off
    const std::string shell = "T=" + top.string() + "; Q=\"timeout 120 $T/quillane\" P=\"timeout "
        "120 $T/plain\" U='setpriv --reuid=65534 --regid=65534 --clear-groups'\n" + kShell + "cd " +
        dir.string() + " && { (" + c.pre + " $Q; s=$?; wait; exit $s) <../in; echo $? >../status\n"
        + c.post + "\nls -A | grep -vx stock.txt\n} | cat >../out";
    // clang-format on
    std::system(shell.c_str());
    EXPECT_EQ(slurp(top / "status"), std::to_string(c.status) + "\n");
    EXPECT_EQ(slurp(top / "out"), c.out);
    EXPECT_EQ(slurp(dir / "stock.txt"), c.after);
    fs::remove_all(top);
}

INSTANTIATE_TEST_SUITE_P(Quillane, Session, testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

} // namespace
