// Interface files: the view tree of a screen, built from an XML property list in our own
// documented format (docs/interface-files.md) that names classes, frames, properties, outlets and
// actions.
#pragma once

#include <string>

#include "platform/core/result.h"
#include "platform/ui/views.h"

namespace platform {

// Builds the view tree of the interface file at a device path, connecting outlets and actions
// to the owner. Every connection is checked before any is made, so on any problem nothing is
// connected and the failure names the file and the element ("file: element View 'name'
// (Class) > Subviews[0] ...: problem").
Result<objc::Strong<UIView>> loadNib(const std::string& devicePath, objc::id owner);

}  // namespace platform
