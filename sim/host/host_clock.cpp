#include "host_clock.h"

#include <cmath>
#include <cstdio>

#include "phone_clock.h"
#include "protocol/interfaces.h"
#include "protocol/limits.h"
#include "protocol/subscribe.h"
#include "refused.h"

namespace sim {

using platform::BusSignal;
namespace clock = protocol::clock;

SimulatedHostClock::SimulatedHostClock(platform::Bus& bus, std::string process,
                                       platform::DrivenClock& clock, const std::string& simulator)
    : bus_(bus), process_(std::move(process)), clock_(clock) {
    clock_.setDriver([this](platform::RunLoop& loop, double until) { return drive(loop, until); });
    bus_.hold(true);
    if (simulator.empty()) return;  // nobody to take turns from
    protocol::on<clock::Run>(
        bus_,
        [this](const clock::Run& r, const BusSignal& s) {
            if (r.turn != turn_ + 1 || granted_)
                return refuse(process_, s, "turn " + std::to_string(r.turn) + " is not the next");
            // Forward only, and not so far that a millisecond no longer moves the clock.
            const double now = clock_.now();
            if (!std::isfinite(r.now) || r.now < now || r.now - now > protocol::kMaxClockStep ||
                r.now > protocol::kMaxPhoneTime) {
                char buf[120];
                std::snprintf(buf, sizeof buf, "%g is not a time the clock may move to from %g",
                              r.now, now);
                return refuse(process_, s, buf);
            }
            run(r.now, r.turn);
        },
        {.arg0 = process_, .sender = simulator, .delivery = platform::Bus::Delivery::Immediate});
}

void SimulatedHostClock::run(double t, int64_t turn) {
    granted_ = true;
    grantedAt_ = t;
    turn_ = turn;
    boundary_ = bus_.heldCount();
}

bool SimulatedHostClock::awaitFirstTurn() {
    bus_.emit(clock::Hello{process_}.signal());
    auto& loop = platform::RunLoop::main();
    return awaitTurn(loop) && inTurn_;
}

bool SimulatedHostClock::drive(platform::RunLoop& loop, double until) {
    if (inTurn_) {
        inTurn_ = false;
        const int64_t sent = phoneSignalsSent(bus_) - sentBefore_;
        bus_.emit(clock::Report{process_, turn_, until, sent}.signal());
    }
    return awaitTurn(loop);
}

bool SimulatedHostClock::awaitTurn(platform::RunLoop& loop) {
    bus_.pauseReading(false);
    bus_.pump();  // what was read while paused, waiting inside the connection
    while (!granted_) {
        // Stopping, or a lost bus whose handler is now due: let the loop get on with it.
        if (loop.stopRequested()) return true;
        if (!bus_.connected()) {
            if (lostSeen_) return false;
            lostSeen_ = true;
            return true;
        }
        if (!loop.waitForSources(-1)) return false;
    }
    granted_ = false;
    inTurn_ = true;
    bus_.pauseReading(true);
    clock_.set(grantedAt_);
    sentBefore_ = phoneSignalsSent(bus_);
    bus_.releaseHeld(boundary_);
    return true;
}

RealtimeHostClock::RealtimeHostClock(platform::Bus& bus, std::string process,
                                     const std::string& simulator) {
    if (simulator.empty()) return;
    platform::Bus* b = &bus;
    protocol::on<clock::Scripted>(
        bus,
        [this, b, process](const clock::Scripted& scripted, const BusSignal& s) {
            if (!std::isfinite(scripted.at) || scripted.at < 0 ||
                scripted.at > protocol::kMaxPhoneTime)
                return refuse(process, s, "a scripted time that is no time");
            if (toldLate_) return;
            const double lag = platform::processClock().now() - scripted.at;
            if (lag <= kLateAfter) return;
            toldLate_ = true;
            b->emit(clock::Late{process, scripted.at, lag}.signal());
        },
        {.sender = simulator});
}

}  // namespace sim
