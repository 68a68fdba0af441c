// What a full table of 10000 products costs: loading, listing, saving, a whole "new", and
// a piped import.
#include "console/EntryForm.h"
#include "stock/Stock.h"

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

Stock stock;
EntryForm form;

namespace {

// A full table, saved in a directory of its own; listings go to /dev/null through a real file.
class FullTable : public benchmark::Fixture {
public:
    void SetUp(const benchmark::State&) override {
        char name[] = "/tmp/quillane-bench-XXXXXX";
        if (!mkdtemp(name) || chdir(name) != 0)
            std::abort();
        dir = name;
        for (int i = 0; i < Stock::capacity; ++i)
            stock.items[i].set(i + 1, "product" + std::to_string(i), 100 + i, i % 50 - 10);
        stock.count = Stock::capacity;
        stock.write();
        screen = std::cout.rdbuf(devNull.rdbuf());
    }
    void TearDown(const benchmark::State&) override {
        std::cout.rdbuf(screen);
        std::filesystem::current_path("/");
        std::filesystem::remove_all(dir);
    }

    std::filesystem::path dir;
    std::ofstream devNull{"/dev/null"};
    std::streambuf* screen = nullptr;
};

BENCHMARK_F(FullTable, Load)(benchmark::State& state) {
    for (auto _ : state)
        stock.read();
}

BENCHMARK_F(FullTable, Listing)(benchmark::State& state) {
    for (auto _ : state)
        stock.display();
}

BENCHMARK_F(FullTable, Save)(benchmark::State& state) {
    for (auto _ : state)
        stock.write();
}

BENCHMARK_F(FullTable, NewAt9999)(benchmark::State& state) {
    std::istringstream answers;
    std::streambuf* keyboard = std::cin.rdbuf(answers.rdbuf());
    for (auto _ : state) {
        stock.count = Stock::capacity - 1;
        answers.clear();
        answers.str("5 washers 3 40 ");
        std::cin.clear();
        if (form.addProduct())
            stock.saveAndDisplay();
    }
    std::cin.rdbuf(keyboard);
}

// Products piped in, one "new" after another into an empty table, each with its save and
// listing: the cost grows with the square of the import's length.
BENCHMARK_F(FullTable, PipedImportOf2000)(benchmark::State& state) {
    std::string commands;
    for (int i = 1; i <= 2000; ++i)
        commands += std::to_string(i) + " washer" + std::to_string(i) + " 3 " +
                    std::to_string(i % 50 - 10) + "\n";
    std::istringstream answers;
    std::streambuf* keyboard = std::cin.rdbuf(answers.rdbuf());
    for (auto _ : state) {
        stock.count = 0;
        answers.clear();
        answers.str(commands);
        std::cin.clear();
        while (form.addProduct())
            stock.saveAndDisplay();
    }
    std::cin.rdbuf(keyboard);
}

} // namespace

BENCHMARK_MAIN();
