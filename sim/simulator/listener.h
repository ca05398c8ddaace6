// What the hosts tell the simulator, into the timeline and the plot: their trace events and
// log lines, the notifications posted, that they are ready, that the phone fell behind.
//
// Any process on the phone's bus can send anything. What the hosts tell is believed only from
// the connections of the processes the simulator started (senders.h); the notifications are
// unauthenticated, as on the phone, and a stranger's post is told under its bus name.
#pragma once

#include <set>
#include <string>

#include "narrator.h"
#include "platform/bus/bus.h"
#include "plot.h"
#include "screenshots.h"
#include "senders.h"

namespace sim {

class Listener {
  public:
    Listener(Senders& senders, Timeline& t, PlotRecorder& pl, Screenshots* shots)
        : senders_(senders), timeline_(t), plot_(pl), screenshots_(shots) {}
    void listen(platform::Bus& bus, Narrator& narrator);
    // The hosts that said they are ready.
    const std::set<std::string>& ready() const { return ready_; }

  private:
    void observe(const std::string& process, platform::TraceEvent& event);
    void trace(Narrator& narrator, const platform::BusSignal& s);
    void late(const platform::BusSignal& s);

    Senders& senders_;
    Timeline& timeline_;
    PlotRecorder& plot_;
    Screenshots* screenshots_;
    std::set<std::string> ready_;
    bool toldLate_ = false;
};

}  // namespace sim
