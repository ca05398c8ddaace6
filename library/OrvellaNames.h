// The names the tweak shares with the world outside its own code: the cross-process
// notifications it posts and observes and the tags of the views it adds to the answer bar.
// Constants only, no code: the simulator's narrator includes this header to recognise them, so
// it never re-types them (it still loads the library only with dlopen, as the phone does).
#pragma once

#include <cstdint>

namespace orvella {

// Distributed notifications, posted with no object and no user information.
inline constexpr const char* kSlideOpenNotification = "com.brelkin.dev.slideopen";
inline constexpr const char* kRemoveActiveLabelsNotification = "com.brelkin.dev.removeActiveLabels";
inline constexpr const char* kTurnOnSpeakerNotification = "com.brelkin.dev.turnonspeaker";
// Darwin notification the settings pane posts after writing the settings file.
inline constexpr const char* kSettingsChangedNotification = "com.brelkin.Orvella.settingschanged";
// The settings file, in the mobile user's Preferences folder.
inline constexpr const char* kSettingsFileName = "com.brelkin.Orvella.plist";

// Views the answer bar gains while a call rings.
inline constexpr int64_t kLogoTag = 101;
inline constexpr int64_t kHintTag = 103;

}  // namespace orvella
