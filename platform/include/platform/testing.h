// What only tests call: the one reset of the process's state between tests, seams that make a
// platform call fail, and observations of what the platform did that a person would not see.
// Production code includes none of this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/notify/notifications.h"
#include "platform/values/value.h"

namespace platform {

// Puts the platform's process-wide state back as a fresh process has it: the main run loop's
// work and sources, a real clock, the device model and proximity monitoring, the call screen,
// every notification centre's registrations and the in-process transport, the alerts being
// shown, the recorded animations and opened URLs, the trace and log sinks, the signal log
// descriptor, the main bundle identifier, the preferred languages ("en"), the device working
// directory ("/") and the seams below. Registered classes stay (a loaded library's classes
// cannot be unloaded) and so does the device root (a test sets its own). Objects that the
// platform held are released, so their dealloc runs here.
void resetProcessState();

// Files beneath the device root resolved by openat2 (true, the default where the kernel has it)
// or component by component (false), so both ways can be tried on one machine.
void resolveBeneathRootWithOpenat2(bool use);

// Makes the next installSignalHandler fail with SIG_ERR.
void failNextSignalInstallation();

// Registrations in a CF-style centre, and in the distributed centre.
size_t CFNotificationCenterObserverCount(CFNotificationCenterRef center);
size_t distributedObserverCount();

// +[UIView animateWithDuration:...] calls and openURL: calls, oldest first. Only the most recent
// kRecentRecords of each are kept, so a host that runs for days does not grow.
inline constexpr size_t kRecentRecords = 64;
struct AnimationRecord {
    double duration, delay;
    int64_t options;
};
const std::vector<AnimationRecord>& animationLog();
const std::vector<std::string>& openedURLs();

}  // namespace platform
