// What the hosts tell the simulator, into the timeline and the plot: their trace events and
// log lines, the notifications posted, that they are ready, that the phone fell behind.
//
// Any process on the phone's bus can send anything. What the hosts tell is believed only from
// the connections of the processes the simulator started: the bus daemon names the process
// behind each sender.
#pragma once

#include <map>
#include <set>
#include <string>

#include "narrator.h"
#include "phone.h"
#include "platform/bus/bus.h"
#include "plot.h"
#include "screenshots.h"

namespace sim {

class Listener {
  public:
    Listener(Phone& p, Timeline& t, PlotRecorder& pl, Screenshots* shots)
        : phone_(p), timeline_(t), plot_(pl), screenshots_(shots) {}
    void listen(platform::Bus& bus, Narrator& narrator);
    // The hosts that said they are ready.
    const std::set<std::string>& ready() const { return ready_; }

  private:
    void observe(const std::string& process, platform::TraceEvent& event);
    const std::string* host(platform::Bus& bus, const platform::BusSignal& s);
    void trace(platform::Bus& bus, Narrator& narrator, const platform::BusSignal& s);
    void late(platform::Bus& bus, const platform::BusSignal& s);

    Phone& phone_;
    Timeline& timeline_;
    PlotRecorder& plot_;
    Screenshots* screenshots_;
    std::set<std::string> ready_;
    std::map<std::string, std::string> processOf_;  // unique bus name -> host
    std::set<std::string> strangers_;
    bool toldLate_ = false;
};

}  // namespace sim
