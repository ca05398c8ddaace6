// Checking a scenario's expectations against what happened.
#pragma once

#include <string>
#include <vector>

#include "scenario.h"

namespace sim {

// What the phone did, as far as expectations ask.
struct Outcome {
    std::vector<int> answeredAtWaves;  // per answered call, the waves made in that call
    bool speakerEverOn = false;
    std::vector<std::string> hints;   // every hint an answer bar showed
    std::vector<std::string> events;  // every timeline line
};

struct Verdict {
    const Expectation* expectation;
    bool held;
    std::string report;  // "line 9: expect answered at wave 2", with what happened instead
};

std::vector<Verdict> check(const std::vector<Expectation>& expectations, const Outcome& outcome);

}  // namespace sim
