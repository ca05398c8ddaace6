// A host process of the simulated phone: SpringBoard, the phone application or Settings.
//
//   springboard|mobilephone|preferences --bus=ADDRESS --root=DIR
//       [--simulated=START | --speed=F [--clock-origin=NOW:MONOTONIC]]
//       [--screen-height=H] [--language=CODE] [--screenshots=DIR]  (--help describes them)
//
// It takes its bundle identifier, joins the private bus, mirrors the simulator's hardware
// signals into its device model, loads the tweak libraries whose filters name it (before any
// user interface exists), builds its user interface, tells the simulator it is ready and runs
// its main run loop. What a person would see is sent to the simulator as trace signals.
// With --simulated its clock reads START and then moves only when the simulator gives it a
// turn, and it starts up in its first turn (host_clock.h); otherwise it runs in real time.
// After each pass of its run loop SpringBoard reports the tweak's wave recognizer when it
// changed (recognizer.h), and with --screenshots every host that shows a screen writes a
// picture of it when what it shows changed (host_screen.h).
// SIGTERM ends it cleanly; a lost bus connection ends it with status 3.
#include <dlfcn.h>
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "host_clock.h"
#include "host_screen.h"
#include "options.h"
#include "platform/bus/bus.h"
#include "platform/core/trace.h"
#include "platform/core/warn.h"
#include "platform/devices/hardware.h"
#include "platform/files/device_root.h"
#include "platform/hosts/host_classes.h"
#include "platform/hosts/preferences.h"
#include "platform/loop/foundation.h"
#include "platform/loop/log.h"
#include "platform/loop/runloop.h"
#include "platform/notify/bus_transport.h"
#include "platform/ui/controls.h"
#include "recognizer.h"

#ifndef HOST_ROLE
#error "HOST_ROLE must name the host"
#endif

namespace {

using platform::BusSignal;
using platform::HostRole;

constexpr HostRole kRole = HostRole::HOST_ROLE;

const char* processName() {
    switch (kRole) {
        case HostRole::SpringBoard:
            return "springboard";
        case HostRole::MobilePhone:
            return "mobilephone";
        case HostRole::Preferences:
            return "preferences";
    }
    return "host";
}

const char* bundleIdentifier() {
    switch (kRole) {
        case HostRole::SpringBoard:
            return "com.apple.springboard";
        case HostRole::MobilePhone:
            return "com.apple.mobilephone";
        case HostRole::Preferences:
            return "com.apple.Preferences";
    }
    return "";
}

int stopPipe[2] = {-1, -1};

void onTerminate(int) {
    const char byte = 1;
    (void)!::write(stopPipe[1], &byte, 1);
}

std::string help() {
    return std::string("usage: ") + processName() +
           " --bus=ADDRESS --root=DIR [OPTION...]\n"
           "\n"
           "A host process of the simulated phone, started by orvella-sim: it joins the phone's\n"
           "private bus, loads the tweaks whose filters name its bundle and builds its user\n"
           "interface on the device root.\n"
           "\n"
           "  --bus=ADDRESS              the phone's private D-Bus (required)\n"
           "  --root=DIR                 the device root, with the package installed (required)\n"
           "  --simulated=START          run on the simulator's clock, starting at START seconds\n"
           "                             (at least 0); it moves only when the simulator says so\n"
           "  --speed=F                  real time: phone time runs F times as fast as the wall\n"
           "                             clock (above 0, at most 1000; default 1)\n"
           "  --clock-origin=NOW:MONO    real time: the phone's time line, shared with the "
           "simulator\n"
           "  --screen-height=H          the main screen's height in points (480 or 568; default "
           "568)\n"
           "  --language=CODE            the user's first preferred language (default en)\n"
           "  --screenshots=DIR          write a picture of the screen to DIR whenever what it\n"
           "                             shows changes, announced as a trace event\n"
           "  -h, --help                 show this help and exit\n"
           "  --version                  show the version and exit\n"
           "\n"
           "Exit status: 0 stopped by SIGTERM or told to stop; 2 wrong options; 3 the bus was "
           "lost.\n";
}

[[noreturn]] void usage(const std::string& problem) {
    platform::warn(processName(),
                   problem + "\nTry '" + processName() + " --help' for the options.");
    std::exit(2);
}

struct Options {
    std::string bus, root, language = "en", screenshots;
    double speed = 1, screenHeight = 568;
    std::optional<double> simulatedStart;
    std::optional<platform::RealClock::Origin> origin;
};

Options parse(int argc, char** argv) {
    enum {
        kBus = 1,
        kRoot,
        kSimulated,
        kSpeed,
        kOrigin,
        kHeight,
        kLanguage,
        kVersion,
        kScreenshots
    };
    static const option longs[] = {{"bus", required_argument, nullptr, kBus},
                                   {"root", required_argument, nullptr, kRoot},
                                   {"simulated", required_argument, nullptr, kSimulated},
                                   {"speed", required_argument, nullptr, kSpeed},
                                   {"clock-origin", required_argument, nullptr, kOrigin},
                                   {"screen-height", required_argument, nullptr, kHeight},
                                   {"language", required_argument, nullptr, kLanguage},
                                   {"screenshots", required_argument, nullptr, kScreenshots},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, kVersion},
                                   {nullptr, 0, nullptr, 0}};
    Options o;
    auto number = [](const char* name, const std::string& text, double above, double atMost) {
        auto d = sim::numberOption(name, text, above, atMost);
        if (!d) usage(d.error());
        return *d;
    };
    opterr = 0;
    for (;;) {
        const int c = getopt_long(argc, argv, ":h", longs, nullptr);
        if (c == -1) break;
        const std::string given = argv[optind - 1];
        const std::string value = optarg != nullptr ? optarg : "";
        switch (c) {
            case kBus:
                o.bus = value;
                break;
            case kRoot:
                o.root = value;
                break;
            case kSimulated:
                o.simulatedStart = number("--simulated", value, -1e300, 1e12);
                if (*o.simulatedStart < 0)
                    usage("--simulated: needs a start of at least 0, not " + value);
                break;
            case kSpeed:
                o.speed = number("--speed", value, 0, sim::kMaxSpeed);
                break;
            case kOrigin: {
                const auto colon = value.find(':');
                if (colon == std::string::npos)
                    usage("--clock-origin: needs NOW:MONOTONIC, not '" + value + "'");
                o.origin = platform::RealClock::Origin{
                    number("--clock-origin", value.substr(0, colon), 0, 1e12),
                    number("--clock-origin", value.substr(colon + 1), 0, 1e12)};
                break;
            }
            case kHeight:
                o.screenHeight = number("--screen-height", value, 0, 10000);
                if (o.screenHeight != 480 && o.screenHeight != 568)
                    usage("--screen-height: is 480 or 568, not " + value);
                break;
            case kLanguage:
                if (value.empty()) usage("--language: needs a value");
                o.language = value;
                break;
            case kScreenshots:
                if (value.empty()) usage("--screenshots: needs a value");
                o.screenshots = value;
                break;
            case 'h':
                std::fputs(help().c_str(), stdout);
                std::exit(0);
            case kVersion:
                std::printf("%s %s\n", processName(), ORVELLA_VERSION);
                std::exit(0);
            case ':':
                usage(given.substr(0, given.find('=')) + ": needs a value");
            default:
                if (given.rfind("--", 0) == 0 && optopt != 0)
                    usage(given.substr(0, given.find('=')) + ": takes no value");
                usage("unknown option '" + given + "'" + sim::suggestOption(given, longs));
        }
    }
    if (optind < argc) usage(std::string("unexpected argument '") + argv[optind] + "'");
    if (o.bus.empty() || o.root.empty()) usage("--bus and --root are required");
    return o;
}

bool flag(const BusSignal& s, size_t i) {
    return i < s.args.size() && std::holds_alternative<bool>(s.args[i]) &&
           std::get<bool>(s.args[i]);
}

// A hardware signal whose arguments are not what the simulator sends is dropped: applying it
// with made-up values (a pose of 0, 0, 0; a sensor uncovered) would be a lie about the phone.
bool shaped(const BusSignal& s, std::initializer_list<size_t> types) {
    if (s.args.size() != types.size()) return false;
    size_t i = 0;
    for (size_t t : types)
        if (s.args[i++].index() != t) return false;
    return true;
}
constexpr size_t kBool = 0, kInt32 = 1, kDouble = 3, kStrings = 5;

// The simulator's hardware signals, mirrored into this process's device model.
void mirrorHardware(platform::Bus& bus) {
    auto& model = platform::DeviceModel::shared();
    namespace n = platform::busnames;
    const char* hw = n::kHardware;
    bus.subscribe(hw, n::kCallStatus, std::nullopt, [&model](const BusSignal& s) {
        if (shaped(s, {kInt32, kBool})) model.setCallStatus(*s.arg<int32_t>(0), flag(s, 1));
    });
    bus.subscribe(hw, n::kPose, std::nullopt, [&model](const BusSignal& s) {
        if (!shaped(s, {kDouble, kDouble, kDouble})) return;
        model.setPose(static_cast<float>(*s.arg<double>(0)), static_cast<float>(*s.arg<double>(1)),
                      static_cast<float>(*s.arg<double>(2)));
    });
    bus.subscribe(hw, n::kProximity, std::nullopt, [&model](const BusSignal& s) {
        if (shaped(s, {kBool})) model.setProximityCovered(flag(s, 0));
    });
    bus.subscribe(hw, n::kLockButton, std::nullopt, [&model](const BusSignal& s) {
        if (shaped(s, {})) model.pressLockButton();
    });
    bus.subscribe(hw, n::kLocked, std::nullopt, [&model](const BusSignal& s) {
        if (shaped(s, {kBool})) model.setLocked(flag(s, 0));
    });
    bus.subscribe(hw, n::kAudioOutputs, std::nullopt, [&model](const BusSignal& s) {
        if (shaped(s, {kStrings})) model.setExternalOutputs(*s.arg<std::vector<std::string>>(0));
    });
    bus.subscribe(hw, n::kSpeaker, std::nullopt, [&model](const BusSignal& s) {
        if (shaped(s, {kBool})) model.setSpeakerSelected(flag(s, 0));
    });
    bus.subscribe(hw, n::kLogging, std::nullopt, [](const BusSignal& s) {
        if (!shaped(s, {kBool})) return;
        // The tweak's own switch, where a tweak is loaded.
        if (auto* loggerOn = static_cast<bool*>(::dlsym(RTLD_DEFAULT, "LOGGER_ON")))
            *loggerOn = flag(s, 0);
    });
}

// A user operating the settings pane: tap a button, flip a switch or turn a picker column,
// each found by its accessibility identifier, or tap a button of the alert in front.
void operatePane(platform::Bus& bus, objc::id pane) {
    namespace n = platform::busnames;
    bus.subscribe(n::kSettings, n::kOperate, std::nullopt, [pane](const BusSignal& s) {
        const std::string* action = s.text(0);
        const std::string* argument = s.text(1);
        if (action == nullptr || argument == nullptr) return;
        auto* root = static_cast<platform::UIView*>(objc::msgSend<objc::id>(pane, SEL_("view")));
        if (*action == "tap") {
            platform::tapButton(platform::findViewByIdentifier(root, *argument));
        } else if (*action == "switch") {
            const auto eq = argument->rfind('=');
            if (eq == std::string::npos) return;
            platform::setSwitchByUser(platform::findViewByIdentifier(root, argument->substr(0, eq)),
                                      argument->substr(eq + 1) == "on");
        } else if (*action == "spin") {
            // "identifier:component:row"
            const auto second = argument->rfind(':');
            const auto first =
                second == std::string::npos ? std::string::npos : argument->rfind(':', second - 1);
            if (first == std::string::npos) return;
            platform::spinPicker(
                platform::findViewByIdentifier(root, argument->substr(0, first)),
                std::atoll(argument->substr(second + 1).c_str()),
                std::atoll(argument->substr(first + 1, second - first - 1).c_str()));
        } else if (*action == "alert") {
            // "N": the front alert's button N (0 is the cancel button)
            if (!platform::visibleAlerts().empty())
                platform::tapAlertButton(std::atoll(argument->c_str()));
        }
    });
}

}  // namespace

int main(int argc, char** argv) {
    namespace n = platform::busnames;
    const Options options = parse(argc, argv);
    if (!platform::device::setRoot(options.root))
        usage("cannot use '" + options.root + "' as the device root");
    platform::bundle::setMainBundleIdentifier(bundleIdentifier());
    platform::locale::setPreferredLanguages({options.language});
    platform::DeviceModel::shared().setScreenHeight(options.screenHeight);

    if (::pipe2(stopPipe, O_CLOEXEC) != 0) return 1;
    struct sigaction sa {};
    sa.sa_handler = &onTerminate;
    ::sigaction(SIGTERM, &sa, nullptr);
    if (kRole != HostRole::SpringBoard) ::sigaction(SIGINT, &sa, nullptr);

    // The clock first: everything after it, the bus's own work included, is on the phone's time.
    platform::DrivenClock* driven = nullptr;
    if (options.simulatedStart) {
        auto clock = std::make_unique<platform::DrivenClock>(*options.simulatedStart);
        driven = clock.get();
        platform::setClock(std::move(clock));
    } else {
        platform::setClock(std::make_unique<platform::RealClock>(
            options.speed, options.origin.value_or(platform::RealClock(options.speed).origin())));
    }
    auto opened = platform::Bus::open(options.bus);
    if (!opened) {
        platform::warn(processName(), opened.error());
        return 3;
    }
    std::unique_ptr<platform::Bus> bus = std::move(*opened);
    bus->setDisconnectHandler([](const std::string& reason) {
        platform::warn(processName(), reason);
        std::_Exit(3);
    });
    platform::Bus* b = bus.get();
    platform::RunLoop::main().addSource(stopPipe[0], [] {
        char buf[16];
        (void)!::read(stopPipe[0], buf, sizeof buf);
        platform::RunLoop::main().stop();
    });
    std::optional<sim::SimulatedHostClock> simulated;
    std::optional<sim::RealtimeHostClock> realtime;
    if (driven != nullptr)
        simulated.emplace(*bus, processName(), *driven);
    else
        realtime.emplace(*bus, processName());

    platform::setTransport(std::make_unique<platform::BusTransport>(*bus));
    platform::registerHostClasses(kRole);
    if (kRole == HostRole::Preferences) platform::registerPreferencesClasses();
    mirrorHardware(*bus);

    auto& model = platform::DeviceModel::shared();
    model.setAnswerHandler([b] { b->emit({n::kModem, n::kAnswerRequest, {}, {}}); });
    model.setSpeakerHandler([b](bool on) { b->emit({n::kModem, n::kSpeakerRequest, {on}, {}}); });
    // Trace events of one pass travel together, in as few signals as the bus allows, sent
    // before anything else this process sends and at the latest when the pass ends. The
    // platform's own bookkeeping stays local.
    static std::vector<platform::TraceEvent> pendingTraces;
    auto flushTraces = [b] {
        if (pendingTraces.empty()) return;
        std::vector<platform::TraceEvent> events;
        events.swap(pendingTraces);
        b->emit(platform::traceSignals(processName(), events));
    };
    platform::setTraceEventSink([](const platform::TraceEvent& e) {
        if (std::holds_alternative<platform::events::Bookkeeping>(e)) return;
        pendingTraces.push_back(e);
    });
    bus->setBeforeEmit(flushTraces);
    // What a pass changed is read and drawn before its traces go out, so they travel with them.
    static std::optional<sim::RecognizerWatch> recognizer;
    static std::optional<sim::ScreenRecorder> screen;
    if (kRole == HostRole::SpringBoard) recognizer.emplace();
    if (!options.screenshots.empty() && kRole != HostRole::MobilePhone)
        screen.emplace(processName(), kRole, options.screenshots);
    platform::RunLoop::main().setBeforeWaiting([flushTraces] {
        objc::AutoreleasePool pool;
        if (recognizer) recognizer->afterPass();
        if (screen) screen->afterPass();
        flushTraces();
    });
    platform::setLogSink([b](const std::string& line) {
        b->emit({n::kTrace, n::kLog, {std::string(processName()), line}, {}});
    });

    if (simulated && !simulated->awaitFirstTurn()) {
        platform::RunLoop::main().runDue();  // a lost bus's handler ends the process with 3
        return 0;                            // told to stop
    }
    // The tweaks come first, then the user interface, as on the phone.
    platform::injectTweaks();
    objc::id pane = nullptr;
    {
        objc::AutoreleasePool pool;
        if (kRole == HostRole::Preferences) {
            pane = platform::openPreferencePane("Orvella_Prefs");
            if (pane != nullptr) {
                objc::msgSend<objc::id>(pane, SEL_("view"));
                operatePane(*bus, pane);
                if (screen) screen->setPane(pane);
            }
        } else {
            platform::CallScreen::shared().install(kRole);
        }
    }

    bus->emit({n::kHost, n::kReady, {std::string(processName())}, {}});
    platform::RunLoop::main().run();
    bus->emit({n::kHost, n::kDone, {std::string(processName())}, {}});
    platform::setTraceEventSink({});
    platform::setLogSink({});
    // The Settings application lets its pane go when it quits, as it does when the pane closes.
    objc::objc_release(pane);
    return 0;
}
