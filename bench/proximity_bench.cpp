// What reading the proximity sensor at the pace of a hand costs orvella-phoned: one reading of
// in_proximity_raw (open, read, close, compare with the near level) from a scratch tree and, for
// comparison, of a real sysfs attribute; and the CPU time one second of polling takes on the
// main run loop, measured with getrusage over whole seconds of wall time.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "platform/loop/runloop.h"
#include "proximity_sensor.h"
#include "sysfs.h"

namespace {

// A proximity sensor as a driver lays it out, in a folder removed at the end.
class ScratchSensor {
  public:
    ScratchSensor() {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "orvella-bench-proximity-XXXXXX").string();
        root_ = ::mkdtemp(tmpl.data());
        const std::string dir = root_ + "/iio:device0";
        std::filesystem::create_directories(dir);
        std::ofstream(dir + "/in_proximity_raw") << "17\n";
        std::ofstream(dir + "/in_proximity_nearlevel") << "120\n";
    }
    ~ScratchSensor() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    phoned::ProximitySensor sensor() const { return *phoned::ProximitySensor::find(root_); }

  private:
    std::string root_;
};

double cpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void BM_ProximityReading(benchmark::State& state) {
    ScratchSensor scratch;
    const phoned::ProximitySensor sensor = scratch.sensor();
    for (auto _ : state) benchmark::DoNotOptimize(sensor.near());
}
BENCHMARK(BM_ProximityReading);

// The same system calls on an attribute the kernel makes up at each read.
void BM_SysfsAttributeReading(benchmark::State& state) {
    const char* path = "/sys/class/net/lo/mtu";
    if (!phoned::sysfs::readNumber(path)) {
        state.SkipWithError("no /sys/class/net/lo/mtu here");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(phoned::sysfs::readNumber(path));
}
BENCHMARK(BM_SysfsAttributeReading);

// The poller on the real clock for state.range(0) seconds, as the daemon runs it while a call
// is watched: CPU microseconds per second of polling, and readings per second.
void BM_PollingCpuPerSecond(benchmark::State& state) {
    ScratchSensor scratch;
    const phoned::ProximitySensor sensor = scratch.sensor();
    platform::setClock(std::make_unique<platform::RealClock>());
    auto& loop = platform::RunLoop::main();
    const double seconds = static_cast<double>(state.range(0));
    int64_t readings = 0;
    double cpu = 0;
    for (auto _ : state) {
        phoned::ProximityPoller poller([&] { return sensor.near(); },
                                       [&](const platform::Result<bool>& near) {
                                           benchmark::DoNotOptimize(near);
                                           ++readings;
                                       });
        const double before = cpuSeconds();
        poller.start();
        loop.schedule(seconds, [&loop] { loop.stop(); });
        loop.run();
        poller.stop();
        cpu += cpuSeconds() - before;
    }
    const double polled = seconds * static_cast<double>(state.iterations());
    state.counters["cpu_us_per_s"] = cpu * 1e6 / polled;
    state.counters["cpu_percent"] = cpu * 100 / polled;
    state.counters["readings_per_s"] = static_cast<double>(readings) / polled;
}
BENCHMARK(BM_PollingCpuPerSecond)->Arg(5)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
