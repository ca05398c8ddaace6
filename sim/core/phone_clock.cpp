#include "phone_clock.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "protocol/interfaces.h"
#include "protocol/limits.h"
#include "protocol/subscribe.h"

namespace sim {

using platform::BusSignal;
using platform::Failure;
namespace clock = protocol::clock;

int64_t phoneSignalsSent(const platform::Bus& bus) {
    uint64_t quiet = 0;
    for (const char* i : {protocol::trace::kName, protocol::host::kName, protocol::clock::kName,
                          protocol::modem::kName})
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
    for (uint64_t turns = 0;; ++turns) {
        if (own() > 0) ++epoch_;
        Host* h = nextNeedingTurn(t);
        if (h == nullptr) return {};
        if (turns == kMaxTurnsAtOneTime) {
            char buf[160];
            std::snprintf(buf, sizeof buf,
                          "the phone does not settle at %.3f s: after %llu turns %s still has "
                          "something to take in",
                          t, static_cast<unsigned long long>(turns), h->link->name().c_str());
            return Failure{buf};
        }
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
                         double timeoutSeconds, Abort abort, Senders& senders)
    : bus_(bus),
      loop_(loop),
      name_(std::move(name)),
      timeout_(timeoutSeconds),
      abort_(std::move(abort)),
      senders_(senders) {
    protocol::on<clock::Hello>(bus_,
                               [this](const clock::Hello&, const BusSignal& s) {
                                   if (senders_.from(name_, s)) hello_ = true;
                               },
                               {.arg0 = name_});
    protocol::on<clock::Report>(
        bus_, [this](const clock::Report&, const BusSignal& s) { reported(s); }, {.arg0 = name_});
}

// A report from the host itself for the turn in progress ends the turn: with what it says, or,
// when its values are no times or counts, as a failure naming them.
void BusHostLink::reported(const BusSignal& s) {
    const auto r = clock::Report::of(s);
    if (!r || !senders_.from(name_, s)) return;
    if (r->turn != turn_ || report_) return senders_.refuse(s, "not for the turn in progress");
    const bool due =
        std::isfinite(r->nextDue) &&
        (r->nextDue < 0 || (r->nextDue >= at_ && r->nextDue <= protocol::kMaxPhoneTime));
    if (!due || r->sent < 0) {
        char buf[200];
        std::snprintf(buf, sizeof buf, "%s reported a next due time of %g and %lld signals sent",
                      name_.c_str(), r->nextDue, static_cast<long long>(r->sent));
        report_ = Failure{buf};
        return;
    }
    report_ = TurnReport{r->nextDue < 0 ? -1 : r->nextDue, r->sent};
}

platform::Result<TurnReport> BusHostLink::turn(double t) {
    report_.reset();
    ++turn_;
    at_ = t;
    if (!bus_.emit(clock::Run{name_, t, turn_}.signal())) return Failure{"lost the bus connection"};
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
