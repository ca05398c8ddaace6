// NSArray: an immutable list of objects, which it retains (the audio route's outputs).
//
// Runtime messages: count -> int32_t, objectAtIndex: (int32_t) -> id or nil outside the list,
// description.
#pragma once

#include <vector>

#include "platform/core/runtime.h"

namespace platform {

class NSArray : public objc::NSObject {
  public:
    static objc::Class cls();
    static NSArray* create(std::vector<objc::id> items);  // +1, items retained
    const std::vector<objc::Strong<objc::Object>>& items() const { return items_; }

  private:
    std::vector<objc::Strong<objc::Object>> items_;
};

}  // namespace platform
