// Hot paths of the engine with logging off: one proximity change, one accelerometer sample,
// and loading a typical settings file; one notification delivered to 1 to 1000 observers of its
// name, on the Darwin and on the distributed centre (these report heap allocations per
// operation); reading a long binary array, and writing and reading a settings file of 10,000 to
// 200,000 values.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "ExternalFunctions.h"
#include "Orvella.h"
#include "Telephony.h"
#include "alloc_counter.h"
#include "platform/devices/hardware.h"
#include "platform/files/device_root.h"
#include "platform/loop/runloop.h"
#include "platform/notify/notifications.h"
#include "platform/values/plist.h"
#include "targets.h"

namespace {

void setUpSpringBoard() {
    static bool done = [] {
        platform::device::setRoot(bench::scratchDir());
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

// A settings file's dictionary of n values: numbers, switches, texts, dates.
platform::Value manySettings(int64_t n) {
    platform::Dictionary settings;
    for (int64_t i = 0; i < n; ++i) {
        const std::string key = "key" + std::to_string(i);
        switch (i % 4) {
            case 0:
                settings.emplace(key, platform::Value(i));
                break;
            case 1:
                settings.emplace(key, platform::Value(i % 3 == 0));
                break;
            case 2:
                settings.emplace(key, platform::Value("Wave " + std::to_string(i)));
                break;
            default:
                settings.emplace(key,
                                 platform::Value(platform::Date{1e6 * static_cast<double>(i)}));
        }
    }
    return platform::Value(std::move(settings));
}

// The pane writing a settings file of n values, as it does after every switch flip: linear in n
// (every write also built the binary form, whose writer in libplist is superlinear: 1.1 s at
// 200,000 values against 88 ms at 100,000; libplist's own XML writer builds a tree whose
// dictionaries look up every key they are given, seconds at 200,000).
void BM_WriteSettings(benchmark::State& state) {
    setUpSpringBoard();
    const platform::Value value = manySettings(state.range(0));
    const std::string path =
        platform::device::resolve("/var/mobile/Library/Preferences/bench-write.plist");
    for (auto _ : state) {
        if (!platform::plist::writeXmlAtomically(value, path)) state.SkipWithError("write failed");
    }
    std::filesystem::remove(path);
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_WriteSettings)
    ->RangeMultiplier(2)
    ->Range(10000, 200000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// Reading such a file back, as the tweak does after every change: linear in n too (libplist's XML
// reader looked every dictionary key up as it went: 6 s at 200,000 keys).
void BM_ReadXmlSettings(benchmark::State& state) {
    const std::string xml = platform::plist::toXml(manySettings(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(platform::plist::parse(xml));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ReadXmlSettings)  // 100,000 values come near the 8 MiB a settings file may take
    ->RangeMultiplier(2)
    ->Range(10000, 100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// --- Notification delivery -------------------------------------------------------------------

constexpr const char* kBenchNote = "bench.delivery";
long gDelivered = 0;

void countDarwin(platform::CFNotificationCenterRef, void*, const std::string&, const void*,
                 const platform::Dictionary*) {
    ++gDelivered;
}

// One post and its delivery on the next pass of the run loop, with range(0) observers of the
// posted name registered.
void BM_DarwinPost(benchmark::State& state) {
    setUpSpringBoard();
    objc::AutoreleasePool pool;
    auto* center = platform::CFNotificationCenterGetDarwinNotifyCenter();
    const auto observers = static_cast<size_t>(state.range(0));
    std::vector<char> tokens(observers);  // one distinct observer address each
    for (char& t : tokens)
        platform::CFNotificationCenterAddObserver(center, &t, &countDarwin, kBenchNote, nullptr,
                                                  platform::CFNotificationSuspensionBehaviorHold);
    gDelivered = 0;
    long before = gAllocations.load();
    for (auto _ : state) {
        platform::CFNotificationCenterPostNotification(center, kBenchNote, nullptr, nullptr, true);
        platform::RunLoop::main().runDue();
    }
    state.counters["allocs/op"] = benchmark::Counter(
        static_cast<double>(gAllocations.load() - before), benchmark::Counter::kAvgIterations);
    if (gDelivered != static_cast<long>(state.iterations() * observers))
        state.SkipWithError("not every observer was reached");
    for (char& t : tokens) platform::CFNotificationCenterRemoveEveryObserver(center, &t);
}
BENCHMARK(BM_DarwinPost)->Arg(1)->Arg(10)->Arg(100)->Arg(1000);

objc::Class benchObserverClass() {
    static objc::Class c = [] {
        objc::Class k =
            objc::registerCxxClass<objc::NSObject>("BenchObserver", objc::NSObject::cls());
        objc::addMethod(
            k, SEL_("note:"), +[](objc::id, objc::SEL, objc::id) { ++gDelivered; });
        return k;
    }();
    return c;
}

// The same through the distributed centre, whose observers are objects with a selector.
void BM_DistributedPost(benchmark::State& state) {
    setUpSpringBoard();
    objc::AutoreleasePool pool;
    std::vector<objc::id> observers;
    for (int64_t i = 0; i < state.range(0); ++i) {
        observers.push_back(objc::allocInit(benchObserverClass()));
        platform::distributedAddObserver(observers.back(), SEL_("note:"), kBenchNote);
    }
    gDelivered = 0;
    long before = gAllocations.load();
    for (auto _ : state) {
        platform::distributedPost(kBenchNote);
        platform::RunLoop::main().runDue();
    }
    state.counters["allocs/op"] = benchmark::Counter(
        static_cast<double>(gAllocations.load() - before), benchmark::Counter::kAvgIterations);
    if (gDelivered != static_cast<long>(state.iterations() * observers.size()))
        state.SkipWithError("not every observer was reached");
    for (objc::id o : observers) objc::objc_release(o);  // freeing drops the registrations
}
BENCHMARK(BM_DistributedPost)->Arg(1)->Arg(10)->Arg(100)->Arg(1000);

}  // namespace

int main(int argc, char** argv) { return bench::runBenchmarks(argc, argv); }
