// Scenarios: human-writable files of timed events and expectations (format: docs/scenarios.md).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"

namespace sim {

struct Step {
    enum class Kind {
        CallIncoming,
        CallActive,
        CallEnded,
        CallHeld,
        Locked,
        Pose,
        Cover,
        Uncover,
        LockButton,
        Headset,
        Bluetooth,
        SettingsSwitch,  // text: identifier, on
        SettingsWaves,   // numbers: locked, unlocked, speed
        Note,            // text
    };
    double at = 0;
    int line = 0;
    Kind kind = Kind::Note;
    bool on = false;
    double x = 0, y = 0, z = 0;
    int locked = 0, unlocked = 0, speed = 0;
    std::string text;
};

struct Expectation {
    enum class Kind {
        Answered,
        NotAnswered,
        AnsweredAtWave,
        SpeakerOn,
        SpeakerOff,
        Hint,
        NoHint,
        Event,
        NoEvent
    };
    Kind kind = Kind::Answered;
    int line = 0;
    int wave = 0;
    std::string text;
    std::string source;  // the line as written, for reports
};

struct Scenario {
    std::string file;
    std::string title;
    std::optional<double> speed;  // real-time mode only
    std::string language = "en";
    double screenHeight = 568;
    std::optional<double> end;
    std::vector<Step> steps;  // in time order (stable for equal times)
    std::vector<Expectation> expectations;
    // When the run stops: the given end, else four seconds after the last step.
    double endTime() const;
};

// The scenario, or why not: "file:line: problem".
platform::Result<Scenario> parseScenario(const std::string& text, const std::string& file);

// The scenario played when none is given: a locked phone lying screen-up, two waves at medium
// speed, the call answered and the speaker on.
extern const char* const kDefaultScenario;

}  // namespace sim
