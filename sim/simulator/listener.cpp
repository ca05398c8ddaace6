#include "listener.h"

#include <cmath>
#include <cstdio>

#include "options.h"
#include "platform/core/warn.h"
#include "platform/notify/interfaces.h"
#include "protocol/interfaces.h"
#include "protocol/subscribe.h"
#include "protocol/trace.h"

namespace sim {

using platform::BusSignal;
namespace clock = protocol::clock;
namespace trace = protocol::trace;

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

// A trace event or a log line, named after the host the sender is, whatever the signal says.
void Listener::trace(Narrator& narrator, const BusSignal& s) {
    const std::string* process = senders_.host(s);
    if (process == nullptr) return senders_.refuse(s, "not a process the simulator started");
    if (auto log = trace::Log::of(s)) {
        narrator.log(*process, log->line);
    } else {
        for (platform::TraceEvent& event : protocol::traceEventsOf(s)) {
            observe(*process, event);
            narrator.event(*process, event);
        }
    }
}

// A host took in a scripted event late (real time only): said once.
void Listener::late(const BusSignal& s) {
    const auto late = clock::Late::of(s);
    if (!late || !senders_.from(late->process, s) || toldLate_ || !std::isfinite(late->lag)) return;
    const std::string who = printable(clipped(late->process));
    toldLate_ = true;
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  "the phone fell behind the scenario: %s took in a scripted event %.1f ms of "
                  "phone time late (the machine is too busy for this speed)",
                  who.c_str(), late->lag * 1e3);
    platform::warn(kSimulator.name(), buf);
}

void Listener::listen(platform::Bus& bus, Narrator& narrator) {
    for (const platform::InterfaceDescription* d :
         {&protocol::hardware::description(), &protocol::clock::description(),
          &protocol::traceInterface(), &protocol::host::description(),
          &protocol::modem::description(), &protocol::settings::description(),
          &platform::distributed::description()})
        bus.declare(*d);
    protocol::on<protocol::host::Ready>(bus,
                                        [this](const protocol::host::Ready&, const BusSignal& s) {
                                            if (senders_.fromAHost(s))
                                                ready_.insert(*senders_.host(s));
                                        });
    bus.subscribe(trace::kName, "", std::nullopt,
                  [this, &narrator](const BusSignal& s) { trace(narrator, s); });
    // Posts are narrated from the notifications themselves, named after their sender.
    bus.subscribe(platform::distributed::kName, platform::distributed::Notification::kMember,
                  std::nullopt, [this, &narrator](const BusSignal& s) {
                      const auto posted = platform::distributed::Notification::of(s);
                      if (!posted) return;
                      // The platform's notifications are unauthenticated, as on the phone: a
                      // stranger's post is told under its bus name.
                      const std::string* who = senders_.host(s);
                      narrator.posted(who == nullptr ? s.sender : *who, posted->name);
                  });
    bus.subscribe(clock::kName, clock::Late::kMember, std::nullopt,
                  [this](const BusSignal& s) { late(s); });
}

}  // namespace sim
