// What the simulator does to a host: its hardware signals mirrored into the process's device
// model, and a user operating the settings pane. Both are taken only from the simulator's
// connection (`simulator`, a unique name; none at all when it is empty), and only with values
// the device model can hold.
#pragma once

#include <string>

#include "platform/bus/bus.h"
#include "platform/core/runtime.h"

namespace sim {

// The simulator's hardware signals (the modem's call status, the pose, the proximity sensor,
// the lock button, the audio outputs, the tweak's log switch), into this process's device
// model. A signal whose arguments are not what the simulator sends, or out of range (a call
// status the modem has not, a pose beyond what an accelerometer measures), is dropped.
void mirrorHardware(platform::Bus& bus, const std::string& process, const std::string& simulator);

// A user operating the settings pane: tap a button, flip a switch or turn a picker column,
// each found by its accessibility identifier, or tap a button of the alert in front.
void operatePane(platform::Bus& bus, objc::id pane, const std::string& simulator);

}  // namespace sim
