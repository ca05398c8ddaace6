// What tests observe of the user interface that a person would not see; the part's own sources
// define it, and no other production code includes this (tests/dependency_rule.sh).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/core/recent_records.h"

namespace platform {

// +[UIView animateWithDuration:...] calls and openURL: calls, oldest first. Only the most recent
// kRecentRecords of each are kept, so a host that runs for days does not grow.
struct AnimationRecord {
    double duration, delay;
    int64_t options;
};
const std::vector<AnimationRecord>& animationLog();
const std::vector<std::string>& openedURLs();

}  // namespace platform
