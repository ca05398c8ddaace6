// Hot paths of the engine with logging off: one proximity change, one accelerometer sample
// (both report heap allocations per operation), loading a typical settings file, and reading a
// long binary array.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "ExternalFunctions.h"
#include "Orvella.h"
#include "Telephony.h"
#include "alloc_counter.h"
#include "platform/device.h"
#include "platform/devices.h"
#include "platform/plist.h"
#include "platform/runloop.h"

namespace {

void setUpSpringBoard() {
    static bool done = [] {
        std::string root = (std::filesystem::temp_directory_path() / "orvella-bench-root").string();
        platform::device::setRoot(root);
        platform::bundle::setMainBundleIdentifier("com.apple.springboard");
        platform::useVirtualClock();
        platform::registerDeviceClasses();
        platform::registerSpringBoardServiceClasses();
        std::string dir = platform::device::resolve("/var/mobile/Library/Preferences");
        std::filesystem::create_directories(dir);
        platform::plist::writeXmlAtomically(
            platform::Value(
                platform::Dictionary{{"IsOn", platform::Value(true)},
                                     {"UseSpeakerWithHeadsetPlugedIn", platform::Value(false)},
                                     {"UseLatestDetectionSystem", platform::Value(true)},
                                     {"WaveProtocolLocked", platform::Value(2)},
                                     {"WaveProtocolUnlocked", platform::Value(2)},
                                     {"WaveProtocolSpeed", platform::Value(0)}}),
            dir + "/com.brelkin.Orvella.plist");
        LoadPrefs();
        tel = Telephony::create();
        objc::msgSend(tel, SEL_("Initiate"));
        LOGGER_ON = false;
        return true;
    }();
    (void)done;
}

void BM_ProximityChange(benchmark::State& state) {
    setUpSpringBoard();
    objc::AutoreleasePool pool;
    // Three waves configured: covered/uncovered alternate through states 1 to 5 and back to 1
    // before the third wave would answer.
    TelSetFlag(kPROXIMITY_READY_STATE);
    int32_t input = 1;
    for (int i = 0; i < 100; ++i) {  // warm caches and the date free list
        HandleProximityFeedback(input);
        input ^= 1;
        if (TelFlag() == kPROXIMITY_UNCOVERED_WAVE_2) TelSetFlag(kPROXIMITY_READY_STATE), input = 1;
    }
    long before = gAllocations.load();
    for (auto _ : state) {
        HandleProximityFeedback(input);
        input ^= 1;
        if (tel->flag == kPROXIMITY_UNCOVERED_WAVE_2) {
            tel->flag = kPROXIMITY_READY_STATE;
            input = 1;
        }
    }
    state.counters["allocs/op"] = benchmark::Counter(
        static_cast<double>(gAllocations.load() - before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_ProximityChange);

void BM_AccelerometerSample(benchmark::State& state) {
    setUpSpringBoard();
    objc::AutoreleasePool pool;
    objc::id accelerometer = tel->_SBSAccelerometerInstance;
    objc::SEL sel = SEL_("accelerometer:didAccelerateWithTimeStamp:x:y:z:eventType:");
    // A ringing call with the phone screen-up and the sensor already armed: the steady state.
    TelSetFlag(kPROXIMITY_READY_STATE);
    for (int i = 0; i < 10; ++i)
        objc::msgSend(static_cast<objc::id>(tel), sel, accelerometer, 0.0, 0.01f, -0.02f, -0.99f,
                      int32_t{0});
    long before = gAllocations.load();
    for (auto _ : state) {
        objc::msgSend(static_cast<objc::id>(tel), sel, accelerometer, 0.0, 0.01f, -0.02f, -0.99f,
                      int32_t{0});
    }
    state.counters["allocs/op"] = benchmark::Counter(
        static_cast<double>(gAllocations.load() - before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_AccelerometerSample);

void BM_LoadPrefs(benchmark::State& state) {
    setUpSpringBoard();
    for (auto _ : state) LoadPrefs();
}
BENCHMARK(BM_LoadPrefs);

// Reading a binary list holding one array of n numbers: linear in n (fetched by index, each
// element walked the list from its start, 10.7 s at 100,000).
void BM_ReadBinaryArray(benchmark::State& state) {
    platform::Array numbers;
    for (int64_t i = 0; i < state.range(0); ++i) numbers.emplace_back(i);
    const std::string bytes = platform::plist::toBinary(platform::Value(std::move(numbers)));
    for (auto _ : state) benchmark::DoNotOptimize(platform::plist::parse(bytes));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ReadBinaryArray)->RangeMultiplier(10)->Range(100, 100000)->Complexity();

}  // namespace

BENCHMARK_MAIN();
