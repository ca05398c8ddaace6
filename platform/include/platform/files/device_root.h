// The device file system: the phone's paths resolved under a device root on this machine.
//
// Absolute device paths ("/var/mobile/Library/Preferences/...") resolve below the root;
// relative ones ("Library/PreferenceBundles/...") resolve against the process's device working
// directory, "/" unless set otherwise. ".." never climbs above the root. "/User" is the phone's
// other name for "/var/mobile": paths under it resolve to "/var/mobile", so
// "/User/Library/Preferences" and "/var/mobile/Library/Preferences" reach the same files
// whatever a "User" entry in the root has become. The root still holds "User" as a link to
// "var/mobile" for anyone looking at the tree.
//
// Files under the root are opened beneath it, and a device path tested for a file
// (files.h): no link leads out of it.
//
// The root is chosen at process start: setRoot(), else the PHONE_DEVICE_ROOT environment
// variable, else a fresh directory under the system's temporary directory.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform::device {

// Makes dir the device root, creating it, "var/mobile/Library/Preferences" and the "User"
// link as needed.
// Returns false (and keeps the previous root) when the directory cannot be prepared.
bool setRoot(const std::string& hostDir);
const std::string& root();

void setWorkingDirectory(std::string devicePath);
const std::string& workingDirectory();

// The host path for a device path.
std::string resolve(std::string_view devicePath);

// The part of a host path below the device root ("var/mobile/Library", "" for the root itself),
// or nothing when the path is not inside the root or no root has been chosen yet.
std::optional<std::string> relativeToRoot(std::string_view hostPath);

// Joins a path component the way the phone's stringByAppendingPathComponent: does: exactly
// one "/" between the two parts.
std::string appendPathComponent(std::string_view base, std::string_view component);

}  // namespace platform::device
