#include "harness.h"

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

std::string listing(const std::string& rows, const std::string& monies) {
    const auto count = std::count(rows.begin(), rows.end(), '\n');
    return "id | name | price | qty\n ----------------------\n" + rows + "\n" +
           std::to_string(count) + " items\nmonies:" + monies + "\n";
}

std::string lines(int from, int to, const char* tail) {
    std::string text;
    for (int i = from; i <= to; ++i)
        text += std::to_string(i) + tail;
    return text;
}

std::string repeat(const std::string& text, int times) {
    std::string all;
    while (times-- > 0)
        all += text;
    return all;
}

Dialogue::Dialogue() {
    char base[] = "/tmp/quillane-test-XXXXXX";
    EXPECT_TRUE(mkdtemp(base));
    dir = base;
    signal(SIGPIPE, SIG_IGN); // a program that has ended must fail a send, not end the tests
}

Dialogue::~Dialogue() {
    if (child > 0) {
        kill(child, SIGKILL);
        finish();
    }
    fs::remove_all(dir);
}

void Dialogue::start(long fileSizeLimit) {
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

bool Dialogue::readMore() {
    char buffer[65536];
    pollfd ready{fromChild, POLLIN, 0};
    // The time-out only guards against a hung program; no test depends on timing.
    const ssize_t n = poll(&ready, 1, 20000) > 0 ? read(fromChild, buffer, sizeof buffer) : 0;
    if (n > 0)
        out.append(buffer, static_cast<std::size_t>(n));
    return n > 0;
}

bool Dialogue::waitFor(const std::string& text) {
    while (out.size() < text.size() || out.compare(out.size() - text.size(), text.size(), text))
        if (!readMore())
            return false;
    return true;
}

void Dialogue::send(const std::string& text) {
    // Inputs stay well below what a pipe holds, so this never waits for the program.
    EXPECT_EQ(write(toChild, text.data(), text.size()), ssize_t(text.size()));
}

int Dialogue::finish() {
    close(toChild);
    while (readMore()) {
    }
    close(fromChild);
    int status = 0;
    waitpid(child, &status, 0);
    child = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void Dialogue::put(const std::optional<std::string>& stockFile) const {
    if (stockFile == kDirectory)
        fs::create_directory(dir / "stock.txt");
    else if (stockFile)
        std::ofstream(dir / "stock.txt", std::ios::binary) << *stockFile;
}

std::optional<std::string> Dialogue::file() const {
    if (fs::is_directory(dir / "stock.txt"))
        return kDirectory;
    std::ifstream in(dir / "stock.txt", std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Dialogue::strays() const {
    std::string names;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename() != "stock.txt")
            names += entry.path().filename().string() + " ";
    return names;
}

std::string caseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

TEST_P(EndToEnd, Run) {
    const Case& c = GetParam();
    Dialogue run;
    run.put(c.before);
    run.start(c.fileSizeLimit);
    run.send(c.input);
    EXPECT_EQ(run.finish(), c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.file(), c.after);
    EXPECT_EQ(run.strays(), "");
}
