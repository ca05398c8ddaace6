#include "recognizer.h"

namespace sim {

std::string recognizerStateName(int32_t state) {
    for (const auto& s : kRecognizerStates)
        if (s.value == state) return s.name;
    return "state " + std::to_string(state);
}

}  // namespace sim
