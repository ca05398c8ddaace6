// The code-injection loader of a host process.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Loads every library in the device's "/Library/MobileSubstrate/DynamicLibraries" whose filter
// property list names this process's bundle identifier (Filter > Bundles), in alphabetical
// order of the filter files, as the phone does. Problems are warned about on standard error,
// naming the file, and the library is skipped. Returns the libraries loaded, by file name.
std::vector<std::string> injectTweaks();

}  // namespace platform
