#include "senders.h"

#include "platform/core/warn.h"
#include "text.h"

namespace sim {

Senders::Senders(platform::Bus& bus, HostOfProcess hostOf, std::string program)
    : bus_(bus), hostOf_(std::move(hostOf)), program_(std::move(program)) {}

const std::string* Senders::host(const platform::BusSignal& s) {
    auto known = hosts_.find(s.sender);
    if (known != hosts_.end()) return &known->second;
    if (strangers_.count(s.sender) != 0) return nullptr;
    const int64_t pid = bus_.processOf(s.sender);
    if (auto name = hostOf_(pid)) return &hosts_.emplace(s.sender, *name).first->second;
    // Only a definite answer is kept: a question cut short (a signal, a busy daemon) is asked
    // again at the sender's next signal. Strangers are few; a flood of new connections is
    // bounded by the daemon's own limits.
    if (pid > 0) strangers_.insert(s.sender);
    return nullptr;
}

bool Senders::from(const std::string& host, const platform::BusSignal& s) {
    const std::string* sender = this->host(s);
    if (sender != nullptr && *sender == host) return true;
    refuse(s, sender == nullptr ? "not a process the simulator started" : "it is " + *sender);
    return false;
}

bool Senders::fromAHost(const platform::BusSignal& s) {
    if (host(s) != nullptr) return true;
    refuse(s, "not a process the simulator started");
    return false;
}

void Senders::refuse(const platform::BusSignal& s, const std::string& why) {
    if (refused_++ != 0) return;
    platform::warn(program_, printable(clipped("ignored " + s.interface + "." + s.member +
                                               " from " + s.sender + ": " + why +
                                               " (signals refused later are dropped silently)")));
}

}  // namespace sim
