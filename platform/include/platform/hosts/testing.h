// The reset tests call between cases; defined here in the top part, which sees every part
// below, and included by no production code (tests/dependency_rule.sh).
#pragma once

namespace platform {

// Puts the platform's process-wide state back as a fresh process has it: the main run loop's
// work and sources, a real clock, the device model and proximity monitoring, the call screen,
// every notification centre's registrations and the in-process transport, the alerts being
// shown, the recorded animations and opened URLs, the trace and log sinks, the signal log
// descriptor, the main bundle identifier, the preferred languages ("en"), the device working
// directory ("/") and the seams of every part. Registered classes stay (a loaded library's
// classes cannot be unloaded) and so does the device root (a test sets its own). Objects that
// the platform held are released, so their dealloc runs here.
void resetProcessState();

}  // namespace platform
