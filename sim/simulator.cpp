// The phone simulator: a whole phone as separate processes on a private D-Bus.
//
//   orvella-sim [SCENARIO] [--realtime [--speed F]] [--json] [--log] [--root DIR]
//               [--package DIR] [--bus-address-file FILE]
//
// Starts a private dbus-daemon and the springboard, mobilephone and preferences hosts on a
// device root with the package installed, plays the scenario (the built-in one when none is
// given), prints a timeline of what happened and checks the scenario's expectations.
// By default the phone runs in simulated time, on the simulator's one clock (phone_clock.h):
// as fast as the machine allows, and with the same timeline on every run. --realtime runs it
// on the wall clock, scaled by --speed, for watching it live and driving it with dbus-send.
// --screenshots DIR keeps a picture of what the person sees each time it changes (listed in the
// timeline); --plot draws the call's time line (plot.h).
// Exit status: 0 every expectation held, 1 some failed (each named), 2 bad scenario or arguments,
// 3 the phone could not be run. Ctrl-C or SIGTERM ends every process it started and removes its
// runtime directory.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>

#include "expectations.h"
#include "narrator.h"
#include "options.h"
#include "phone.h"
#include "phone_clock.h"
#include "platform/bus/bus.h"
#include "platform/core/warn.h"
#include "platform/loop/runloop.h"
#include "player.h"
#include "plot.h"
#include "scenario.h"
#include "screenshots.h"

namespace fs = std::filesystem;
using platform::BusSignal;
namespace names = platform::busnames;

namespace {

constexpr const char* kMe = "orvella-sim";
constexpr double kStartSeconds = 30;  // wall time for the hosts to start
constexpr double kTurnSeconds = 10;   // wall time for one host's turn

// --- signals: Ctrl-C, SIGTERM and ended children wake the run loop ------------------------------

volatile sig_atomic_t interrupted = 0;
int wakePipe[2] = {-1, -1};

void onSignal(int sig) {
    if (sig != SIGCHLD) interrupted = sig;
    const char b = 1;
    (void)!::write(wakePipe[1], &b, 1);
}

// `woken` runs on the loop after each such signal.
bool installSignals(platform::RunLoop& loop, std::function<void()> woken) {
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction sa {};
    sa.sa_handler = &onSignal;
    sa.sa_flags = SA_RESTART;
    // A closed terminal (SIGHUP) and Ctrl-\\ (SIGQUIT) end the run as Ctrl-C does: the phone is
    // stopped and its runtime directory removed.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) ::sigaction(sig, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    loop.addSource(wakePipe[0], [woken] {
        char buf[64];
        while (::read(wakePipe[0], buf, sizeof buf) > 0) {
        }
        woken();
    });
    return true;
}

// --- options and scenario -------------------------------------------------------------------

std::string selfDirectory() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : exe.parent_path().string();
}

// What an installed simulator has beside it: PATH relative to its own folder, when that exists.
std::string installed(const char* path) {
    std::error_code ec;
    const fs::path p = (fs::path(selfDirectory()) / path).lexically_normal();
    return fs::exists(p, ec) ? p.string() : std::string();
}

// Where the hosts are: beside the simulator in the build tree, in libexec/orvella once installed.
std::string hostDirectory() {
    const std::string self = selfDirectory();
    std::error_code ec;
    if (fs::exists(self + "/springboard", ec)) return self;
    return (fs::path(self) / ORVELLA_INSTALLED_HOSTS).lexically_normal().string();
}

// The package: the installed one beside an installed simulator, else the build's staged tree.
std::string defaultPackage() {
    const std::string package = installed(ORVELLA_INSTALLED_PACKAGE);
    if (!package.empty()) return package;
    return (fs::path(selfDirectory()) / "../package").lexically_normal().string();
}

// A scenario named without a folder that is not in the current one is looked for among the
// installed scenarios, so `orvella-sim wave-too-slow.scn` plays the one installed beside it.
platform::Result<sim::Scenario> loadScenario(const sim::Options& o) {
    if (o.scenarioFile.empty())
        return sim::parseScenario(sim::kDefaultScenario, "(built-in scenario)");
    std::error_code ec;
    const std::string folder = installed(ORVELLA_INSTALLED_SCENARIOS);
    if (o.scenarioFile != "-" && o.scenarioFile.find('/') == std::string::npos &&
        !fs::exists(o.scenarioFile, ec) && !folder.empty() &&
        fs::exists(folder + "/" + o.scenarioFile, ec))
        return sim::loadScenario(folder + "/" + o.scenarioFile);
    return sim::loadScenario(o.scenarioFile);
}

// The help names its documents as docs/NAME in the source tree; an installed simulator names
// them where they were installed.
std::string helpText() {
    std::string text = sim::kHelp;
    const std::string docs = installed(ORVELLA_INSTALLED_DOCS);
    if (docs.empty()) return text;
    for (size_t at = 0; (at = text.find("docs/", at)) != std::string::npos;) {
        text.replace(at, 5, docs + "/");
        at += docs.size() + 1;
    }
    return text;
}

std::string number(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// --- what the hosts tell the simulator, into the timeline -----------------------------------

// Any process on the phone's bus can send anything. What the hosts tell is believed only from
// the connections of the processes the simulator started: the bus daemon names the process
// behind each sender.
struct Listener {
    Listener(sim::Phone& p, sim::Timeline& t, sim::PlotRecorder& pl, sim::Screenshots* shots)
        : phone(p), timeline(t), plot(pl), screenshots(shots) {}
    sim::Phone& phone;
    sim::Timeline& timeline;
    sim::PlotRecorder& plot;
    sim::Screenshots* screenshots;
    std::set<std::string> ready;
    std::map<std::string, std::string> processOf;  // unique bus name -> host
    bool toldLate = false;

    // Pictures are named and listed here; every event goes into the plot, a wave's timing in
    // the timeline's seconds.
    void observe(const std::string& process, platform::TraceEvent& event) {
        const double t = timeline.now();
        if (auto* shot = std::get_if<platform::events::ScreenshotWritten>(&event)) {
            if (screenshots == nullptr) return;
            auto named = screenshots->name(process, shot->file, t);
            if (named)
                timeline.screenshot(process, *named, t);
            else
                platform::warn(kMe, sim::printable(named.error()));
            return;
        }
        if (auto* r = std::get_if<platform::events::RecognizerChanged>(&event);
            r != nullptr && r->timedSince >= 0)
            r->timedSince = timeline.relative(r->timedSince);
        plot.event(t, process, event);
    }

    // The host behind the sender, if the sender is one of ours (asked once per connection).
    const std::string* host(platform::Bus& bus, const BusSignal& s) {
        auto known = processOf.find(s.sender);
        if (known != processOf.end()) return &known->second;
        if (strangers_.count(s.sender) != 0) return nullptr;
        if (auto name = phone.hostOf(bus.processOf(s.sender)))
            return &processOf.emplace(s.sender, *name).first->second;
        strangers_.insert(s.sender);
        return nullptr;
    }

    void listen(platform::Bus& bus, sim::Narrator& narrator) {
        auto known = [this, &bus](const BusSignal& s) { host(bus, s); };
        bus.subscribe(names::kClock, names::kHello, std::nullopt, known);
        bus.subscribe(names::kHost, names::kReady, std::nullopt, [this, &bus](const BusSignal& s) {
            if (const std::string* h = host(bus, s)) ready.insert(*h);
        });
        bus.subscribe(names::kTrace, "", std::nullopt, [this, &bus, &narrator](const BusSignal& s) {
            // Named after the host the sender is, whatever the signal says.
            const std::string* process = host(bus, s);
            if (process == nullptr) return;
            if (s.member == names::kLog) {
                if (const std::string* line = s.text(1)) narrator.log(*process, *line);
            } else {
                for (platform::TraceEvent& event : platform::traceEventsOf(s)) {
                    observe(*process, event);
                    narrator.event(*process, event);
                }
            }
        });
        // Posts are narrated from the notifications themselves, named after their sender.
        bus.subscribe(names::kDistributed, names::kNotification, std::nullopt,
                      [this, &bus, &narrator](const BusSignal& s) {
                          const std::string* name = s.text(0);
                          if (name == nullptr) return;
                          // The platform's notifications are unauthenticated, as on the
                          // phone: a stranger's post is told under its bus name.
                          const std::string* who = host(bus, s);
                          narrator.posted(who == nullptr ? s.sender : *who, *name);
                      });
        bus.subscribe(names::kClock, names::kLate, std::nullopt, [this, &bus](const BusSignal& s) {
            if (host(bus, s) == nullptr) return;
            const std::string* process = s.text(0);
            const double* at = s.arg<double>(1);
            const double* lag = s.arg<double>(2);
            if (toldLate || process == nullptr || at == nullptr || lag == nullptr) return;
            const std::string who = sim::printable(sim::clipped(*process));
            toldLate = true;
            char buf[200];
            std::snprintf(buf, sizeof buf,
                          "the phone fell behind the scenario: %s took in a scripted event "
                          "%.1f ms of phone time late (the machine is too busy for this speed)",
                          who.c_str(), *lag * 1e3);
            platform::warn(kMe, buf);
        });
    }

  private:
    std::set<std::string> strangers_;
};

// --- one run ---------------------------------------------------------------------------------

struct Run {
    const sim::Options& options;
    const sim::Scenario& scenario;
    sim::Phone& phone;
    sim::Timeline& timeline;
    sim::Player& player;
    Listener& listener;
    sim::PlotRecorder& plot;
    platform::RunLoop& loop = platform::RunLoop::main();
    std::string lostBus = {};  // why the bus connection was lost, once it was

    std::string lostBusReason() const {
        return lostBus.empty() ? "lost the bus connection" : lostBus;
    }

    int fail(const std::string& why) {
        platform::warn(kMe, why);
        return 3;
    }

    // Why to give up waiting, if there is a reason.
    std::optional<std::string> abort() {
        if (interrupted) return std::string("interrupted");
        if (!phone.bus().connected()) return lostBusReason();
        if (auto host = phone.endedHost()) return *host + " stopped";
        return std::nullopt;
    }

    // After a failed wait: the status to exit with, having said why.
    int failed(const std::string& why) {
        if (interrupted) {
            platform::warn(kMe, "interrupted; stopping the phone");
            return 128 + interrupted;
        }
        if (auto host = phone.endedHost()) {
            timeline.add("sim", *host + " stopped unexpectedly");
            return fail(*host + " stopped during the scenario");
        }
        if (!phone.bus().connected()) return fail(lostBusReason());
        return fail(why);
    }

    // Runs the loop's sources until done() or the wall-clock limit.
    bool waitFor(const std::function<bool()>& done, double seconds) {
        const double deadline = platform::monotonicSeconds() + seconds;
        while (!done()) {
            const double left = deadline - platform::monotonicSeconds();
            if (abort() || left <= 0) return false;
            loop.waitForSources(std::min(left, 0.25));
        }
        return true;
    }

    void afterStart() {
        // The tweak's log is always on: the wave recognizer's time-outs are told from it.
        phone.bus().emit({names::kHardware, names::kLogging, {true}, {}});
        if (!options.addressFile.empty())
            std::ofstream(options.addressFile) << phone.address() << "\n";
    }

    // Puts the steps and the end on the loop, relative to now.
    void schedule(bool& ended) {
        const double start = platform::processClock().now();
        timeline.setStart(start);
        for (const sim::Step& step : scenario.steps)
            loop.schedule(step.at, [this, step, start] {
                player.play(step, start + step.at);
                plot.step(timeline.now(), step);
            });
        loop.schedule(scenario.endTime(), [this, &ended] {
            ended = true;
            loop.stop();
        });
    }

    int simulated();
    int realtime(double speed);
};

// The phone on the simulator's clock: every instant is settled before the clock moves on.
int Run::simulated() {
    platform::VirtualClock& clock = platform::useVirtualClock();
    const double start = clock.now();
    std::vector<std::unique_ptr<sim::BusHostLink>> links;  // listening before the hosts start
    std::vector<sim::HostLink*> order;
    for (const std::string& name : sim::kHostNames) {
        links.push_back(std::make_unique<sim::BusHostLink>(phone.bus(), loop, name, kTurnSeconds,
                                                           [this] { return abort(); }));
        order.push_back(links.back().get());
    }
    phone.startHosts({"--simulated", number(start)}, true);
    auto allHello = [&] {
        for (auto& l : links)
            if (!l->saidHello()) return false;
        return true;
    };
    if (!waitFor(allHello, kStartSeconds))
        return failed("the hosts did not all start within " + number(kStartSeconds) + " s");
    sim::PhoneClock phoneClock(order);
    auto own = [&] {
        const int64_t before = sim::phoneSignalsSent(phone.bus());
        loop.runDue();
        return sim::phoneSignalsSent(phone.bus()) - before;
    };
    // The hosts start up in their first turns, given as long as starting them was.
    for (auto& l : links) l->setTimeout(kStartSeconds);
    if (auto settled = phoneClock.settle(start, own); !settled) return failed(settled.error());
    for (auto& l : links) l->setTimeout(kTurnSeconds);
    if (listener.ready.size() < sim::kHostNames.size()) return fail("the hosts did not all start");
    afterStart();
    bool ended = false;
    schedule(ended);
    for (double t = start;;) {
        clock.set(t);
        if (auto settled = phoneClock.settle(t, own); !settled) return failed(settled.error());
        if (ended || interrupted) break;
        double next = loop.nextDueTime();
        const double hosts = phoneClock.nextDue();
        if (next < 0 || (hosts >= 0 && hosts < next)) next = hosts;
        if (next < 0) break;
        t = std::max(t, next);
    }
    return interrupted ? failed("") : 0;
}

// The phone on the wall clock: each process keeps its own time on one shared time line.
int Run::realtime(double speed) {
    auto owned = std::make_unique<platform::RealClock>(speed);
    const platform::RealClock::Origin origin = owned->origin();
    platform::setClock(std::move(owned));
    phone.startHosts({"--speed", number(speed), "--clock-origin",
                      number(origin.now) + ":" + number(origin.monotonic)},
                     false);
    if (!waitFor([&] { return listener.ready.size() == sim::kHostNames.size(); }, kStartSeconds))
        return failed("the hosts did not all start within " + number(kStartSeconds) + " s");
    afterStart();
    bool ended = false;
    schedule(ended);
    loop.run();
    if (!ended || interrupted) return failed("the phone stopped");
    return 0;
}

int checkExpectations(const sim::Scenario& scenario, const sim::Player& player,
                      const sim::Narrator& narrator, sim::Timeline& timeline,
                      sim::PlotRecorder& plot, std::optional<double> speakerOnAt) {
    sim::Outcome outcome;
    outcome.speakerOnAt = speakerOnAt;
    for (const auto& c : player.modem().calls) outcome.calls.push_back({c.answered, c.wave});
    outcome.speakerEverOn = player.modem().speakerEverOn;
    outcome.hints = narrator.hints();
    outcome.events = timeline.events();
    int failed = 0;
    for (const sim::Verdict& v : sim::check(scenario.expectations, outcome)) {
        timeline.result(v.report, v.held, v.expectation->line, v.happened);
        if (v.held) continue;
        ++failed;
        plot.failedExpectation(timeline.now(), v.report);
        platform::warn(kMe,
                       sim::printable(scenario.file + ":" + std::to_string(v.expectation->line) +
                                      ": expectation failed: " + v.expectation->source +
                                      (v.happened.empty() ? "" : " (" + v.happened + ")")));
    }
    return failed == 0 ? 0 : 1;
}

std::string heading(const sim::Scenario& scenario, const sim::Options& o, double speed) {
    std::string h = "Scenario: " + (scenario.title.empty() ? scenario.file : scenario.title);
    if (o.realtime && speed != 1)
        h += " (clock speed x" + std::to_string(static_cast<int>(speed)) + ")";
    return h;
}

}  // namespace

int main(int argc, char** argv) {
    auto options = sim::parseOptions(argc, argv, defaultPackage());
    if (!options) {
        platform::warn(kMe, options.error() + "\nTry 'orvella-sim --help' for the options.");
        return 2;
    }
    if (options->help) {
        std::fputs(helpText().c_str(), stdout);
        return 0;
    }
    if (options->version) {
        std::printf("orvella-sim %s\n", ORVELLA_VERSION);
        return 0;
    }
    auto scenario = loadScenario(*options);
    if (!scenario) {
        // The message quotes the file, which may hold anything.
        platform::warn(kMe, sim::printable(scenario.error()));
        return 2;
    }
    // The screenshot folder first: a plot may go into it.
    std::optional<sim::Screenshots> screenshots;
    if (!options->screenshots.empty()) {
        auto opened = sim::Screenshots::open(options->screenshots);
        if (!opened) {
            platform::warn(kMe, sim::printable(opened.error()));
            return 2;
        }
        screenshots.emplace(std::move(*opened));
    }
    for (const std::string& file : options->plots) {
        if (auto writable = sim::plotWritable(file); !writable) {
            platform::warn(kMe, sim::printable(writable.error()));
            if (screenshots) screenshots->removeIfMade();
            return 2;
        }
    }
    const double speed = options->speed.value_or(scenario->speed.value_or(1.0));
    auto& loop = platform::RunLoop::main();

    sim::Timeline timeline(options->json);
    sim::Narrator narrator(timeline, options->log);
    auto phone =
        sim::Phone::start({options->package, options->root, hostDirectory(), scenario->language,
                           scenario->screenHeight, screenshots ? screenshots->absoluteDir() : ""});
    if (!phone) {
        platform::warn(kMe, phone.error());
        return 3;
    }
    sim::PlotRecorder plot(scenario->title.empty() ? scenario->file : scenario->title);
    Listener listener(**phone, timeline, plot, screenshots ? &*screenshots : nullptr);
    listener.listen((*phone)->bus(), narrator);
    sim::Player player((*phone)->bus(), loop, timeline, options->realtime);
    std::optional<double> speakerOnAt;  // for an expectation of the speaker off
    player.setObserver([&](sim::ModemChange change) {
        plot.modem(timeline.now(), change);
        if (change == sim::ModemChange::SpeakerOn && !speakerOnAt) speakerOnAt = timeline.now();
    });
    sim::Json about = {{"file", scenario->file},
                       {"title", scenario->title},
                       {"clock", options->realtime ? "real time" : "simulated"}};
    if (options->realtime) about["speed"] = speed;
    timeline.heading(heading(*scenario, *options, speed), about);

    Run run{*options, *scenario, **phone, timeline, player, listener, plot};
    // Waits end on a signal, a host that ended (SIGCHLD) or a lost bus; the real-time loop
    // stops then.
    if (!installSignals(loop, [&run] {
            if (interrupted || run.phone.endedHost()) run.loop.stop();
        }))
        return 3;
    (*phone)->bus().setDisconnectHandler([&run](const std::string& reason) {
        run.lostBus = reason;
        run.loop.stop();
    });
    int status = options->realtime ? run.realtime(speed) : run.simulated();
    if (screenshots) {
        phone->reset();  // its hosts stopped, none is writing a picture any more
        screenshots->removeLeftovers();
    }
    if (status == 0)
        status = checkExpectations(*scenario, player, narrator, timeline, plot, speakerOnAt);
    if (status == 0 || status == 1) {
        const sim::PlotData data = plot.finish(timeline.now());
        for (const std::string& file : options->plots) {
            if (auto written = sim::writePlot(data, file); !written) {
                platform::warn(kMe, sim::printable(written.error()));
                status = 2;
                break;
            }
        }
    }
    timeline.finish(status);
    return status;
}
