#include "phone_clock.h"

#include <algorithm>
#include <cstdio>

namespace sim {

using platform::BusSignal;
using platform::Failure;
namespace names = platform::busnames;

int64_t phoneSignalsSent(const platform::Bus& bus) {
    uint64_t quiet = 0;
    for (const char* i : {names::kTrace, names::kHost, names::kClock, names::kModem})
        quiet += bus.sentCount(i);
    return static_cast<int64_t>(bus.sentCount() - quiet);
}

PhoneClock::PhoneClock(std::vector<HostLink*> hosts) {
    for (HostLink* h : hosts) hosts_.push_back(Host{h});
}

PhoneClock::Host* PhoneClock::nextNeedingTurn(double t) {
    for (size_t i = 0; i < hosts_.size(); ++i) {
        Host& h = hosts_[(next_ + i) % hosts_.size()];
        if ((h.due >= 0 && h.due <= t) || h.seenEpoch < epoch_) {
            next_ = (next_ + i + 1) % hosts_.size();
            return &h;
        }
    }
    return nullptr;
}

platform::Result<void> PhoneClock::settle(double t, const OwnWork& own) {
    for (;;) {
        if (own() > 0) ++epoch_;
        Host* h = nextNeedingTurn(t);
        if (h == nullptr) return {};
        h->seenEpoch = epoch_;
        ++turns_;
        platform::Result<TurnReport> report = h->link->turn(t);
        if (!report) return Failure{report.error()};
        h->due = report->nextDue;
        if (report->sent > 0) ++epoch_;
    }
}

double PhoneClock::nextDue() const {
    double next = -1;
    for (const Host& h : hosts_)
        if (h.due >= 0 && (next < 0 || h.due < next)) next = h.due;
    return next;
}

BusHostLink::BusHostLink(platform::Bus& bus, platform::RunLoop& loop, std::string name,
                         double timeoutSeconds, Abort abort)
    : bus_(bus),
      loop_(loop),
      name_(std::move(name)),
      timeout_(timeoutSeconds),
      abort_(std::move(abort)) {
    bus_.subscribe(names::kClock, names::kHello, name_,
                   [this](const BusSignal&) { hello_ = true; });
    bus_.subscribe(names::kClock, names::kReport, name_, [this](const BusSignal& s) {
        const int64_t* turn = s.arg<int64_t>(1);
        const double* due = s.arg<double>(2);
        const int64_t* sent = s.arg<int64_t>(3);
        if (turn == nullptr || due == nullptr || sent == nullptr || *turn != turn_) return;
        report_ = TurnReport{*due, *sent};
    });
}

platform::Result<TurnReport> BusHostLink::turn(double t) {
    report_.reset();
    ++turn_;
    if (!bus_.emit({names::kClock, names::kRun, {name_, t, turn_}, {}}))
        return Failure{"lost the bus connection"};
    const double deadline = platform::monotonicSeconds() + timeout_;
    while (!report_) {
        if (auto why = abort_ ? abort_() : std::nullopt) return Failure{*why};
        const double left = deadline - platform::monotonicSeconds();
        if (left <= 0) {
            char buf[160];
            std::snprintf(buf, sizeof buf, "%s stopped answering the clock (no report within %g s)",
                          name_.c_str(), timeout_);
            return Failure{buf};
        }
        loop_.waitForSources(std::min(left, 0.25));
    }
    return *report_;
}

}  // namespace sim
