// Checking a scenario's expectations against what happened.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "scenario.h"

namespace sim {

// What the phone did, as far as expectations ask.
struct Outcome {
    struct Call {
        bool answered = false;
        int wave = 0;  // the wave it was answered at
    };
    std::vector<Call> calls;  // every call that came in, in order
    bool speakerEverOn = false;
    std::vector<std::string> hints;     // every hint an answer bar showed
    std::vector<std::string> events;    // every timeline line
    std::optional<double> speakerOnAt;  // when the speaker first went on (timeline seconds)
};

struct Verdict {
    const Expectation* expectation;
    bool held;
    std::string report;    // "line 9: expect answered at wave 2", with what happened instead
    std::string happened;  // what happened instead, when it did not hold
};

std::vector<Verdict> check(const std::vector<Expectation>& expectations, const Outcome& outcome);

}  // namespace sim
