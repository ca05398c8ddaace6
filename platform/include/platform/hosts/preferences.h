// The Settings application's side of a preference pane: PSViewController, and opening a pane
// the way the Settings application does (entry property list -> bundle -> controller class).
//
// Runtime messages of PSViewController (a UIViewController):
//   initForContentSize: (CGSize) -> runs init; pushController: (id); view (inherited)
#pragma once

#include <string>
#include <vector>

#include "platform/ui/viewcontroller.h"

namespace platform {

class PSViewController : public UIViewController {
  public:
    static objc::Class cls();
    std::vector<objc::Strong<objc::Object>> pushed;
};

// Opens the pane described by the entry file "/Library/PreferenceLoader/Preferences/<entry>.plist":
// its "entry" dictionary names the bundle ("bundle", found in "/Library/PreferenceBundles") and
// the controller class ("detail"). Loads the bundle's executable (its Info.plist's
// CFBundleExecutable), creates the controller with initForContentSize: and returns it (+1).
// Problems are warned about on standard error naming the file; the result is then nullptr.
objc::id openPreferencePane(const std::string& entry);

void registerPreferencesClasses();

}  // namespace platform
