#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

const std::string kDirectory = "<directory>";

const std::string kStart = "----------\nQuillane\n----------\n>help\n"
                           "help: detailed information\n"
                           "inv: displays stock information\n"
                           "read: reads from 'stock.txt' file\n"
                           "write: saves to 'stock.txt' file\n"
                           "new: adds a new product\n"
                           "delete: deletes products\n"
                           "edit: edits an entry\n"
                           "exit: exits the program\n"
                           ">";

std::string listing(const std::string& rows, const std::string& monies) {
    std::size_t count = 0;
    for (char c : rows)
        count += c == '\n';
    return "id | name | price | qty\n ----------------------\n" + rows + "\n" +
           std::to_string(count) + " items\nmonies:" + monies + "\n";
}

namespace {

void put(const fs::path& path, const std::optional<std::string>& content) {
    if (!content)
        return;
    if (*content == kDirectory) {
        fs::create_directory(path);
        return;
    }
    std::ofstream(path, std::ios::binary) << *content;
}

std::optional<std::string> get(const fs::path& path) {
    if (fs::is_directory(path))
        return kDirectory;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

Outcome runQuillane(const Case& c) {
    char base[] = "/tmp/quillane-test-XXXXXX";
    if (!mkdtemp(base))
        throw std::runtime_error("mkdtemp failed");
    const fs::path work = fs::path(base) / "work";
    fs::create_directory(work);
    put(work / "stock.txt", c.before);
    put(fs::path(base) / "input", c.input);

    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t child = fork();
    if (child == 0) {
        const int input = open((fs::path(base) / "input").c_str(), O_RDONLY);
        if (input < 0 || chdir(work.c_str()) != 0 || dup2(input, 0) < 0 ||
            dup2(pipeEnds[1], 1) < 0)
            _exit(126);
        close(pipeEnds[0]);
        if (c.fileSizeLimit >= 0) {
            // A real short write: the kernel refuses bytes past the limit with EFBIG.
            const rlimit limit{static_cast<rlim_t>(c.fileSizeLimit),
                               static_cast<rlim_t>(c.fileSizeLimit)};
            signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execl(QUILLANE_BINARY, "quillane", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeEnds[1]);
    Outcome outcome;
    char buffer[65536];
    for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
        outcome.out.append(buffer, static_cast<std::size_t>(n));
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.file = get(work / "stock.txt");
    for (const auto& entry : fs::directory_iterator(work))
        if (entry.path().filename() != "stock.txt")
            outcome.strays += entry.path().filename().string() + " ";
    fs::remove_all(base);
    return outcome;
}

std::ostream& operator<<(std::ostream& os, const Case& c) {
    return os << c.name;
}

std::string caseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

TEST_P(EndToEnd, Run) {
    const Case& c = GetParam();
    const Outcome outcome = runQuillane(c);
    EXPECT_EQ(outcome.out, c.out);
    EXPECT_EQ(outcome.file, c.after);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.strays, "");
}
