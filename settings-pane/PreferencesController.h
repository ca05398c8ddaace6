// The pane host the Settings application creates: it builds the settings screen from the
// bundle's interface file, shows the screen's view as its own, and forwards the two storage
// operations of PreferencesControllerDelegate to it.
//
// Runtime messages: initForContentSize: (CGSize), view, navigationTitle -> std::string,
// table -> id, contentSize -> CGSize, writePreferencesToFile,
// setObjectForKeyInPreferences:ForKey: (id, std::string), flip: (id),
// mainViewComtroller / setMainViewComtroller: (id).
//
// PreferencesControllerDelegate (writePreferencesToFile, pushController:,
// setObjectForKeyInPreferences:ForKey:, all optional) is the type of the screen's delegate.
#pragma once

#include <string>

#include "platform/hosts/preferences.h"

class PreferencesController : public platform::PSViewController {
  public:
    static objc::Class cls();
    objc::id _tableView = nullptr;  // the pane makes no table
    std::string _prefsKey;
    objc::Strong<objc::Object> mainViewComtroller;
};
