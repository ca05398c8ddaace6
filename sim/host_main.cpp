// A host process of the simulated phone: SpringBoard, the phone application or Settings.
//
//   springboard|mobilephone|preferences --bus ADDRESS --root DIR [--speed F]
//                                       [--screen-height H] [--language CODE]
//
// It takes its bundle identifier, joins the private bus, mirrors the simulator's hardware
// signals into its device model, loads the tweak libraries whose filters name it (before any
// user interface exists), builds its user interface, tells the simulator it is ready and runs
// its main run loop. What a person would see is sent to the simulator as trace signals.
// SIGTERM ends it cleanly; a lost bus connection ends it with status 3.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/bus.h"
#include "platform/device.h"
#include "platform/devices.h"
#include "platform/foundation.h"
#include "platform/hosts.h"
#include "platform/log.h"
#include "platform/preferences.h"
#include "platform/runloop.h"
#include "platform/trace.h"

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

[[noreturn]] void usage(const std::string& problem) {
    std::fprintf(stderr,
                 "%s: %s\nusage: %s --bus ADDRESS --root DIR [--speed F] [--screen-height H] "
                 "[--language CODE]\n",
                 processName(), problem.c_str(), processName());
    std::exit(2);
}

struct Options {
    std::string bus, root, language = "en";
    double speed = 1, screenHeight = 568;
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage(a + " needs a value");
            return argv[++i];
        };
        auto number = [&](const std::string& text) {
            char* end = nullptr;
            double d = std::strtod(text.c_str(), &end);
            if (end == text.c_str() || *end != '\0' || !(d > 0))
                usage(a + " needs a positive number, not '" + text + "'");
            return d;
        };
        if (a == "--bus")
            o.bus = value();
        else if (a == "--root")
            o.root = value();
        else if (a == "--speed")
            o.speed = number(value());
        else if (a == "--screen-height")
            o.screenHeight = number(value());
        else if (a == "--language")
            o.language = value();
        else
            usage("unknown argument '" + a + "'");
    }
    if (o.bus.empty() || o.root.empty()) usage("--bus and --root are required");
    return o;
}

bool flag(const BusSignal& s, size_t i) {
    return i < s.args.size() && std::holds_alternative<bool>(s.args[i]) &&
           std::get<bool>(s.args[i]);
}

double number(const BusSignal& s, size_t i) {
    return i < s.args.size() && std::holds_alternative<double>(s.args[i])
               ? std::get<double>(s.args[i])
               : 0.0;
}

// The simulator's hardware signals, mirrored into this process's device model.
void mirrorHardware(platform::Bus& bus) {
    auto& model = platform::DeviceModel::shared();
    const char* hw = "org.orvella.Hardware";
    bus.subscribe(hw, "CallStatus", std::nullopt, [&model](const BusSignal& s) {
        if (!s.args.empty() && std::holds_alternative<int32_t>(s.args[0]))
            model.setCallStatus(std::get<int32_t>(s.args[0]), flag(s, 1));
    });
    bus.subscribe(hw, "Pose", std::nullopt, [&model](const BusSignal& s) {
        model.setPose(static_cast<float>(number(s, 0)), static_cast<float>(number(s, 1)),
                      static_cast<float>(number(s, 2)));
    });
    bus.subscribe(hw, "Proximity", std::nullopt,
                  [&model](const BusSignal& s) { model.setProximityCovered(flag(s, 0)); });
    bus.subscribe(hw, "LockButton", std::nullopt,
                  [&model](const BusSignal&) { model.pressLockButton(); });
    bus.subscribe(hw, "Locked", std::nullopt,
                  [&model](const BusSignal& s) { model.setLocked(flag(s, 0)); });
    bus.subscribe(hw, "AudioOutputs", std::nullopt, [&model](const BusSignal& s) {
        if (!s.args.empty() && std::holds_alternative<std::vector<std::string>>(s.args[0])) {
            model.setExternalOutputs(std::get<std::vector<std::string>>(s.args[0]));
        }
    });
    bus.subscribe(hw, "Speaker", std::nullopt,
                  [&model](const BusSignal& s) { model.setSpeakerSelected(flag(s, 0)); });
    bus.subscribe(hw, "Logging", std::nullopt, [](const BusSignal& s) {
        // The tweak's own switch, where a tweak is loaded.
        if (auto* loggerOn = static_cast<bool*>(::dlsym(RTLD_DEFAULT, "LOGGER_ON")))
            *loggerOn = flag(s, 0);
    });
}

// A user operating the settings pane: tap a button, flip a switch or turn a picker column,
// each found by its accessibility identifier.
void operatePane(platform::Bus& bus, objc::id pane) {
    bus.subscribe("org.orvella.Settings", "Operate", std::nullopt, [pane](const BusSignal& s) {
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
        }
    });
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    if (!platform::device::setRoot(options.root))
        usage("cannot use '" + options.root + "' as the device root");
    platform::bundle::setMainBundleIdentifier(bundleIdentifier());
    platform::setClock(std::make_unique<platform::RealClock>(options.speed));
    platform::locale::setPreferredLanguages({options.language});
    platform::DeviceModel::shared().setScreenHeight(options.screenHeight);

    if (::pipe2(stopPipe, O_CLOEXEC) != 0) return 1;
    struct sigaction sa {};
    sa.sa_handler = &onTerminate;
    ::sigaction(SIGTERM, &sa, nullptr);
    if (kRole != HostRole::SpringBoard) ::sigaction(SIGINT, &sa, nullptr);

    std::string error;
    std::unique_ptr<platform::Bus> bus = platform::Bus::open(options.bus, &error);
    if (!bus) {
        std::fprintf(stderr, "%s: %s\n", processName(), error.c_str());
        return 3;
    }
    bus->setDisconnectHandler([](const std::string& reason) {
        std::fprintf(stderr, "%s: %s\n", processName(), reason.c_str());
        std::fflush(stderr);
        std::_Exit(3);
    });
    platform::Bus* b = bus.get();
    platform::setTransport(std::make_unique<platform::BusTransport>(*bus));
    platform::registerHostClasses(kRole);
    if (kRole == HostRole::Preferences) platform::registerPreferencesClasses();
    mirrorHardware(*bus);

    auto& model = platform::DeviceModel::shared();
    model.setAnswerHandler([b] { b->emit({"org.orvella.Modem", "AnswerRequest", {}, {}}); });
    model.setSpeakerHandler([b](bool on) {
        b->emit({"org.orvella.Modem", "SpeakerRequest", {on}, {}});
    });
    // Trace lines of one pass travel together, sent before anything else this process sends
    // and at the latest when the pass ends.
    static std::vector<std::string> pendingTraces;
    auto flushTraces = [b] {
        if (pendingTraces.empty()) return;
        std::vector<std::string> lines;
        lines.swap(pendingTraces);
        b->emit(
            {"org.orvella.Trace", "Events", {std::string(processName()), std::move(lines)}, {}});
    };
    platform::setTraceSink([](const std::string& line) {
        if (line.rfind("platform: ", 0) == 0) return;  // the platform's own bookkeeping stays local
        pendingTraces.push_back(line);
    });
    bus->setBeforeEmit(flushTraces);
    platform::RunLoop::main().setBeforeWaiting(flushTraces);
    platform::setLogSink([b](const std::string& line) {
        b->emit({"org.orvella.Trace", "Log", {std::string(processName()), line}, {}});
    });

    platform::RunLoop::main().addSource(stopPipe[0], [] {
        char buf[16];
        (void)!::read(stopPipe[0], buf, sizeof buf);
        platform::RunLoop::main().stop();
    });

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
            }
        } else {
            platform::CallScreen::shared().install(kRole);
        }
    }

    bus->emit({"org.orvella.Host", "Ready", {std::string(processName())}, {}});
    platform::RunLoop::main().run();
    bus->emit({"org.orvella.Host", "Done", {std::string(processName())}, {}});
    platform::setTraceSink({});
    platform::setLogSink({});
    // The Settings application lets its pane go when it quits, as it does when the pane closes.
    objc::objc_release(pane);
    return 0;
}
