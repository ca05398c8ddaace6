// Typed readings of a dictionary entry with a default. Class methods of FK_HDTools:
//   stringForKey:defaultValue:dictionary: (std::string, std::string, const Dictionary*) ->
//   std::string intForKey:defaultValue:dictionary:    (std::string, int32_t, const Dictionary*) ->
//   int32_t floatForKey:defaultValue:dictionary:  (std::string, float, const Dictionary*) -> float
//   boolForKey:defaultValue:dictionary:   (std::string, bool, const Dictionary*) -> bool
// A missing dictionary or key gives the default.
#pragma once

#include <string>

#include "platform/core/runtime.h"
#include "platform/values/value.h"

class FK_HDTools : public objc::NSObject {
  public:
    static objc::Class cls();
    static std::string stringForKey(const std::string& key, const std::string& def,
                                    const platform::Dictionary* d);
    static int32_t intForKey(const std::string& key, int32_t def, const platform::Dictionary* d);
    static float floatForKey(const std::string& key, float def, const platform::Dictionary* d);
    static bool boolForKey(const std::string& key, bool def, const platform::Dictionary* d);
};
