#include "host_clock.h"

#include "phone_clock.h"

namespace sim {

using platform::BusSignal;
namespace names = platform::busnames;

SimulatedHostClock::SimulatedHostClock(platform::Bus& bus, std::string process,
                                       platform::DrivenClock& clock)
    : bus_(bus), process_(std::move(process)), clock_(clock) {
    clock_.setDriver([this](platform::RunLoop& loop, double until) { return drive(loop, until); });
    bus_.hold(true);
    bus_.subscribe(
        names::kClock, names::kRun, process_,
        [this](const BusSignal& s) {
            const double* t = s.arg<double>(1);
            const int64_t* turn = s.arg<int64_t>(2);
            if (t == nullptr || turn == nullptr) return;
            granted_ = true;
            grantedAt_ = *t;
            turn_ = *turn;
            boundary_ = bus_.heldCount();
        },
        platform::Bus::Delivery::Immediate);
}

bool SimulatedHostClock::awaitFirstTurn() {
    bus_.emit({names::kClock, names::kHello, {process_}, {}});
    auto& loop = platform::RunLoop::main();
    return awaitTurn(loop) && inTurn_;
}

bool SimulatedHostClock::drive(platform::RunLoop& loop, double until) {
    if (inTurn_) {
        inTurn_ = false;
        const int64_t sent = phoneSignalsSent(bus_) - sentBefore_;
        bus_.emit({names::kClock, names::kReport, {process_, turn_, until, sent}, {}});
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

RealtimeHostClock::RealtimeHostClock(platform::Bus& bus, std::string process) {
    platform::Bus* b = &bus;
    bus.subscribe(names::kClock, names::kScripted, std::nullopt,
                  [this, b, process](const BusSignal& s) {
                      const double* at = s.arg<double>(0);
                      if (at == nullptr || toldLate_) return;
                      const double lag = platform::processClock().now() - *at;
                      if (lag <= kLateAfter) return;
                      toldLate_ = true;
                      b->emit({names::kClock, names::kLate, {process, *at, lag}, {}});
                  });
}

}  // namespace sim
