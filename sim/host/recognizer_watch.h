// The tweak's wave recognizer read in the SpringBoard host through the object runtime and the
// loaded library's symbols (the host never includes the tweak's headers; it looks the tweak up
// as the phone's tools would), and traced when it changed.
#pragma once

#include <optional>

#include "platform/core/trace.h"

namespace sim {

// Reads the recognizer of the tweak loaded in this process after each pass of the run loop and
// traces a RecognizerChanged event whenever what it reads differs from the last reading. A wave
// the recognizer gave up on (from a covered state back to waiting for the first wave, its
// timing cleared: only a time-out does that) is traced first, as a WaveTimedOut event with the
// seconds since the wave began as the recognizer measured them. A process without the tweak's
// call monitor reads nothing and traces nothing.
class RecognizerWatch {
  public:
    // What the tweak holds now: its call monitor's flag and wave base time, and the settings'
    // time limit; nothing when no call monitor exists. The tweak's symbols are looked up on the
    // first call, which must come after the tweaks were loaded.
    static std::optional<platform::events::RecognizerChanged> read();
    void afterPass();

  private:
    std::optional<platform::events::RecognizerChanged> last_;
};

}  // namespace sim
