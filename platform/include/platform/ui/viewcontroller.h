// View controllers and the bundles their interface files come from.
//
// Runtime messages (types in brackets):
//   UIViewController initWithNibName:bundle: (std::string, id), view, isViewLoaded,
//                   viewDidLoad, viewWillAppear: (bool), nibName, nibBundle
//     The view is loaded on first use from "<bundle path>/<nib name>.nib" (nib.h); without an
//     interface file, or with a broken one (warned about on standard error), it is an empty view
//     the size of the screen. viewDidLoad follows either way.
//   NSBundle        +bundleWithPath: (std::string device path) -> nil when no such folder,
//                   bundlePath -> std::string
#pragma once

#include <string>

#include "platform/ui/views.h"

namespace platform {

class NSBundle : public objc::NSObject {
  public:
    static objc::Class cls();
    std::string bundlePath;  // device path as given
};

class UIViewController : public objc::NSObject {
  public:
    static objc::Class cls();
    objc::Strong<UIView> view;  // loaded on first use
    std::string nibName;
    objc::Strong<NSBundle> nibBundle;
};

// Registers the control classes (controls.h), UIViewController and NSBundle by name.
void registerViewControllerClasses();

}  // namespace platform
