// Where the phone's files live for this user: the device root under the user's data directory,
// with the staged package installed into it, and the user's languages.
#pragma once

#include <string>
#include <vector>

#include "platform/core/result.h"

namespace phoned {

// $XDG_DATA_HOME/orvella, or ~/.local/share/orvella.
platform::Result<std::string> deviceRootDirectory();

// The staged package tree: the one given, else the installed one, else the one beside the
// program in a build tree.
platform::Result<std::string> findPackage(const std::string& given);

// Copies every file of the package into the root. Files already the same are left alone;
// others are replaced by renaming a finished copy over them, so a library some process has
// loaded is never rewritten in place. The user's settings are not part of the package.
platform::Result<void> installPackage(const std::string& package, const std::string& root);

// The user's languages, most preferred first, as language codes ("nl", "en"), from LANGUAGE,
// LC_ALL, LC_MESSAGES and LANG; "en" when none is set or the locale is C/POSIX.
std::vector<std::string> userLanguages();

// Makes this process one of the phone's: installs the package (findPackage(given)) into the
// device root, uses that root for the phone's files, takes the bundle identifier and the user's
// languages. The device root, or the problem in plain words when any step cannot be done.
platform::Result<std::string> becomePhoneProcess(const std::string& package,
                                                 const std::string& bundleIdentifier);

// The session bus address for the platform's own bus client.
std::string sessionBusAddress();

}  // namespace phoned
