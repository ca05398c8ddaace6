// A host refuses what the simulator sends when its values are out of range (what others send
// never reaches it: its subscriptions take the simulator's signals from the simulator's
// connection only). A refused signal is dropped; the first is said on standard error, once.
#pragma once

#include <string>

#include "platform/bus/bus.h"

namespace sim {

void refuse(const std::string& process, const platform::BusSignal& s, const std::string& why);

}  // namespace sim
