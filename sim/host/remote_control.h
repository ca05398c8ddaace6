// What the simulator does to a host: its hardware signals mirrored into the process's device
// model, and a user operating the settings pane.
#pragma once

#include "platform/bus/bus.h"
#include "platform/core/runtime.h"

namespace sim {

// The simulator's hardware signals (the modem's call status, the pose, the proximity sensor,
// the lock button, the audio outputs, the tweak's log switch), into this process's device
// model. A signal whose arguments are not what the simulator sends is dropped.
void mirrorHardware(platform::Bus& bus);

// A user operating the settings pane: tap a button, flip a switch or turn a picker column,
// each found by its accessibility identifier, or tap a button of the alert in front.
void operatePane(platform::Bus& bus, objc::id pane);

}  // namespace sim
