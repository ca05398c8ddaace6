// The tweak's wave recognizer seen from outside: its states by name, and reading it in the
// SpringBoard host through the object runtime and the loaded library's symbols (the host never
// includes the tweak's headers; it looks the tweak up as the phone's tools would).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/trace.h"

namespace sim {

struct RecognizerStateName {
    int32_t value;
    const char* name;
};

// The call monitor's flag values, in the order a call goes through them: waiting, the phone
// ringing, armed, the waves, answered.
inline constexpr RecognizerStateName kRecognizerStates[] = {
    {-2, "kBEGIN_STATE"},
    {-1, "kACCELEROMETER_READY_STATE"},
    {1, "kPROXIMITY_READY_STATE"},
    {2, "kPROXIMITY_COVERED_WAVE_1"},
    {3, "kPROXIMITY_UNCOVERED_WAVE_1"},
    {4, "kPROXIMITY_COVERED_WAVE_2"},
    {5, "kPROXIMITY_UNCOVERED_WAVE_2"},
    {6, "kCOVERED_BEFORE_ANSWER_CALL"},
    {0, "kCALL_ANSWERED"},
};

// "kPROXIMITY_READY_STATE"; a value the tweak does not define reads "state 7".
std::string recognizerStateName(int32_t state);

// Reads the recognizer of the tweak loaded in this process after each pass of the run loop and
// traces a RecognizerChanged event whenever what it reads differs from the last reading. A
// process without the tweak's call monitor reads nothing and traces nothing.
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
