// A host process of the simulated phone: SpringBoard, the phone application or Settings.
//
//   springboard|mobilephone|preferences --bus=ADDRESS --root=DIR [OPTION...]  (--help lists them)
//
// It takes its bundle identifier, joins the private bus, mirrors the simulator's hardware
// signals into its device model (remote_control.h), loads the tweak libraries whose filters name it
// (before any user interface exists), builds its user interface, tells the simulator it is
// ready and runs its main run loop. The simulator's signals are believed only from the
// connection --simulator names; it declares the interfaces it sends or receives on the bus. What a
// person would see is sent to the simulator as trace signals. With --simulated its clock reads
// START and then moves only when the simulator gives it a turn, and it starts up in its first turn
// (host_clock.h); otherwise it runs in real time. After each pass of its run loop SpringBoard
// reports the tweak's wave recognizer when it changed (recognizer_watch.h), and with --screenshots
// every host that shows a screen writes a picture of it when what it shows changed (host_screen.h).
// SIGTERM ends it cleanly; a lost bus connection ends it with status 3.
#include <csignal>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host_clock.h"
#include "host_screen.h"
#include "phone_clock.h"
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
#include "program/command_line.h"
#include "program/signal_pipe.h"
#include "protocol/interfaces.h"
#include "protocol/limits.h"
#include "protocol/trace.h"
#include "recognizer_watch.h"
#include "remote_control.h"

#ifndef HOST_ROLE
#error "HOST_ROLE must name the host"
#endif

namespace {

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

const program::Program kHost{
    processName(),
    {{nullptr,
      "--bus=ADDRESS --root=DIR [OPTION...]",
      "A host process of the simulated phone, started by orvella-sim: it joins the phone's\n"
      "private bus, loads the tweaks whose filters name its bundle and builds its user\n"
      "interface on the device root.",
      {
          {"bus", 0, "ADDRESS", "the phone's private D-Bus (required)"},
          {"root", 0, "DIR", "the device root, with the package installed (required)"},
          {"simulator", 0, "NAME",
           "the simulator's connection on the bus (its unique name): the one sender whose clock, "
           "hardware and settings signals are believed; without it none are"},
          {"simulated", 0, "START",
           "run on the simulator's clock, starting at START seconds (at least 0); it moves only "
           "when the simulator says so (needs --simulator)"},
          {"speed", 0, "F",
           "real time: phone time runs F times as fast as the wall clock (above 0, at most "
           "1000; default 1)"},
          {"clock-origin", 0, "NOW:MONO",
           "real time: the phone's time line, shared with the simulator"},
          {"screen-height", 0, "H", "the main screen's height in points (480 or 568; default 568)"},
          {"language", 0, "CODE", "the user's first preferred language (default en)"},
          {"screenshots", 0, "DIR",
           "write a picture of the screen to DIR whenever what it shows changes, announced as a "
           "trace event"},
      }}},
    "Exit status: 0 stopped by SIGTERM or told to stop; 2 wrong options; 3 the bus was lost.\n"};

struct Options {
    std::string bus, root, simulator, language = "en", screenshots;
    double speed = 1, screenHeight = 568;
    std::optional<double> simulatedStart;
    std::optional<platform::RealClock::Origin> origin;
};

using platform::Failure;

// One clock option given into the options; why not, naming it.
platform::Result<void> takeClock(const program::Given& g, Options& o) {
    auto number = [](const char* name, const std::string& text, double above, double atMost) {
        return program::number(name, text, above, atMost);
    };
    if (g.is("simulated")) {
        auto start = number("--simulated", g.value, -1e300, protocol::kMaxPhoneTime);
        if (!start) return Failure{start.error()};
        if (*start < 0) return Failure{"--simulated: needs a start of at least 0, not " + g.value};
        o.simulatedStart = *start;
    } else if (g.is("speed")) {
        auto speed = number("--speed", g.value, 0, sim::kMaxSpeed);
        if (!speed) return Failure{speed.error()};
        o.speed = *speed;
    } else if (g.is("clock-origin")) {
        const auto colon = g.value.find(':');
        if (colon == std::string::npos)
            return Failure{"--clock-origin: needs NOW:MONOTONIC, not '" + g.value + "'"};
        auto now = number("--clock-origin", g.value.substr(0, colon), 0, 1e12);
        auto mono = number("--clock-origin", g.value.substr(colon + 1), 0, 1e12);
        if (!now || !mono) return Failure{!now ? now.error() : mono.error()};
        o.origin = platform::RealClock::Origin{*now, *mono};
    }
    return {};
}

platform::Result<Options> options(const program::CommandLine& line) {
    Options o;
    for (const program::Given& g : line.options) {
        if (g.is("bus")) o.bus = g.value;
        if (g.is("root")) o.root = g.value;
        if (g.is("simulator")) o.simulator = g.value;
        if (g.is("language")) o.language = g.value;
        if (g.is("screenshots")) o.screenshots = g.value;
        if (g.is("screen-height")) {
            auto h = program::number("--screen-height", g.value, 0, 10000);
            if (!h) return Failure{h.error()};
            if (*h != 480 && *h != 568)
                return Failure{"--screen-height: is 480 or 568, not " + g.value};
            o.screenHeight = *h;
        }
        if (auto clock = takeClock(g, o); !clock) return Failure{clock.error()};
    }
    if (!line.operands.empty())
        return Failure{"unexpected argument '" + line.operands.front() + "'"};
    if (o.bus.empty() || o.root.empty()) return Failure{"--bus and --root are required"};
    // Turns are believed only from the simulator: without it named, none would ever come.
    if (o.simulatedStart && o.simulator.empty())
        return Failure{"--simulated needs --simulator, the one sender of the clock's turns"};
    return o;
}

// The clock first: everything after it, the bus's own work included, is on the phone's time.
// The driven clock of simulated time, or null in real time.
platform::DrivenClock* installClock(const Options& o) {
    if (!o.simulatedStart) {
        platform::setClock(std::make_unique<platform::RealClock>(
            o.speed, o.origin.value_or(platform::RealClock(o.speed).origin())));
        return nullptr;
    }
    auto clock = std::make_unique<platform::DrivenClock>(*o.simulatedStart);
    platform::DrivenClock* driven = clock.get();
    platform::setClock(std::move(clock));
    return driven;
}

// Trace events of one pass travel together, in as few signals as the bus allows, sent before
// anything else this process sends and at the latest when the pass ends. The platform's own
// bookkeeping stays local. What a pass changed (the recognizer, the screen) is read and drawn
// before its traces go out, so they travel with them.
std::vector<platform::TraceEvent> pendingTraces;
std::optional<sim::RecognizerWatch> recognizer;
std::optional<sim::ScreenRecorder> screen;

void sendTraces(platform::Bus& bus, const Options& o) {
    auto flushTraces = [b = &bus] {
        if (pendingTraces.empty()) return;
        std::vector<platform::TraceEvent> events;
        events.swap(pendingTraces);
        b->emit(protocol::traceSignals(processName(), events));
    };
    platform::setTraceEventSink([](const platform::TraceEvent& e) {
        if (std::holds_alternative<platform::events::Bookkeeping>(e)) return;
        pendingTraces.push_back(e);
    });
    bus.setBeforeEmit(flushTraces);
    if (kRole == HostRole::SpringBoard) recognizer.emplace();
    if (!o.screenshots.empty() && kRole != HostRole::MobilePhone)
        screen.emplace(processName(), kRole, o.screenshots);
    platform::RunLoop::main().setBeforeWaiting([flushTraces] {
        objc::AutoreleasePool pool;
        if (recognizer) recognizer->afterPass();
        if (screen) screen->afterPass();
        flushTraces();
    });
    platform::setLogSink([b = &bus](const std::string& line) {
        b->emit(protocol::trace::Log{processName(), line}.signal());
    });
}

// The phone's answer and speaker requests go to the simulator, which is the modem.
void requestFromModem(platform::Bus& bus) {
    auto& model = platform::DeviceModel::shared();
    model.setAnswerHandler([b = &bus] { b->emit(protocol::modem::AnswerRequest{}.signal()); });
    model.setSpeakerHandler(
        [b = &bus](bool on) { b->emit(protocol::modem::SpeakerRequest{on}.signal()); });
}

// The tweaks first, then the user interface, as on the phone. Settings' pane, if it opened.
objc::id buildInterface(platform::Bus& bus, const std::string& simulator) {
    platform::injectTweaks();
    objc::AutoreleasePool pool;
    if (kRole != HostRole::Preferences) {
        platform::CallScreen::shared().install(kRole);
        return nullptr;
    }
    objc::id pane = platform::openPreferencePane("Orvella_Prefs");
    if (pane != nullptr) {
        objc::msgSend<objc::id>(pane, SEL_("view"));
        sim::operatePane(bus, pane, simulator);
        if (screen) screen->setPane(pane);
    }
    return pane;
}

// What a host sends or receives on the bus, besides the notifications (their transport declares
// those): what busctl introspect shows of it.
void declareInterfaces(platform::Bus& bus) {
    for (const platform::InterfaceDescription* d :
         {&protocol::hardware::description(), &protocol::clock::description(),
          &protocol::traceInterface(), &protocol::host::description(),
          &protocol::modem::description()})
        bus.declare(*d);
    if (kRole == HostRole::Preferences) bus.declare(protocol::settings::description());
}

// Joins the bus, becomes the host and runs until told to stop: the exit status.
int runHost(const Options& o) {
    platform::DrivenClock* driven = installClock(o);
    auto opened = platform::Bus::open(o.bus);
    if (!opened) {
        platform::warn(processName(), opened.error());
        return 3;
    }
    std::unique_ptr<platform::Bus> bus = std::move(*opened);
    bus->setDisconnectHandler([](const std::string& reason) {
        platform::warn(processName(), reason);
        std::_Exit(3);
    });
    std::optional<sim::SimulatedHostClock> simulated;
    std::optional<sim::RealtimeHostClock> realtime;
    declareInterfaces(*bus);
    if (driven != nullptr)
        simulated.emplace(*bus, processName(), *driven, o.simulator);
    else
        realtime.emplace(*bus, processName(), o.simulator);

    platform::setTransport(std::make_unique<platform::BusTransport>(*bus));
    platform::registerHostClasses(kRole);
    if (kRole == HostRole::Preferences) platform::registerPreferencesClasses();
    sim::mirrorHardware(*bus, processName(), o.simulator);
    requestFromModem(*bus);
    sendTraces(*bus, o);
    if (simulated && !simulated->awaitFirstTurn()) {
        platform::RunLoop::main().runDue();  // a lost bus's handler ends the process with 3
        return 0;                            // told to stop
    }
    objc::id pane = buildInterface(*bus, o.simulator);
    bus->emit(protocol::host::Ready{processName()}.signal());
    platform::RunLoop::main().run();
    bus->emit(protocol::host::Done{processName()}.signal());
    platform::setTraceEventSink({});
    platform::setLogSink({});
    // The Settings application lets its pane go when it quits, as it does when the pane closes.
    objc::objc_release(pane);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    auto line = kHost.parse(argc, argv);
    if (!line) return kHost.refuse(line.error());
    if (line->help) return kHost.showHelp();
    if (line->version) return kHost.showVersion();
    auto o = options(*line);
    if (!o) return kHost.refuse(o.error());
    if (!platform::device::setRoot(o->root))
        return kHost.refuse("cannot use '" + o->root + "' as the device root");
    platform::bundle::setMainBundleIdentifier(bundleIdentifier());
    platform::locale::setPreferredLanguages({o->language});
    platform::DeviceModel::shared().setScreenHeight(o->screenHeight);
    // SpringBoard's tweak takes the interrupt signal for itself, as on the phone.
    auto stop = [](int) { platform::RunLoop::main().stop(); };
    const bool handled = kRole == HostRole::SpringBoard
                             ? program::handleSignals({SIGTERM}, stop)
                             : program::handleSignals({SIGTERM, SIGINT}, stop);
    if (!handled) return 1;
    return runHost(*o);
}
