// The scenario parser on any text: a scenario or a "file:line: problem" message, never a crash
// or undefined behaviour.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    auto parsed = sim::parseScenario(text, "fuzz.scn");
    if (!parsed) {
        if (parsed.error().rfind("fuzz.scn", 0) != 0) std::abort();  // the file is named
        return 0;
    }
    const sim::Scenario& scenario = *parsed;
    (void)scenario.endTime();
    for (size_t i = 1; i < scenario.steps.size(); ++i)
        if (scenario.steps[i].at < scenario.steps[i - 1].at) std::abort();  // in time order
    return 0;
}
