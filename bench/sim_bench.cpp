// Wall time of whole scenarios in simulated time, from starting orvella-sim to its exit: the
// private bus, three hosts, the tweak and the pane loaded, the scenario played, everything
// ended. Targets on a two-core machine: the built-in scenario under 0.3 s (under 0.6 s with its
// screens pictured and the call plotted), fifty calls under 2.5 s. Beside them, how precisely
// the real-time mode's run loop keeps a short wait.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/loop/runloop.h"
#include "targets.h"

namespace fs = std::filesystem;

namespace {

// Runs the simulator on the scenario (built-in when empty) with the further arguments; its
// exit status.
int runSimulator(const std::string& scenario, const std::vector<std::string>& args = {}) {
    pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        std::vector<const char*> argv = {ORVELLA_SIM};
        if (!scenario.empty()) argv.push_back(scenario.c_str());
        for (const auto& a : args) argv.push_back(a.c_str());
        argv.push_back(nullptr);
        ::execv(argv[0], const_cast<char**>(argv.data()));
        std::_Exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// The built-in call, fifty times over.
std::string fiftyCalls() {
    const fs::path file = fs::path(bench::scratchDir()) / "fifty-calls.scn";
    std::ofstream out(file);
    out << "title Fifty calls\nat 0 locked yes\nat 0 pose up\n";
    for (int i = 0; i < 50; ++i) {
        const int base = 13 * i;
        out << "at " << base << ".5 call incoming\nat " << base + 6 << " waves 2\nat " << base + 12
            << " call ended\n";
    }
    out << "expect answered at wave 2\n";
    return file.string();
}

void play(benchmark::State& state, const std::string& scenario, double targetSeconds,
          const std::vector<std::string>& args = {}) {
    for (auto _ : state) {
        if (const int status = runSimulator(scenario, args); status != 0) {
            state.SkipWithError(("orvella-sim exited with status " + std::to_string(status) +
                                 " (its messages are above)")
                                    .c_str());
            return;
        }
    }
    state.counters["target_ms"] = targetSeconds * 1e3;
}

void BM_BuiltInScenario(benchmark::State& state) { play(state, "", 0.3); }
BENCHMARK(BM_BuiltInScenario)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

// The same with every change of the screens pictured and the call plotted.
void BM_BuiltInScenarioPictured(benchmark::State& state) {
    const fs::path dir = fs::path(bench::scratchDir()) / "pictures";
    fs::create_directories(dir);  // the plots go into it, and a plot's folder must exist
    play(state, "", 0.6,
         {"--screenshots", dir.string(), "--plot", (dir / "call.png").string(), "--plot",
          (dir / "call.svg").string()});
    fs::remove_all(dir);
}
BENCHMARK(BM_BuiltInScenarioPictured)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

void BM_FiftyCalls(benchmark::State& state) {
    const std::string file = fiftyCalls();
    play(state, file, 2.5);
    fs::remove(file);
}
BENCHMARK(BM_FiftyCalls)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// How late a real clock's run loop wakes for work due in half a millisecond (the loop used to
// round every wait up to a whole millisecond).
void BM_RealTimeWaitOvershoot(benchmark::State& state) {
    platform::setClock(std::make_unique<platform::RealClock>());
    auto& loop = platform::RunLoop::main();
    double overshoot = 0;
    double worst = 0;
    for (auto _ : state) {
        const double due = platform::processClock().now() + 0.0005;
        double ranAt = 0;
        loop.schedule(0.0005, [&] { ranAt = platform::processClock().now(); });
        while (ranAt == 0) loop.advance(0.0005);
        overshoot += ranAt - due;
        worst = std::max(worst, ranAt - due);
    }
    state.counters["late_us"] =
        benchmark::Counter(overshoot * 1e6, benchmark::Counter::kAvgIterations);
    state.counters["worst_late_us"] = worst * 1e6;
}
BENCHMARK(BM_RealTimeWaitOvershoot)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(200);

}  // namespace

int main(int argc, char** argv) { return bench::runBenchmarks(argc, argv); }
