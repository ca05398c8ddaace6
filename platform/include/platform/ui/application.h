// The application object and URLs.
//
// Runtime messages (types in brackets):
//   NSURL           +URLWithString: (std::string) -> nil for an empty text, absoluteString
//   UIApplication   +sharedApplication, openURL: (id) -> bool (recorded, not opened; the
//                   record is in testing.h)
#pragma once

#include <string>

#include "platform/core/runtime.h"

namespace platform {

class NSURL : public objc::NSObject {
  public:
    static objc::Class cls();
    std::string absoluteString;
};

class UIApplication : public objc::NSObject {
  public:
    static objc::Class cls();
};

}  // namespace platform
