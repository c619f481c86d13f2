// A tuk_malloc/tuk_free pair of one connection record against glibc's
// malloc/free pair: on one thread while the process has no other (where
// glibc's own locks skip their atomic instructions), on one thread while
// another thread exists (always so inside a JVM), and on two threads at once.
// After the usual table it prints the ratio tuk/glibc of the time per pair
// for each of the three.
#include "talvo.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <string>
#include <utility>

namespace {

constexpr int record_size = sizeof(connection_t);

void tuk_pair(benchmark::State &state) {
    for (auto _ : state) {
        void *block = tuk_malloc(record_size);
        benchmark::DoNotOptimize(block);
        tuk_free(block);
    }
}

void glibc_pair(benchmark::State &state) {
    for (auto _ : state) {
        void *block = malloc(record_size);
        benchmark::DoNotOptimize(block);
        free(block);
    }
}

// A thread that only waits: with it alive the process is no longer
// single-threaded, as it never is inside a JVM.
class idle_thread {
public:
    idle_thread() : thread_([this] {
        std::unique_lock lock(mutex_);
        stopped_.wait(lock, [this] { return stop_; });
    }) {}
    ~idle_thread() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        stopped_.notify_one();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stop_ = false;
    std::thread thread_;
};

struct setting {
    const char *name;
    int threads;
};
constexpr setting settings[] = {{"1 thread, process single-threaded", 1},
                                {"1 thread, another thread present", 1},
                                {"2 threads", 2}};

// Keeps the best time per pair of every benchmark (over repetitions, or
// their median when only aggregates are reported), then prints the ratios
// once every run is done.
class ratio_reporter : public benchmark::ConsoleReporter {
public:
    // One context header, though the benchmarks run in three batches.
    bool ReportContext(const Context &context) override {
        return context_shown_ || (context_shown_ = ConsoleReporter::ReportContext(context));
    }

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            bool usable = run.run_type == Run::RT_Iteration ||
                          (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median");
            if (!usable || run.error_occurred) continue;
            // One thread: its own CPU time, which other processes on the
            // machine do not inflate.  Two threads: wall time, throughput.
            double ns = run.threads == 1 ? run.GetAdjustedCPUTime() : run.GetAdjustedRealTime();
            auto [it, fresh] = best_.emplace(run.run_name.function_name, ns);
            if (!fresh && ns < it->second) it->second = ns;
        }
    }

    void print_ratios() const {
        for (const setting &s : settings) {
            auto tuk = best_.find(std::string("tuk/") + s.name);
            auto glibc = best_.find(std::string("glibc/") + s.name);
            if (tuk == best_.end() || glibc == best_.end()) continue;
            std::printf("ratio tuk/glibc, %s: %.2f (%.1f ns / %.1f ns per pair, %s time)\n", s.name,
                        tuk->second / glibc->second, tuk->second, glibc->second,
                        s.threads == 1 ? "cpu" : "wall");
        }
    }

private:
    bool context_shown_ = false;
    std::map<std::string, double> best_;
};

void run(ratio_reporter &reporter, const setting &s) {
    benchmark::ClearRegisteredBenchmarks();
    benchmark::RegisterBenchmark((std::string("tuk/") + s.name).c_str(), tuk_pair)
        ->Threads(s.threads)
        ->UseRealTime();
    benchmark::RegisterBenchmark((std::string("glibc/") + s.name).c_str(), glibc_pair)
        ->Threads(s.threads)
        ->UseRealTime();
    benchmark::RunSpecifiedBenchmarks(&reporter);
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    ratio_reporter reporter;
    run(reporter, settings[0]);
    {
        idle_thread other;
        run(reporter, settings[1]);
        run(reporter, settings[2]);
    }
    reporter.print_ratios();
    benchmark::Shutdown();
    return 0;
}
