// What a person would see, and what the platform did, as one line each: views added and
// removed, button presses, the call answered, the speaker route, hooks installed. Hosts forward
// these lines to the simulator; tests read them. Nothing is formatted while no sink is set.
#pragma once

#include <functional>
#include <string>

namespace platform {

using TraceSink = std::function<void(const std::string&)>;
void setTraceSink(TraceSink sink);
bool tracing();
void trace(const std::string& line);

}  // namespace platform
