// Who sent a signal on the phone's bus, as the simulator sees it. Any process on the bus can
// send anything; what the hosts tell the simulator (their clock reports, readiness, trace events
// and log lines, modem requests) is believed only from the processes it started: the bus daemon
// names the process behind each sender, which is asked once per connection. What is refused is
// dropped and counted; the first refusal is said on standard error, once, for a developer
// wondering why a signal sent by hand changed nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "platform/bus/bus.h"

namespace sim {

class Senders {
  public:
    // The host a process id is, if the simulator started it.
    using HostOfProcess = std::function<std::optional<std::string>(int64_t pid)>;
    Senders(platform::Bus& bus, HostOfProcess hostOf, std::string program);

    // The host behind the signal's sender; null for a stranger (not refused by asking).
    const std::string* host(const platform::BusSignal& s);
    // Whether the signal came from that host; if not, it is refused.
    bool from(const std::string& host, const platform::BusSignal& s);
    // Whether it came from any host; if not, it is refused.
    bool fromAHost(const platform::BusSignal& s);
    // Drops the signal, and says why if it is the first refused.
    void refuse(const platform::BusSignal& s, const std::string& why);
    uint64_t refused() const { return refused_; }

  private:
    platform::Bus& bus_;
    HostOfProcess hostOf_;
    std::string program_;
    std::map<std::string, std::string> hosts_;  // unique bus name -> host
    std::set<std::string> strangers_;
    uint64_t refused_ = 0;
};

}  // namespace sim
