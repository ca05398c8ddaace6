// Scenarios: human-writable files of timed events and expectations (format: docs/scenarios.md).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/core/result.h"
#include "protocol/limits.h"

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
        SettingsInfo,    // text: the information button's identifier
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
    int call = 0;  // which call, counted from 1 in the order they come in; 0: any call
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
    int endLine = 0;
    std::vector<Step> steps;  // in time order (stable for equal times)
    std::vector<Expectation> expectations;
    // When the run stops: the given end, else four seconds after the last step.
    double endTime() const;
};

// Limits of what a scenario may say; bigger numbers are refused with the line that has them.
inline constexpr double kMaxTime = 86400;      // seconds of phone time: one day
inline constexpr double kMaxWaveSeconds = 60;  // covering time and pause of one wave
inline constexpr double kMaxAcceleration = protocol::kMaxAcceleration;  // g, each axis of a pose
inline constexpr int kMaxWavesInARow = 20;
inline constexpr size_t kMaxScenarioBytes = 1 << 20;  // a scenario file is read whole
// One turn moves the phone's clock at most to the first step, from one step to the next, or to the
// end four seconds after the last: the hosts take every such turn.
static_assert(kMaxTime + 60 <= protocol::kMaxClockStep);

// The scenario, or why not: "file:line: problem".
platform::Result<Scenario> parseScenario(const std::string& text, const std::string& file);
// Reads and parses a scenario file; "-" is standard input. Why not, when it cannot be read (with
// the system's reason), is a folder or is larger than kMaxScenarioBytes, or does not parse.
platform::Result<Scenario> loadScenario(const std::string& path);

// The scenario played when none is given: a locked phone lying screen-up, two waves at medium
// speed, the call answered and the speaker on.
extern const char* const kDefaultScenario;

}  // namespace sim
