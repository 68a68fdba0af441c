// What a full table of 10000 products costs: each full-table command against the system calls
// that it cannot do without, and a piped import.
#include "console/EntryForm.h"
#include "stock/Stock.h"
#include "stock/System.h"

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

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
        stock.changed();
        stock.write(true);
        screen = std::cout.rdbuf(devNull.rdbuf());
    }
    void TearDown(const benchmark::State&) override {
        std::cout.rdbuf(screen);
        std::filesystem::current_path("/");
        std::filesystem::remove_all(dir);
    }
    // Makes `words` all the input there is.
    void type(const std::string& words) {
        form.line = words;
        form.next = 0;
        form.exhausted = true;
        form.ended = false;
    }

    std::filesystem::path dir;
    std::ofstream devNull{"/dev/null"};
    std::streambuf* screen = nullptr;
};

// The system calls of one "new" at 10000 products, from bytes prepared beforehand: what no
// formatting can save. Every other case is reported as a multiple of it.
BENCHMARK_DEFINE_F(FullTable, Baseline)(benchmark::State& state) {
    stock.display();
    const std::string file = stock.file.substr(0, stock.fileSize),
                      listing = stock.listing.substr(0, stock.listingSize);
    int held = stock.held;
    stock.held = -1;
    static char block[1 << 16];
    for (auto _ : state) {
        const sys::Look before = sys::look(sys::resolve("stock.txt"));
        const int out = sys::createTemporary("stock.txt.1.tmp", "stock.txt", before);
        sys::writeAll(out, file.data(), file.size());
        sys::flush(out);
        int kept = -1;
        sys::keep("stock.txt.1.tmp", sys::identify(out), kept);
        sys::close(out);
        sys::lock("stock.txt", before);
        // The last look opens stock.txt afresh and reads it whole, to see that its bytes are the
        // same.
        sys::Look now;
        const int look = sys::openToRead("stock.txt", now);
        long long got = 0;
        for (std::uint64_t at = 0; (got = sys::readAt(look, block, sizeof block, at)) > 0;)
            at += static_cast<std::uint64_t>(got);
        sys::close(look);
        sys::replace("stock.txt.1.tmp", "stock.txt");
        sys::unlock();
        sys::close(held);
        held = kept;
        sys::flushDirectory("");
        std::cout.write(listing.data(), static_cast<std::streamsize>(listing.size()));
    }
    stock.held = held;
}

BENCHMARK_DEFINE_F(FullTable, NewAt9999)(benchmark::State& state) {
    for (auto _ : state) {
        stock.count = Stock::capacity - 1;
        type("5 washers 3 40 ");
        if (form.addProduct())
            stock.saveAndDisplay();
    }
}

BENCHMARK_DEFINE_F(FullTable, EditAt10000)(benchmark::State& state) {
    for (auto _ : state) {
        type("5 3 7 ");
        if (form.editProduct())
            stock.saveAndDisplay();
    }
}

// An id that no product has: the table stays full, and the save, reload and listing all run.
BENCHMARK_DEFINE_F(FullTable, DeleteAt10000)(benchmark::State& state) {
    for (auto _ : state) {
        type("99999 ");
        if (form.deleteProduct())
            stock.saveReloadAndDisplay();
    }
}

BENCHMARK_DEFINE_F(FullTable, HundredListings)(benchmark::State& state) {
    for (auto _ : state) {
        for (int i = 0; i < 100; ++i)
            stock.display();
    }
}

BENCHMARK_DEFINE_F(FullTable, Load)(benchmark::State& state) {
    for (auto _ : state)
        stock.read();
}

// Products piped in, one "new" after another into an empty table, each with its save and
// listing: the cost grows with the square of the import's length.
BENCHMARK_DEFINE_F(FullTable, PipedImportOf2000)(benchmark::State& state) {
    std::string commands;
    for (int i = 1; i <= 2000; ++i)
        commands += std::to_string(i) + " washer" + std::to_string(i) + " 3 " +
                    std::to_string(i % 50 - 10) + "\n";
    for (auto _ : state) {
        stock.count = 0;
        stock.changed();
        type(commands);
        while (form.addProduct())
            stock.saveAndDisplay();
    }
}

// Wall-clock time: a flush to the disk waits without using the processor.
BENCHMARK_REGISTER_F(FullTable, Baseline)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_REGISTER_F(FullTable, NewAt9999)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_REGISTER_F(FullTable, EditAt10000)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_REGISTER_F(FullTable, DeleteAt10000)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_REGISTER_F(FullTable, HundredListings)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_REGISTER_F(FullTable, Load)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_REGISTER_F(FullTable, PipedImportOf2000)->UseRealTime()->Unit(benchmark::kMillisecond);

// Shows each case's time as a multiple of the baseline's ("x_baseline").
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> shown = runs;
        for (Run& run : shown) {
            if (run.run_name.function_name.find("Baseline") != std::string::npos)
                baseline[run.aggregate_name] = run.GetAdjustedRealTime();
            else if (baseline.count(run.aggregate_name))
                run.counters["x_baseline"] =
                    run.GetAdjustedRealTime() / baseline[run.aggregate_name];
        }
        ConsoleReporter::ReportRuns(shown);
    }

    std::map<std::string, double> baseline; // by aggregate: a single run, mean, median, ...
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
}
