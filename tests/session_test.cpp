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

// `w` waits until a shell condition holds, polling for up to 30 s (with a command of its own).
// `t` types its words into the program only once it shows a prompt (">" or ": ") after its last
// answer; a word "!cmd" runs cmd at that point instead. `mk N c` writes N bytes of c. `plock`
// holds the lock between copies, a record lock on stock.txt.lock (struct flock as 64-bit Linux
// lays it out), until ../go exists.
const std::string kShell = R"(w() { i=0; until eval "$1"; do [ $((i += 1)) -gt 3000 ] && return 1
 eval "${2:-sleep 0.01}"; done; }
t() { n=-1; for a; do w 's=$(wc -c <../out) && [ $s -gt $n ] && case $(tail -c1 ../out) in
 [\>\ ]) ;; *) false; esac' || return; case $a in !*) eval "${a#?}" ;; *) n=$s; echo "$a" ;; esac
 done; }
mk() { head -c $1 /dev/zero | tr '\0' $2; }
plock() { perl -MFcntl -e 'open F, ">>", "stock.txt.lock" or die; $l = pack "ssx4qqix4", F_WRLCK;
 fcntl F, F_SETLK, $l or die; open T, ">../h"; select undef, undef, undef, .01 until -e "../go"' \
 >/dev/null 2>&1 & w '[ -e ../h ]'; }
)";
// What a case needs beyond POSIX: the word it uses, and a command that fails without it.
const char* const kTools[][2] = {{"strace", "strace -V"}, {"$U", "setpriv --reuid=65534 true"},
    {"script", "script -V"}, {"stat -c", "stat -c %a /"}, {"mknod", "test $(id -u) = 0"},
    {"mkfs", "mkfs.ext4 -V"}, {"ulimit -v", "ulimit -v 9000000"}, {"chown", "test $(id -u) = 0"},
    {"$F", "test -e '" QUILLANE_FAILMALLOC "'"}, {"setfacl", "setfacl -v && setfattr --version"},
    {"perl", "perl -MFcntl -e 1"}, {"plock", "perl -MFcntl -e 1"}, {"prlimit", "prlimit -V"},
    {"tmux", "tmux -V >/dev/null && " QUILLANE_EDITOR}, // and a build with the line editor
    {"bindfs", "bindfs -V && test -c /dev/fuse"}};

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
 "replaces it with this table, 'read' loads it and drops this change\n", kLimit = "only the first "
 "10000 items of 'stock.txt' were loaded; saving will drop the rest\n", kMem = "not enough memory: "
 "the command was not carried out\n>", kUnread = "\ncould not read the input\n";
const std::string kExample = "3|nails|2|100|\n4|screws|1|-5|\n", kEx = "3 nails 2 100,4 screws 1 "
 "-5", kCrlf = "3|nails|2|100|\r\n4|screws|1|-5|\r\n", kExtreme = "-2147483648|x|-2147483648|"
 "-2147483648|\n", kOnes = times("1|n|1|1|\n", 9999), kSevens = "7|a|1|1|\n3|nails|2|100|\n7|b|2|"
 "2|\n4|screws|1|-5|\n7|c|3|3|\n", kEdited = L("8 a 5 1,3 tacks 2 100,8 b 5 2,4 screws 1 -2,8 c 5 "
 "3", "228"), kHuge = kStart + L("5 a 2 3", "6") + kAsked + kSave + L("5 a 2 3,1 x 1 1", "7") +
 kWarn + ">", kMin = "|-2147483648|"
 "2147483647|\n", kM = " | -2147483648 | 2147483647\n", kNames = "10|\x1b[2K\x1b[8mhid" + kMin +
 "100|\x1b]0;title\x07 a\tb\bc" + kMin + "1010|del\x7f c1:\xc2\x9b\xc2\x80" + kMin + "5|\xc3\xa9t"
 "\xc3\xa9 \xff\xc2\xa0\xc2" + kMin + "7|\x1b[2J|-2147483648|4|\n", kShort = times("1 n 1 7,", 59)
 + "1 n 1 7", kLs = "lstat(stock.txt) lstat(stock.txt)", kRo = "O_RDONLY|O_NONBLOCK|"
 "O_NOFOLLOW|O_CLOEXEC) fstat(fd) ", kMade = " block(HUP INT QUIT TERM) openat(tmp, O_WRONLY|"
 "O_CREAT|O_EXCL|O_NOFOLLOW|O_CLOEXEC, 0600) unblock ", kTmp = kMade + "fchown(fd, 65534, "
 "65534) fchmod(fd, 0640) write(fd, 3|nails|2|100|\\n4|screws|1|-5|\\n5|a|1|1|\\n", kKept =
 "fsync(fd) fstat(fd) openat(tmp, " + kRo + "close(fd) openat(stock.txt.lock, O_RDWR|O_NONBLOCK|"
 "O_NOFOLLOW|O_CLOEXEC) ", kLock = "fcntl(fd, F_OFD_SETLK, F_WRLCK whole) lstat("
 "stock.txt) ", kDir = "close(fd) close(fd) openat(., O_RDONLY|O_CLOEXEC|O_DIRECTORY) fsync(fd) "
 "EINVAL close(fd) ";
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
{"LoadKeepsTheFirst10000WidestRowsAndTotalsThemExactly", times(kExtreme, 10000) + times("7|cut|1|"
 "1|\n", 6000), "new 7 x 1 1 delete 5 read exit", kLimit + kStart + kAsked + "stock is full (10000 "
 "items): product not added\n>" + kDel + times(list(times("-2147483648 | x | -2147483648 | "
 "-2147483648\n", 10000), "46116860184273879040000") + ">", 2), times(kExtreme, 10000), 0},
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
{"ShortWritesUnderAFileSizeLimitLeaveFileAndKeepWork", times("1|n|1|1|\n", 60), "new 5 a 1 1 edit "
 "1 4 7 delete 5 write exit exit", kStart + kAsked + kSave + L(times("1 n 1 1,", 60) + "5 a 1 1",
 "61") + kEdit + kCol + kNewQty + kSave + L(kShort + ",5 a 1 1", "421") + kDel + kSave + L(kShort,
 "420") + kSave + ">" + kWarn + ">", times("1|n|1|1|\n", 60), 1, "ulimit -f 1;"},
{"LinksFollowedFromTheirOwnDirectoryToOnlyWhatTheUserMayTouch", {}, "write exit", kStart + ">mine\n"
 "data\ndata.tmp\nlink\nstock.txt.lock\n666 65534:65534 regular file\n777 0:0 symbolic link\n666 "
 "65534:65534 regular empty file\n", "3|nails|2|100|\n",
 0, R"(mkdir ../d; printf '3|nails|2|100|\r\n' >../d/data; chmod 666 ../d/data; echo mine >../d/x
 chgrp 65534 ../d/data; mv ../d/x ../d/data.tmp; ln -s data ../d/link
 ln -s $PWD/../d/link stock.txt
 chmod 733 ../d; chmod 1777 .; $U)", "cat ../d/data.tmp; ls ../d; stat -c '%a %u:%g %F' "
 "../d/data ../d/link ../d/stock.txt.lock"},
{"ReadOnlyFileIsNotReplacedAndEachNewChangeWarnsAgain", kExample, "new 5 a 1 1 exit new 6 b 1 1 "
 "exit edit 5 4 2 exit delete 9 exit write foo exit", kStart + kAsked + kSave + L(kEx + ",5 a 1 1",
 "196") + kWarn + ">" + kAsked + kSave + L(kEx + ",5 a 1 1,6 b 1 1", "197") + kWarn + ">" + kEdit +
 kCol + kNewQty + kSave + L(kEx + ",5 a 1 2,6 b 1 1", "198") + kWarn + ">" + kDel + kSave + L(kEx +
 ",5 a 1 2,6 b 1 1", "198") + kWarn + ">" + kSave + ">>444\n", kExample, 1, "chmod 444 stock.txt;",
 "stat -c %a stock.txt"},
{"UnreadableFilesTurnSavingOffAndOthersFilesAreNeverReplaced", kExample, "", kNoRead + kStart +
 kNoRead + list("", "0") + ">" + kSave + ">" + L(kEx, "195") + kSave + ">\n" + kLost + "644\n",
 kExample, 1, "chmod 200 stock.txt; t read write '!chmod 644 stock.txt' read write | $U",
 "stat -c %a stock.txt"},
{"FifoIsNeverOpenedSoItsWriterStaysBlockedAndPromptsShowBeforeEachWait", {}, "", kNoRead + kStart +
 kId + kId + kName + kPrice + kQty + kSave + L("5 a 1 1", "1") + kSave + ">" + L("9 bolts 3 3", "9")
 + kAsked + L("9 bolts 3 3,6 b 1 1", "10"), "9|bolts|3|3|\n6|b|1|1|\n", 0, R"(mkfifo stock.txt
 (echo lost >stock.txt) & w=$!; t new x 5 a 1 1 write '![ -p stock.txt ] && kill $w \
 && rm stock.txt && echo "9|bolts|3|3|" >stock.txt' read new 6 b 1 1 exit |)"},
{"ReadErrorKeepsWhatWasReadButNotTheLineItCut", times("1|abcdef|1|1|\n", 5000), "inv write",
 kNoRead + kStart + list(times("1 | abcdef | 1 | 1\n", 4681), "4681") + ">" + kSave + ">\n" + kLost,
 times("1|abcdef|1|1|\n", 5000), 1, "ASAN_OPTIONS=detect_leaks=0 strace -fo /dev/null -P "
 "stock.txt -e inject=pread64:error=EIO:when=2"},
{"FilesThatAppearOrGoWhileRunningAreNeverOverwritten", {}, "", kStart + kAsked + kChanged + L("5 a"
 " 1 1", "1") + kWarn + ">" + kSave + ">>" + kSave + ">" + kWarn + ">" + L("5 a 1 1", "1"),
 "5|a|1|1|\n", 0, R"(q() { perl -MFcntl -e 'fcntl STDIN, F_SETFL, O_NONBLOCK'; $T/quillane; }
 Q=q; t '!echo "1|x|1|1|" >stock.txt' new 5 a 1 1 exit '!rm stock.txt; mkdir stock.txt' write \
 '!rmdir stock.txt' write '!mv stock.txt ../k; mkdir stock.txt' write exit '!rmdir stock.txt
 mv ../k stock.txt' read exit |)"},
{"SaveIsPrivateOwnedThenOnDiskThenInPlaceUnderTheLock", kExample, "", kStart + kAsked + kSave + L(
 kEx + ",5 a 1 1", "196") + kAsked + L(kEx + ",5 a 1 1,6 b 1 1", "197") + kAsked + kChanged + L(kEx
 + ",5 a 1 1,6 b 1 1,7 c 1 1", "198") + L(kEx + ",5 a 1 1,6 b 1 1,9 h 1 1", "198") + kAsked + L(kEx
 + ",5 a 1 1,6 b 1 1,9 h 1 1,8 d 1 1", "199") + kLs + " openat(stock.txt, " + kRo +
 "lstat(stock.txt) " + kLs + kTmp + ", 39) fsync(fd) EINVAL fstat(fd) close(fd) unlink(tmp) " +
 kLs + kTmp + "6|b|1|1|\\n, 48) " + kKept + "ENOENT openat(stock.txt.lock, O_RDWR|O_CREAT|O_EXCL|"
 "O_NONBLOCK|O_NOFOLLOW|O_CLOEXEC, 0600) fstat(fd) fchown(fd, 65534, 65534) " + kLock +
 "lstat(stock.txt) openat(stock.txt, " + kRo + "close(fd) rename(tmp, stock.txt) " + kDir + kLs +
 " close(fd) " + kLs + " openat(stock.txt, " + kRo + "lstat(stock.txt) ENOENT lstat(stock.txt) "
 "ENOENT" + kMade + "fchmod(fd, 0644) write(fd, 3|nails|2|100|\\n4|screws|1|-5|\\n5|a|1|1|\\n6|"
 "b|1|1|\\n9|h|1|1|\\n8|d|1|1|\\n, 66) " + kKept + "fstat(fd) stat(.) " + kLock + "ENOENT "
 "lstat(stock.txt) ENOENT link(tmp, stock.txt) unlink(tmp) " + kDir + "\n644 0:0\n600 65534:"
 "65534\n", kExample + "5|a|1|1|\n6|b|1|1|\n9|h|1|1|\n8|d|1|1|\n", 0, R"(
 chown 65534:65534 stock.txt; chmod 6640 stock.txt; Q=$P; umask 22
 e=openat,newfstatat,fchown,fchmod,write,fsync,close,rename,link,unlink,fcntl,rt_sigprocmask
 t new 5 a 1 1 new 6 b 1 1 '!echo "9|h|1|1|" >>stock.txt' new 7 c 1 1 read '!rm stock.txt' \
 new 8 d 1 1 exit | strace -fs99 -o ../trace -e inject=fsync:error=EINVAL:when=1+2 -e trace=$e)",
 R"(awk '/"stock/ && !p { p = $1 } $1 == p' ../trace | sed -E '
 /write\(1,|fstatat\(0,|^[0-9]+ +[-+]/d
 s/^[0-9]+ +//; s/stock\.txt\.[0-9]+\.tmp/tmp/g; s/"|AT_FDCWD, //g; s/ += [0-9]+$//
 s/newfstatat\(([^,]*), .*NOFOLLOW\)/lstat(\1)/; s/newfstatat\([0-9]+, , \{.*\)/fstat(fd)/
 s/newfstatat\(\., .*/stat(.)/
 s/rt_sigprocmask\(SIG_BLOCK, \[([A-Z ]*)\].*/block(\1)/; s/rt_sigprocmask.*/unblock/
 s/\(([0-9]+)([,)])/(fd\2/; s/ += -1 ([A-Z]+) .*/ \1/
 s/\{l_type=F_WRLCK, l_whence=SEEK_SET, l_start=0, l_len=0\}/F_WRLCK whole/' | tr '\n' ' '; echo
 rm ../trace; stat -c '%a %u:%g' stock.txt stock.txt.lock)"},
{"FailedLinkRenameOrDirectoryFlushIsAFailedSave", {}, "new 5 a 1 1 new 6 b 1 1 new 7 c 1 1 new 8 d "
 "1 1 exit", kStart + kAsked + kSave + L("5 a 1 1", "1") + kAsked + kSave + L("5 a 1 1,6 b 1 1",
 "2") + kAsked + kSave + L("5 a 1 1,6 b 1 1,7 c 1 1", "3") + kAsked + L("5 a 1 1,6 b 1 1,7 c 1 1,"
 "8 d 1 1", "4"), "5|a|1|1|\n6|b|1|1|\n7|c|1|1|\n8|d|1|1|\n", 0, "Q=$P; strace -fo /dev/null "
 "-e inject=link:error=EEXIST:when=1 -e inject=rename:error=EIO:when=1 -e "
 "inject=fsync:error=EIO:when=3"},
{"SignalsMidSaveRemoveTheTemporaryFileUnlessIgnored", kExample, "new 5 a 1 1 exit", times(kStart +
 kAsked, 4) + kStart + kAsked + L(kEx + ",5 a 1 1", "196") + "130\n143\n129\n131\n", kExample +
 "5|a|1|1|\n", 0, R"(q() { ulimit -c 0; for s in INT TERM HUP QUIT; do
 strace -o /dev/null -e inject=fsync:signal=$s:when=1 $T/plain <../in; echo $? >>../s; done
 trap '' HUP; strace -o /dev/null -e inject=fsync:signal=HUP:when=1 $T/plain; }; Q=q;)",
 "cat ../s"},
{"MemoryRunsOutWithoutLosingAnything", {}, "", kNoRead + kStart + kSave + ">\n" + kLost +
 kStart + kEdit + kCol + kNewId + L("5 a 1 "
 "1,5 b 1 1", "2") + kAsked + L("5 a 1 1,5 b 1 1,5 c 1 1", "3") + kEdit + kCol + kNewName + kMem +
 kAsked + kMem + L("5 a 1 1,5 b 1 1,5 c 1 1", "3"), "5|a|1|1|\n5|b|1|1|\n5|c|1|1|\n", 0, R"(q() {
 { printf 1\|; mk 20000000 x; echo '|1|1|'; } >stock.txt; (ulimit -v 40000; echo write | $P)
 printf '5|a|1|1|\n1|b|1|1|\n' >stock.txt
 { echo edit 1 1 5 new 5 c 1 1; printf 'edit 5 2 '; mk 15000000 z; echo ' delete 5 exit'
 printf 'new 6 '; mk 24000000 y; echo ' 1 1 delete 5'; echo inv exit; } >../in; ulimit -v 57000
 $P <../in; }; Q=q;)"},
{"ClosedOutputEndsWith1AndEachNewFileFollowsTheUmask", {}, "", "640\n", "5|a|1|1|\n6|b|1|1|\n", 1,
 R"(umask 026; mkfifo ../p; exec 4<>../p 5>../p 4<&- >&5 5>&-; { echo new 5 a 1 1
 w '[ -e stock.txt ]'; rm stock.txt; echo new 6 b 1 1 exit; } |)",
 "stat -c %a stock.txt"},
{"NamesCannotCommandATerminalButGoOutWholeElsewhere", kNames, "inv", kStart + list("10 | ?[2K?[8m"
 "hid" + kM + "100 | ?]0;title? a?b?c" + kM + "1010 | del? c1:??" + kM + "5 | \xc3\xa9t\xc3\xa9 "
 "\xff\xc2\xa0\xc2" + kM + "7 | ?[2J | -2147483648 | 4\n", "-18446744073709551616") + ">\n" + kStart
 + list("10 | \x1b[2K\x1b[8mhid" + kM + "100 | \x1b]0;title\x07 a\tb\bc" + kM + "1010 | del\x7f "
 "c1:\xc2\x9b\xc2\x80" + kM + "5 | \xc3\xa9t\xc3\xa9 \xff\xc2\xa0\xc2" + kM + "7 | \x1b[2J | "
 "-2147483648 | 4\n", "-18446744073709551616") + ">\n", kNames, 0, R"(q() {
 script -qec "$T/quillane <../in" /dev/null </dev/null | tr -d '\r'; $T/quillane; }; Q=q;)"},
{"InputThatCannotBeReadEndsWith1", {}, "new 5 a 1 1 new 6\n", kStart + kUnread + "1\n" + kStart +
 kAsked + kSave + L("5 a 1 1", "1") + kId + kName + kUnread + kLost, {}, 1, R"(q() {
 (ulimit -v 60000; $P </dev/zero; echo $?); ulimit -f 0; strace -fo /dev/null -P $T/in \
 -e inject=read:error=EIO:when=2 $P; }; Q=q;)"},
{"NeighboursLinksAndLockFileInASharedDirectoryAreNotFollowed", {}, "", kNoRead + kStart + list("",
 "0") + ">" + kSave + ">" + L("3 nails 2 100", "200") + kAsked + L("3 nails 2 100,5 a 1 1", "201") +
 kAsked + kSave + L("3 nails 2 100,5 a 1 1,6 b 1 1", "202") + kSave + ">" + times(kNoRead + list(
 "", "0") + ">", 2) + L("3 nails 2 100,5 a 1 1", "201") + kAsked + L("3 nails 2 100,5 a 1 1,7 c "
 "1 1", "202") + "1|secret|1|1|\n3|nails|2|100|\n5|a|1|1|\n", {}, 0, R"(chmod 1777 .
 echo '1|secret|1|1|' >../secret; echo '3|nails|2|100|' >../mine; $U ln -s ../secret stock.txt
 t inv write '!rm stock.txt; ln -s ../mine stock.txt' read new 5 a 1 1 '!rm stock.txt
 $U ln -s ../secret stock.txt' new 6 b 1 1 write '!rm stock.txt; ln -s ../mine/x stock.txt' read \
 '!rm stock.txt; ln -s stock.txt stock.txt' read '!rm stock.txt; cp ../mine stock.txt
 $U touch stock.txt.lock; plock' read new 7 c 1 1 '!touch ../go' exit |)",
 "cat ../secret ../mine; rm stock.txt"},
{"AHeldLockFailsASaveAndTheLastLookIsTakenUnderIt", {}, "", kStart + kAsked + L("5 a 1 1", "1") +
 kAsked + kSave + L("5 a 1 1,6 b 1 1", "2") + kAsked + kChanged + L("5 a 1 1,6 b 1 1,7 c 1 1", "3")
 + kDel + kChanged + L("6 b 1 1,7 c 1 1", "2") + kSave + ">" + kWarn + ">" + L("5 a 1 1", "1"),
 "5|a|1|1|\n9", 0, R"(t new 5 a 1 1 '!plock' new 6 b 1 1 '!(w "ls stock.txt.*.tmp"
 printf 9 >>stock.txt; touch ../go) >/dev/null 2>&1 &' new 7 c 1 1 '!cp -p stock.txt ../x
 mv ../x stock.txt; rm ../h ../go; plock; touch ../go' delete 5 '!rm ../h ../go; plock
 (w "ls stock.txt.*.tmp"; cp -p stock.txt ../x; mv ../x stock.txt; touch ../go) >/dev/null 2>&1 &' \
 write exit read exit |)", "[ -e ../h ] || echo kept"},
{"OnlyThoseWhoMayWriteMayLockAndNoneSavesWithoutTheLockOrWhereALinkNowLeads", kExample, "", kStart
 + kAsked + L(kEx + ",5 a 1 1", "196") + kAsked + L(kEx + ",5 a 1 1,6 b 1 1", "197") + kAsked +
 L(kEx + ",5 a 1 1,6 b 1 1,7 c 1 1", "198") + kAsked + L(kEx + ",5 a 1 1,6 b 1 1,7 c 1 1,9 e 1 1",
 "199") + kAsked + kChanged + L(kEx + ",5 a 1 1,6 b 1 1,7 c 1 1,9 e 1 1,12 f 1 1", "200") + kWarn +
 ">1\n1\n0\n660 65533:65534 regular file\n660 65534:65534 regular empty file\n", kExample +
 "5|a|1|1|\n6|b|1|1|\n7|c|1|1|\n9|e|1|1|\n11|11|1|1|\n", 1, R"(chown 65534:0 stock.txt
 chmod 640 stock.txt; ln -s ../made stock.txt.lock; mkdir ../home; chown 65534 ../home
 b() { echo new $1 $1 1 1 | setpriv --reuid=65533 --regid=65534 --clear-groups $T/quillane |
 grep -c 'could not save' >>../b; }
 t new 5 a 1 1 '!rm stock.txt.lock; mkfifo -m 666 stock.txt.lock' new 6 b 1 1 \
 '!rm stock.txt.lock' new 7 c 1 1 '!chmod 660 stock.txt; b 8' new 9 e 1 1 '!plock; b 10
 touch ../go; b 11; mv stock.txt ../real; ln -s ../home/x stock.txt' new 12 f 1 1 exit exit | $U)",
 "cat ../b; mv ../real stock.txt; stat -c '%a %u:%g %F' stock.txt stock.txt.lock; ls .. ../home |"
 " grep -xE 'made|x'"},
{"TwoCopiesOnTwoViewsOfOneFolderLoseNoSaveThatTheyReportedDone", {}, "", "lost: 0 of some\n'stock."
 "txt' is on a FUSE file system, where copies on other computers may overwrite each other's saves"
 "\n", {},
 0, R"(q() { b="bindfs --multithreaded --enable-lock-forwarding -o attr_timeout=0,entry_timeout=0"
 mkdir ../a ../b; $b . ../a && $b . ../b || { echo bindfs could not mount >../skip; return; }
 g() { for i in $(seq 300); do echo read new $(($1 + i)) x 1 1; done; }
 (cd ../a && g 1000 | $T/plain >../oa) & (cd ../b && g 2000 | $T/plain >../ob); wait
 umount ../a ../b; for v in a:1000 b:2000; do awk -v RS='Enter quantity \\(number\\): ' \
 -v b=${v#*:} 'NR > 1 && !/^(not saved|could not save)/ { print b + NR - 1 "|" }' ../o${v%:*}
 done >../saved; echo lost: $(awk -F'|' 'NR == FNR { have[$1]; next } !($1 in have)' stock.txt \
 ../saved | wc -l) of $(grep -q . ../saved && echo some); head -1 ../oa; rm stock.txt; }; Q=q;)"},
{"AFileOnAnotherDeviceIsAnotherFileThoughAllElseIsTheSame", {}, "", kStart + kAsked + L("5 a 1 1",
 "1") + kAsked + kChanged + L("5 a 1 1,7 c 1 1", "2") + L("5 a 1 1", "1"), "5|a|1|1|\n", 0, R"(q() {
 truncate -s 8M ../img; mkfs.ext4 -qI 128 ../img >/dev/null 2>&1; mkdir ../m; ln -s ../m/stock.txt .
 mount -o loop ../img ../m || { echo cannot mount an ext4 image >../skip; return; }
 t new 5 a 1 1 '!sync; cp ../img ../copy; mount -o loop ../copy ../m' new 7 c 1 1 read exit |
 $T/quillane
 s=$?; cp ../m/stock.txt ../s; umount ../m; umount ../m; mv ../s stock.txt; return $s; }; Q=q;)"},
{"EveryAllocationOfEveryCommandFailsCleanlyAsDoesAClose", kExample, "delete 3 new 5 a 1 1 edit 5 2 "
 "a-name-too-long-for-a-short-string read write exit", "1\nstock.txt\nstock.txt.lock\n" + kStart +
 kDel + L("4 "
 "screws 1 -5", "-5") + kAsked +
 L("4 screws 1 -5,5 a 1 1", "-4") + kEdit + kCol + kNewName + times(L("4 screws 1 -5,5 a-name-too-"
 "long-for-a-short-string 1 1", "-4"), 2) + ">", "4|screws|1|-5|\n5|a-name-too-long-for-a-short-"
 "string|1|1|\n", 0, R"(q() { d=../a-directory-with-a-name-too-long-for-a-short-string; mkdir $d
 mv stock.txt $d; cp $d/stock.txt ../0; ln -s $d/stock.txt stock.txt; for n in $(seq 130); do
 cp ../0 $d/stock.txt; QUILLANE_FAIL_MALLOC=$n LD_PRELOAD=$F $T/plain <../in >/dev/null 2>&1; s=$?
 [ $s -lt 2 ] || echo $n: status $s; ls $d | grep -vxE 'stock\.txt(\.lock)?'
 grep -vxE '[0-9]+\|[^|]*\|[0-9]+\|-?[0-9]+\|' $d/stock.txt
 done; cp ../0 $d/stock.txt; echo new 9 e 1 1 exit exit | QUILLANE_FAIL_CLOSE=1 LD_PRELOAD=$F \
 $T/plain | grep -c 'could not save'; ls $d; $o $T/quillane; }; Q=q;)"},
{"SavesSeeEveryByteTakeTheLockAndFailWhenTheirFileCannotBeKept", kExample, "", kStart + kAsked + L(
 kEx + ",5 a 1 1", "196") + kAsked + kChanged + L(kEx + ",5 a 1 1,6 b 1 1", "197") + kDel +
 kChanged + L("3 nails 2 100,5 a 1 1,6 b 1 1", "202") + ">" + kDel + kChanged + L("3 nails 2 100,"
 "5 a 1 1,6 b 1 1", "202") + L("3 nails 2 100,5 a 1 1,6 b 1 1", "202") + kSave + ">>" + kStart +
 kAsked + kSave + L("3 nails 2 100,5 a 1 1,6 b 1 1,7 c 1 1", "203") + L("3 nails 2 100,5 a 1 1,6 b"
 " 1 1", "202") + kAsked + L("3 nails 2 100,5 a 1 1,6 b 1 1,8 d 1 1", "203") + "0\n1\n1\n1\n0\n1\n0"
 "\n3\n", "3|nails|2|100|\n5|a|1|1|\n6|b|1|1|\n8|d|1|1|\n9|x|1|1|\n10|x|1|1|\n", 0, R"(e() {
 cp -p stock.txt ../r; printf $2 | dd of=stock.txt bs=1 seek=$1 conv=notrunc 2>&-
 touch -r ../r stock.txt; }; t new 5 a 1 1 '!e 38 9' new 6 b 1 1 delete 4 write '!e 5 9' delete 9 \
 '!e 5 l' read '!plock' write '!touch ../go' write exit |)", R"(echo new 7 c 1 1 read new 8 d 1 1 \
 exit >../in; prlimit --nofile=7 strace -o /dev/null -e inject=rename:error=EIO:when=1 $T/plain \
 <../in 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; echo $?; i() { echo new $1 x 1 1 exit exit >../in
 shift; strace -o /dev/null "$@" $T/plain <../in | grep -c 'could not save'; }; l=stock.txt.lock
 i 9 -P $l -e inject=openat:error=EBUSY; i 9 -P $l -e inject=openat:error=EMFILE
 i 9 -P stock.txt -e inject=openat:error=EMFILE:when=2; i 9 -e inject=fcntl:error=ENOLCK
 rm ../h ../go; plock; i 10 -P $l -e inject=openat:error=ENOENT:when=1; touch ../go
 rm ../h ../go $l; mknod $l c 1 3; plock; i 10; touch ../go; echo delete 99 exit | strace -o ../t \
 -P stock.txt -e trace=openat $T/plain >/dev/null; grep -c openat ../t; rm ../t)"},
{"AccessListsAndAttributesAreKeptAndNoneInherited", kExample, "", kStart + kAsked + L(kEx + ",5 a "
 "1 1", "196") + kAsked + L(kEx + ",5 a 1 1,6 b 1 1", "197") + "user::rw-\ngroup::r--\nother::---\n"
 "\nuser::rw-\nuser:nobody:r--\ngroup::r--\nmask::r--\nother::---\n\nuser::rw-\nuser:nobody:---\n"
 "group::---\nmask::---\nother::---\n\nuser.note=\"kept\"\n1\n1\n0\n0\n0\n",
 kExample + "5|a|1|1|\n6|b|1|1|\n7|c|1|1|\n", 0, R"(chmod 640 stock.txt; setfacl -dm u:65534:rw .
 t new 5 a 1 1 '!getfacl -cp stock.txt >../acl; setfacl -m u:65534:r stock.txt
 setfattr -n user.note -v kept stock.txt' new 6 b 1 1 exit |)", R"(cat ../acl
 getfacl -cp stock.txt stock.txt.lock; getfattr -d stock.txt | grep user; echo new 7 c 1 1 exit \
 exit >../in; i() { strace -o /dev/null -e inject=$1 $T/plain <../in | grep -c 'could not save'
 }; i fsetxattr:error=EIO; i lgetxattr:error=EIO; setfacl -b stock.txt
 i fsetxattr:error=EIO; getfattr -d stock.txt | grep -c user; mkdir ../t
 mount -t tmpfs none ../t || echo cannot mount a tmpfs >../skip; cp stock.txt ../t; cd ../t
 awk 'BEGIN { print "# file: stock.txt"; for (i = 0; i < 260; i++) { s = sprintf("user.%03d", i)
 while (length(s) < 255) s = s "x"; print s "=1" } }' >d; setfattr --restore=d
 echo new 8 d 1 1 exit | $T/plain | grep -c 'could not'; cd - >/dev/null; umount ../t)"},
{"FormattingThatRunsOutLeavesNoStaleRowsNorTotal", "5|a|1|1|\n", "", kStart + L("5 a 1 1", "1") +
 kAsked + L("5 a 1 1,1 x 1 1", "2") + kAsked + kSave + L("5 a 1 1,1 x 1 1,2 b 1 1", "3") +
 kWarn + ">" + kHuge + std::to_string(kHuge.size() + 19999999) + "\n5|a|1|1|\n1|x|1|1|\n",
 "5|a|2|3|\n", 0, R"(q() { { echo inv new 1; mk 10000000 x
 echo ' 1 1 new 2 b 1 1 exit exit'; } | (ulimit -v 60000; $P) | tr -s x; mv stock.txt ../first
 echo '5|a|2|3|' >stock.txt
 chmod 444 stock.txt; { echo inv new 1; mk 20000000 x; echo ' 1 1 exit exit'; } |
 (ulimit -v 75000; $P) >../m; tr -s x <../m; wc -c <../m; }; Q=q;)", "tr -s x <../first"},
{"OptionsAnswerAloneAndLeaveTheFile", kExample, "", "quillane 1.2.0\n0\n1\n0\nUsage: quillane "
 "[--help | --version]\n11\n2\n2\n2\n2\nquillane: unknown option '-x'\nTry 'quillane --help'.\n"
 "quillane: unexpected argument '-'\nTry 'quillane --help'.\nquillane: unexpected "
 "argument '--version'\nTry 'quillane --help'.\nquillane: unexpected argument 'x'\nTry 'quillane "
 "--help'.\n", kExample, 0, R"(q() { p=$T/quillane
 $p --version; echo $?; $p --version >/dev/full; echo $?; $p --help >../h; echo $?; head -1 ../h
 grep -cE '^  (help|inv|read|write|new|delete|edit|exit|--help|--version) |man quillane' ../h
 for a in -x - '--help --version' '--version x'; do $p $a >>../o 2>>../e; echo $?; done
 cat ../o ../e; }; Q=q;)"},
{"ATerminalKeepsEveryByteEditsRecallsCompletesPastesAndEndsOrStopsAlone", {}, "", "130\n0\n143\n0\n"
 "0\n0\nthe terminal as it was\n" + kStart + kAsked + L("5 abb 12 3,6 c 1 1,7 caf\xc3\xa9 1 1,8 x"
 "\xff\x80\xc3 1 1,4 p4 4 4,9 \xe6\x97\xa5\xed\xa0\x80 1 1,10 n 1 1,12 g 1 1,13 h 1 1,11 o 1 1",
 "60") + "\nsame as a pipe\n", "5|abb|12|3|\n6|c|1|1|\n7|caf\xc3\xa9|1|1|\n8|x\xff\x80\xc3|1|1|\n4|"
 "p4|4|4|\n9|\xe6\x97\xa5\xed\xa0\x80|1|1|\n10|n|1|1|\n12|g|1|1|\n13|h|1|1|\n11|o|1|1|\n14|d|1|1|"
 "\n15|e|1|1|\n16|q|1|1|\n", 0, R"(q() { s="tmux -u -S ../tmux"; k() { $s send-keys "$@"; }
 c() { w "$s capture-pane -pS- | grep -c '^$1' | grep -qx ${2:-1}" || echo "never saw $1 ${2:-1}"
 }; l() { w "$s capture-pane -p | grep . | tail -1 | grep -qx '$1'" || echo "$1 never last"; }
 i() { stty -a -F $($s display -p '#{pane_tty}') | grep -q ' icanon iexten echo ' || echo $1; }
 mkfifo ../fifo; echo 'bind -s ^G 12' >../rc; ln -s rc ../.editrc; { echo 'bind -s ^G 13'
 mk 70000 '#'; } >../big; $s new-session -dx80 -y24 "trap : INT; stty -g >../b; exec 3<&0
 export HOME=$T; env -u LANG -u LC_ALL -u LC_CTYPE EDITRC=../fifo $T/quillane; echo \$? >>../codes
 (until [ -e ../nb ]; do sleep .01; done; perl -MFcntl -e 'fcntl STDIN, F_SETFL, O_NONBLOCK'
 >../nbd) <&3 & LC_ALL=C.UTF-8 $T/quillane; echo \$? >>../codes
 EDITRC=../big sh -c 'echo \$\$ >../pid; exec $T/quillane'; echo \$? >>../codes
 $T/quillane >../o; echo \$? >>../codes; TERM=dumb $T/quillane; echo \$? >>../codes
 env -u TERM $T/quillane; echo \$? >>../codes; stty -g >../a"; c '>$'; k in Tab Enter
 c '0 items'; k e Tab Tab; c 'edit  exit'; k C-u new Enter; c 'Enter id'; k 5 Enter bb Left Left \
 a Enter 1 Tab 2 Enter 3 Enter; c '5 | abb | 12 | 3'; k Up Enter; c 'Enter id' 2; k '6 c 1 1' Enter
 c '6 | c | 1 | 1'; k 'new 7 caf'; k -H c3 a9; k ' 1 1' Enter; c '7 | café | 1 | 1'; k Enter Up
 l '>new 7 café 1 1'; k C-u 'new 8 x'; k -H ff 80 c3; k ' 1 1' Enter; c '8 | x'
 k -H 1b 5b 32 30 30 7e; k 'new 4 p4 4 4'; k -H 1b 5b 32 30 31 7e; k Enter; c '4 | p4'; k inv C-l
 w "$s capture-pane -p | head -1 | grep -qx '>inv'" || echo no redraw; k C-u C-c; c '>help' 2
 k 'new 9 '; k -H e6 97 a5 ed a0 80; k ' 1 1' Enter; c '9 | 日'; k new Enter; l 'Enter id.*'
 touch ../nb; w '[ -e ../nbd ]'; k '10 n 1 1' Enter; c '10 | n'; k new Enter; l 'Enter id.*'
 k C-g ' g 1 1' Enter; c '12 | g'; k C-d; c '>help' 3; l '>'; w '[ -s ../pid ]'; k new Enter
 l 'Enter id.*'; k C-g '13 h 1 1' Enter; c '13 | h'; kill -TERM $(cat ../pid)
 w "tail -c1 ../o | grep -q '>'"; k 'new 11 o 1 1' Enter; w "grep -q monies:60 ../o"; k C-d
 c '>help' 4; l '>'; i 'TERM=dumb: not canonical'; k 'new 14 d 1 1' Enter; c '14 | d'; k C-d
 c '>help' 5; l '>'; i 'no TERM: not canonical'; k 'new 15 e 1 1' Enter; c '15 | e'; k C-d
 w "[ -e ../a ]"; cat ../codes; cmp -s ../a ../b && echo the terminal as it was; cat ../o
 rm ../pid; $s new-session -dx80 -y24 "export HOME=$T PS1='sh> '; exec sh -i"
 k "sh -c 'echo \$\$ >../pid; exec $T/quillane'" Enter; l '>'; $s resize-window -x 40
 w "stty size -F $($s display -p '#{pane_tty}') | grep -qx '24 40'"; k "new 17 "$(mk 40 y) C-a X
 c '>Xnew 17 yy'; k C-e C-u 'new 16 q'; l '>new 16 q'; k C-z; l 'sh>'; i 'raw after Ctrl-Z'
 k fg Enter; l '>new 16 q'; k ' 1 1' Enter; c '16 | q'; k C-z; l 'sh>'; p=$(cat ../pid)
 kill -TERM $p; kill -CONT $p; w "! ps -o stat= -p $p | grep -q '[RST]'" || echo stopped, not ended
 $s kill-server
 mkdir ../p; { printf 'new 5 abb 12 3 new 6 c 1 1 new 7 caf\303\251 1 1 new 8 x\377\200\303 1 1 '
 printf 'new 4 p4 4 4 new 9 \346\227\245\355\240\200 1 1 new 10 n 1 1 new 12 g 1 1 '
 echo new 13 h 1 1 new 11 o 1 1 new 14 d 1 1 new 15 e 1 1 new 16 q 1 1; } |
 (cd ../p && $T/quillane >/dev/null); cmp -s ../p/stock.txt stock.txt && echo same as a pipe; }
 Q=q;)"},
cut("new", kId), cut("new 5", kId + kName), cut("new 5 a", kId + kName + kPrice), cut("new 5 a 1",
 kAsked), cut("delete", kDel), cut("edit", kEdit), cut("edit 3", kEdit + kCol), cut("edit 3 2",
 kEdit + kCol + kNewName), cut("edit 3 4", kEdit + kCol + kNewQty),
};
// clang-format on

class Session : public testing::TestWithParam<Case> {};

TEST_P(Session, Run) {
    const Case& c = GetParam();
    for (const auto& tool : kTools) {
        const std::string probe = std::string(tool[1]) + " >/dev/null 2>&1";
        if ((c.pre + c.post).find(tool[0]) != std::string::npos && std::system(probe.c_str()) != 0)
            GTEST_SKIP() << "needs what this shows: " << tool[1];
    }
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
    // and what the case runs after it, the shell lists what else is left in the directory but
    // the lock file, which stays by design.
    // clang-format off
    const std::string shell = "T=" + top.string() + "; o=$(command -v timeout) && o=\"$o 120\"; Q="
        "\"$o $T/quillane\" P=\"$o $T/plain\" U='setpriv --reuid=65534 --regid=65534 "
        "--clear-groups' F=" QUILLANE_FAILMALLOC "\n" + kShell + "cd " +
        dir.string() + " && { (" + c.pre + " $Q; s=$?; wait; exit $s) <../in; echo $? >../status\n"
        + c.post + "\nls -A | grep -vxE 'stock\\.txt(\\.lock)?'\n} | cat >../out";
    // clang-format on
    ASSERT_NE(std::system(shell.c_str()), -1); // the shell ran; its status is in ../status
    if (const File why = slurp(top / "skip")) {
        fs::remove_all(top);
        GTEST_SKIP() << *why;
    }
    EXPECT_EQ(slurp(top / "status"), std::to_string(c.status) + "\n");
    EXPECT_EQ(slurp(top / "out"), c.out);
    EXPECT_EQ(slurp(dir / "stock.txt"), c.after);
    fs::remove_all(top);
}

INSTANTIATE_TEST_SUITE_P(Quillane, Session, testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

} // namespace
