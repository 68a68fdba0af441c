// Runs a fuzz target over the files and directories it is given, without libFuzzer, so that
// the checked-in corpus runs as an ordinary test.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    // Paths first: the target moves into a directory of its own on its first input.
    std::vector<fs::path> paths;
    for (int i = 1; i < argc; ++i)
        paths.push_back(fs::absolute(argv[i]));
    int replayed = 0;
    auto replay = [&](const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        const std::string bytes(std::istreambuf_iterator<char>(in), {});
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        ++replayed;
    };
    for (const fs::path& path : paths) {
        if (fs::is_directory(path)) {
            for (const auto& entry : fs::directory_iterator(path))
                replay(entry.path());
        } else {
            replay(path);
        }
    }
    std::cerr << replayed << " inputs replayed\n";
    return replayed > 0 ? 0 : 1;
}
