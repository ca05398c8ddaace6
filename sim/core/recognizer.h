// The tweak's wave recognizer seen from outside: its states by name, as the timeline, the JSON
// and the plot tell them. SpringBoard's host reads it (host/recognizer_watch.h).
#pragma once

#include <cstdint>
#include <string>

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

}  // namespace sim
