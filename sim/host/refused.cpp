#include "refused.h"

#include "platform/core/warn.h"

namespace sim {

void refuse(const std::string& process, const platform::BusSignal& s, const std::string& why) {
    static bool said = false;
    if (said) return;
    said = true;
    platform::warn(process, "ignored " + s.interface + "." + s.member + " from the simulator: " +
                                why + " (signals refused later are dropped silently)");
}

}  // namespace sim
