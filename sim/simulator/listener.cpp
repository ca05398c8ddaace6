#include "listener.h"

#include <cstdio>

#include "options.h"
#include "platform/core/warn.h"

namespace sim {

using platform::BusSignal;
namespace names = platform::busnames;

// Pictures are named and listed here; every event goes into the plot, a wave's timing in the
// timeline's seconds.
void Listener::observe(const std::string& process, platform::TraceEvent& event) {
    const double t = timeline_.now();
    if (auto* shot = std::get_if<platform::events::ScreenshotWritten>(&event)) {
        if (screenshots_ == nullptr) return;
        auto named = screenshots_->name(process, shot->file, t);
        if (named)
            timeline_.screenshot(process, *named, t);
        else
            platform::warn(kSimulator.name(), printable(named.error()));
        return;
    }
    if (auto* r = std::get_if<platform::events::RecognizerChanged>(&event);
        r != nullptr && r->timedSince >= 0)
        r->timedSince = timeline_.relative(r->timedSince);
    plot_.event(t, process, event);
}

// The host behind the sender, if the sender is one of ours (asked once per connection).
const std::string* Listener::host(platform::Bus& bus, const BusSignal& s) {
    auto known = processOf_.find(s.sender);
    if (known != processOf_.end()) return &known->second;
    if (strangers_.count(s.sender) != 0) return nullptr;
    if (auto name = phone_.hostOf(bus.processOf(s.sender)))
        return &processOf_.emplace(s.sender, *name).first->second;
    strangers_.insert(s.sender);
    return nullptr;
}

// A trace event or a log line, named after the host the sender is, whatever the signal says.
void Listener::trace(platform::Bus& bus, Narrator& narrator, const BusSignal& s) {
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
}

// A host took in a scripted event late (real time only): said once.
void Listener::late(platform::Bus& bus, const BusSignal& s) {
    if (host(bus, s) == nullptr) return;
    const std::string* process = s.text(0);
    const double* at = s.arg<double>(1);
    const double* lag = s.arg<double>(2);
    if (toldLate_ || process == nullptr || at == nullptr || lag == nullptr) return;
    const std::string who = printable(clipped(*process));
    toldLate_ = true;
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  "the phone fell behind the scenario: %s took in a scripted event %.1f ms of "
                  "phone time late (the machine is too busy for this speed)",
                  who.c_str(), *lag * 1e3);
    platform::warn(kSimulator.name(), buf);
}

void Listener::listen(platform::Bus& bus, Narrator& narrator) {
    auto known = [this, &bus](const BusSignal& s) { host(bus, s); };
    bus.subscribe(names::kClock, names::kHello, std::nullopt, known);
    bus.subscribe(names::kHost, names::kReady, std::nullopt, [this, &bus](const BusSignal& s) {
        if (const std::string* h = host(bus, s)) ready_.insert(*h);
    });
    bus.subscribe(names::kTrace, "", std::nullopt,
                  [this, &bus, &narrator](const BusSignal& s) { trace(bus, narrator, s); });
    // Posts are narrated from the notifications themselves, named after their sender.
    bus.subscribe(names::kDistributed, names::kNotification, std::nullopt,
                  [this, &bus, &narrator](const BusSignal& s) {
                      const std::string* name = s.text(0);
                      if (name == nullptr) return;
                      // The platform's notifications are unauthenticated, as on the phone: a
                      // stranger's post is told under its bus name.
                      const std::string* who = host(bus, s);
                      narrator.posted(who == nullptr ? s.sender : *who, *name);
                  });
    bus.subscribe(names::kClock, names::kLate, std::nullopt,
                  [this, &bus](const BusSignal& s) { late(bus, s); });
}

}  // namespace sim
