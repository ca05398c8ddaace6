#include "targets.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace bench {

namespace {

int gMet = 0;
int gMissed = 0;
int gFailed = 0;

std::string& scratchPath() {
    static std::string path;
    return path;
}

void removeScratch() {
    std::error_code ec;
    if (!scratchPath().empty()) std::filesystem::remove_all(scratchPath(), ec);
}

double millisecondsOf(double value, benchmark::TimeUnit unit) {
    switch (unit) {
        case benchmark::kNanosecond:
            return value / 1e6;
        case benchmark::kMicrosecond:
            return value / 1e3;
        case benchmark::kMillisecond:
            return value;
        case benchmark::kSecond:
            return value * 1e3;
    }
    return value;
}

// The console's table, then a verdict on every run that failed or has a target.
class TargetReporter : public benchmark::ConsoleReporter {
  public:
    TargetReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Color : OO_None) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        std::fflush(stdout);
        GetOutputStream().flush();
        for (const Run& run : runs) {
            if (run.error_occurred) {
                failed(run.benchmark_name(), run.error_message);
                continue;
            }
            if (run.run_type != Run::RT_Iteration) continue;
            for (const auto& [name, counter] : run.counters) check(run, name, counter.value);
        }
    }

  private:
    static void check(const Run& run, const std::string& name, double limit) {
        const std::string minimum = "target_min_";
        if (name == "target_ms") {
            meets(run.benchmark_name(), millisecondsOf(run.GetAdjustedRealTime(), run.time_unit),
                  limit, "ms");
        } else if (name.rfind(minimum, 0) == 0) {
            const std::string measured = name.substr(minimum.size());
            const auto it = run.counters.find(measured);
            if (it == run.counters.end())
                failed(run.benchmark_name(), "no counter " + measured + " for its target");
            else
                atLeast(run.benchmark_name() + " " + measured, it->second.value, limit, "");
        }
    }
};

}  // namespace

bool meets(const std::string& what, double value, double limit, const std::string& unit) {
    if (value <= limit) {
        ++gMet;
        return true;
    }
    ++gMissed;
    std::printf("MISSED %s: %.3g %s (target: at most %.3g %s)\n", what.c_str(), value, unit.c_str(),
                limit, unit.c_str());
    std::fflush(stdout);
    return false;
}

bool atLeast(const std::string& what, double value, double limit, const std::string& unit) {
    if (value >= limit) {
        ++gMet;
        return true;
    }
    ++gMissed;
    std::printf("MISSED %s: %.3g %s (target: at least %.3g %s)\n", what.c_str(), value,
                unit.c_str(), limit, unit.c_str());
    std::fflush(stdout);
    return false;
}

void failed(const std::string& what, const std::string& why) {
    ++gFailed;
    std::printf("ERROR %s: %s\n", what.c_str(), why.c_str());
    std::fflush(stdout);
}

int finish() {
    std::printf("targets: %d met, %d missed; %d benchmark%s failed\n", gMet, gMissed, gFailed,
                gFailed == 1 ? "" : "s");
    return gMissed == 0 && gFailed == 0 ? 0 : 1;
}

int runBenchmarks(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    TargetReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return finish();
}

const std::string& scratchDir() {
    std::string& path = scratchPath();
    if (path.empty()) {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "orvella-bench-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) {
            std::perror(tmpl.c_str());
            std::exit(3);
        }
        path = tmpl;
        std::atexit(&removeScratch);
    }
    return path;
}

}  // namespace bench
