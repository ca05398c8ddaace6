// The process-wide state of each part of the platform, each put back as a fresh process has it.
// Private to the platform: each part defines its own, and resetProcessState (hosts/testing.h), in
// the top part, calls them all in one place.
#pragma once

namespace platform::state {

void resetNotifications();  // registrations of every centre, the in-process transport
void resetDevices();        // the device model, proximity monitoring
void resetCallScreen();     // the host's call screen
void resetControls();       // alerts being shown, recorded animations
void resetApplication();    // opened URLs
void resetSignals();        // the signal-installation seam
void resetFiles();          // resolution beneath the device root by openat2

}  // namespace platform::state
