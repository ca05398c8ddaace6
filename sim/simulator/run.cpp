#include "run.h"

#include <fstream>
#include <memory>

#include "expectations.h"
#include "phone_clock.h"
#include "platform/bus/bus.h"
#include "platform/core/warn.h"
#include "program/signal_pipe.h"
#include "protocol/interfaces.h"

namespace sim {

namespace {

constexpr double kStartSeconds = 30;  // wall time for the hosts to start
constexpr double kTurnSeconds = 10;   // wall time for one host's turn

std::string number(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

}  // namespace

std::string Run::lostBusReason() const {
    return lostBus.empty() ? "lost the bus connection" : lostBus;
}

int Run::fail(const std::string& why) {
    platform::warn(kSimulator.name(), why);
    return 3;
}

std::optional<std::string> Run::abort() {
    if (program::stopSignal() != 0) return std::string("interrupted");
    if (!phone.bus().connected()) return lostBusReason();
    if (auto host = phone.endedHost()) return *host + " stopped";
    return std::nullopt;
}

// After a failed wait: the status to exit with, having said why.
int Run::failed(const std::string& why) {
    if (const int sig = program::stopSignal(); sig != 0) {
        platform::warn(kSimulator.name(), "interrupted; stopping the phone");
        return 128 + sig;
    }
    if (auto host = phone.endedHost()) {
        timeline.add("sim", *host + " stopped unexpectedly");
        return fail(*host + " stopped during the scenario");
    }
    if (!phone.bus().connected()) return fail(lostBusReason());
    return fail(why);
}

// Runs the loop's sources until done() or the wall-clock limit.
bool Run::waitFor(const std::function<bool()>& done, double seconds) {
    const double deadline = platform::monotonicSeconds() + seconds;
    while (!done()) {
        const double left = deadline - platform::monotonicSeconds();
        if (abort() || left <= 0) return false;
        loop.waitForSources(std::min(left, 0.25));
    }
    return true;
}

void Run::afterStart() {
    // The tweak's log, only when it is to be shown: nothing else is told from it.
    if (options.log) phone.bus().emit(protocol::hardware::Logging{true}.signal());
    if (!options.addressFile.empty()) std::ofstream(options.addressFile) << phone.address() << "\n";
}

// Puts the steps and the end on the loop, relative to now.
void Run::schedule(bool& ended) {
    const double start = platform::processClock().now();
    timeline.setStart(start);
    for (const Step& step : scenario.steps)
        loop.schedule(step.at, [this, step, start] {
            player.play(step, start + step.at);
            plot.step(timeline.now(), step);
        });
    loop.schedule(scenario.endTime(), [this, &ended] {
        ended = true;
        loop.stop();
    });
}

int Run::simulated() {
    platform::VirtualClock& clock = platform::useVirtualClock();
    const double start = clock.now();
    std::vector<std::unique_ptr<BusHostLink>> links;  // listening before the hosts start
    std::vector<HostLink*> order;
    for (const std::string& name : kHostNames) {
        links.push_back(std::make_unique<BusHostLink>(
            phone.bus(), loop, name, kTurnSeconds, [this] { return abort(); }, senders));
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
    PhoneClock phoneClock(order);
    auto own = [&] {
        const int64_t before = phoneSignalsSent(phone.bus());
        loop.runDue();
        return phoneSignalsSent(phone.bus()) - before;
    };
    // The hosts start up in their first turns, given as long as starting them was.
    for (auto& l : links) l->setTimeout(kStartSeconds);
    if (auto settled = phoneClock.settle(start, own); !settled) return failed(settled.error());
    for (auto& l : links) l->setTimeout(kTurnSeconds);
    if (listener.ready().size() < kHostNames.size()) return fail("the hosts did not all start");
    afterStart();
    bool ended = false;
    schedule(ended);
    for (double t = start;;) {
        clock.set(t);
        if (auto settled = phoneClock.settle(t, own); !settled) return failed(settled.error());
        if (ended || program::stopSignal() != 0) break;
        double next = loop.nextDueTime();
        const double hosts = phoneClock.nextDue();
        if (next < 0 || (hosts >= 0 && hosts < next)) next = hosts;
        if (next < 0) break;
        t = std::max(t, next);
    }
    return program::stopSignal() != 0 ? failed("") : 0;
}

int Run::realtime(double speed) {
    auto owned = std::make_unique<platform::RealClock>(speed);
    const platform::RealClock::Origin origin = owned->origin();
    platform::setClock(std::move(owned));
    phone.startHosts({"--speed", number(speed), "--clock-origin",
                      number(origin.now) + ":" + number(origin.monotonic)},
                     false);
    if (!waitFor([&] { return listener.ready().size() == kHostNames.size(); }, kStartSeconds))
        return failed("the hosts did not all start within " + number(kStartSeconds) + " s");
    afterStart();
    bool ended = false;
    schedule(ended);
    loop.run();
    if (!ended || program::stopSignal() != 0) return failed("the phone stopped");
    return 0;
}

int checkExpectations(const Scenario& scenario, const Player& player, const Narrator& narrator,
                      Timeline& timeline, PlotRecorder& plot, std::optional<double> speakerOnAt) {
    Outcome outcome;
    outcome.speakerOnAt = speakerOnAt;
    for (const auto& c : player.modem().calls) outcome.calls.push_back({c.answered, c.wave});
    outcome.speakerEverOn = player.modem().speakerEverOn;
    outcome.hints = narrator.hints();
    outcome.events = timeline.events();
    int failed = 0;
    for (const Verdict& v : check(scenario.expectations, outcome)) {
        timeline.result(v.report, v.held, v.expectation->line, v.happened);
        if (v.held) continue;
        ++failed;
        plot.failedExpectation(timeline.now(), v.report);
        platform::warn(kSimulator.name(),
                       printable(scenario.file + ":" + std::to_string(v.expectation->line) +
                                 ": expectation failed: " + v.expectation->source +
                                 (v.happened.empty() ? "" : " (" + v.happened + ")")));
    }
    return failed == 0 ? 0 : 1;
}

std::string heading(const Scenario& scenario, const Options& o, double speed) {
    std::string h = "Scenario: " + (scenario.title.empty() ? scenario.file : scenario.title);
    if (o.realtime && speed != 1)
        h += " (clock speed x" + std::to_string(static_cast<int>(speed)) + ")";
    return h;
}

}  // namespace sim
