// Reading the kernel's sysfs attributes, and what udev knows of a device, without libudev.
//
// An attribute is read with one open, one read and one close: sysfs produces a fresh value at
// each open, and a file replaced by renaming (as test trees and umockdev do) is seen at once.
// No file is read beyond kMaxAttribute bytes, and none blocks (a FIFO reads as empty).
#pragma once

#include <map>
#include <string>

#include "platform/core/result.h"

namespace phoned::sysfs {

inline constexpr size_t kMaxAttribute = 4096;

bool exists(const std::string& path);

// The attribute's text. A failure names the file and the problem.
platform::Result<std::string> readText(const std::string& path);

// An attribute holding one number, blanks around it allowed.
platform::Result<double> readNumber(const std::string& path);

// The udev properties of the sysfs device folder dir: those of its uevent file (where the
// kernel and umockdev put them), then those udev recorded in its database under dataDir
// (normally /run/udev/data), where rules and the hardware database add theirs; the first
// place that has a key wins. The database names a device by its number ("c244:0") or, without
// one, by subsystem and name ("+iio:iio:device0").
std::map<std::string, std::string> udevProperties(const std::string& dir,
                                                  const std::string& dataDir);

}  // namespace phoned::sysfs
