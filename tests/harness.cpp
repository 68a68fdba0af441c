#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

std::string listing(const std::string& rows, const std::string& monies) {
    std::size_t count = 0;
    for (char c : rows)
        count += c == '\n';
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
    if (!mkdtemp(base))
        throw std::runtime_error("mkdtemp failed");
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
    if (pipe(in) != 0 || pipe(output) != 0)
        throw std::runtime_error("pipe failed");
    child = fork();
    if (child == 0) {
        if (chdir(dir.c_str()) != 0 || dup2(in[0], 0) < 0 || dup2(output[1], 1) < 0)
            _exit(126);
        close(in[1]);
        close(output[0]);
        signal(SIGPIPE, SIG_DFL);
        if (fileSizeLimit >= 0) {
            // A real short write: past the limit the kernel refuses bytes with EFBIG.
            const rlimit limit{static_cast<rlim_t>(fileSizeLimit),
                               static_cast<rlim_t>(fileSizeLimit)};
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
    // Only a guard against a hung program; no test depends on timing.
    pollfd ready{fromChild, POLLIN, 0};
    if (poll(&ready, 1, 20000) <= 0)
        return false;
    char buffer[65536];
    const ssize_t n = read(fromChild, buffer, sizeof buffer);
    if (n <= 0)
        return false;
    out.append(buffer, static_cast<std::size_t>(n));
    return true;
}

bool Dialogue::waitFor(const std::string& text) {
    while (out.size() < text.size() || out.compare(out.size() - text.size(), text.size(), text))
        if (!readMore())
            return false;
    return true;
}

void Dialogue::send(const std::string& text) {
    for (std::size_t sent = 0; sent < text.size();) {
        const ssize_t n = write(toChild, text.data() + sent, text.size() - sent);
        if (n <= 0)
            return;
        sent += static_cast<std::size_t>(n);
    }
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

Outcome runQuillane(const Case& c) {
    Dialogue run;
    if (c.before == kDirectory)
        fs::create_directory(run.dir / "stock.txt");
    else if (c.before)
        std::ofstream(run.dir / "stock.txt", std::ios::binary) << *c.before;
    run.start(c.fileSizeLimit);
    run.send(c.input); // inputs stay well below what a pipe holds
    Outcome outcome;
    outcome.status = run.finish();
    outcome.out = run.out;
    outcome.file = run.file();
    outcome.strays = run.strays();
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
