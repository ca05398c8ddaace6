#include "home.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "platform/files/device_root.h"
#include "platform/files/files.h"
#include "platform/loop/foundation.h"

namespace phoned {

namespace fs = std::filesystem;
using platform::Failure;
using platform::Result;

namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

}  // namespace

Result<std::string> deviceRootDirectory() {
    std::string data = env("XDG_DATA_HOME");
    if (data.empty() || data[0] != '/') {
        const std::string home = env("HOME");
        if (home.empty())
            return Failure{"neither XDG_DATA_HOME nor HOME is set: no place for the phone's files"};
        data = home + "/.local/share";
    }
    return data + "/orvella";
}

Result<std::string> findPackage(const std::string& given) {
    auto isPackage = [](const fs::path& p) {
        std::error_code ec;
        return fs::is_regular_file(p / "Library/MobileSubstrate/DynamicLibraries/Orvella.plist",
                                   ec);
    };
    if (!given.empty()) {
        if (isPackage(given)) return given;
        return Failure{given +
                       ": not an Orvella package (no "
                       "Library/MobileSubstrate/DynamicLibraries/Orvella.plist in it)"};
    }
    // Installed, the package tree is found from the program's own folder, so the installed tree
    // works under any prefix; in the build tree it is staged beside the program's folder.
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec).parent_path();
    if (ec) return Failure{"cannot tell where orvella-phoned is: " + ec.message()};
    const fs::path installed = (self / ORVELLA_PHONED_PACKAGE).lexically_normal();
    for (const fs::path& p : {installed, self / "../package"})
        if (isPackage(p)) return fs::weakly_canonical(p, ec).string();
    return Failure{"no Orvella package at " + installed.string() + "; give one with --package DIR"};
}

Result<void> installPackage(const std::string& package, const std::string& root) {
    std::error_code ec;
    fs::create_directories(root, ec);
    if (ec) return Failure{root + ": cannot create the folder: " + ec.message()};
    // Beneath the root, so a link in it never leads the copy out; changed files are replaced by
    // rename, unchanged ones left alone.
    if (auto copied = platform::files::copyTree(package, root); !copied)
        return Failure{"cannot install " + package + ": " + copied.error()};
    return {};
}

std::vector<std::string> userLanguages() {
    std::vector<std::string> out;
    auto add = [&out](std::string locale) {
        // "nl_NL.UTF-8@euro" -> "nl"
        const auto cut = locale.find_first_of("_.@");
        if (cut != std::string::npos) locale.resize(cut);
        if (locale.empty() || locale == "C" || locale == "POSIX") return;
        for (const auto& have : out)
            if (have == locale) return;
        out.push_back(locale);
    };
    // LANGUAGE is a list, and counts only when a locale is set at all (as gettext has it).
    const std::string single = !env("LC_ALL").empty()        ? env("LC_ALL")
                               : !env("LC_MESSAGES").empty() ? env("LC_MESSAGES")
                                                             : env("LANG");
    if (!single.empty() && single != "C" && single != "POSIX") {
        std::stringstream list(env("LANGUAGE"));
        std::string item;
        while (std::getline(list, item, ':')) add(item);
    }
    add(single);
    if (out.empty()) out.push_back("en");
    return out;
}

std::string sessionBusAddress() {
    const std::string address = env("DBUS_SESSION_BUS_ADDRESS");
    if (!address.empty()) return address;
    const std::string runtime = env("XDG_RUNTIME_DIR");
    return "unix:path=" + (runtime.empty() ? "/run/user/" + std::to_string(::getuid()) : runtime) +
           "/bus";
}

platform::Result<std::string> becomePhoneProcess(const std::string& package,
                                                 const std::string& bundleIdentifier) {
    auto root = deviceRootDirectory();
    if (!root) return platform::Failure{root.error()};
    auto found = findPackage(package);
    if (!found) return platform::Failure{found.error()};
    if (auto installed = installPackage(*found, *root); !installed)
        return platform::Failure{installed.error()};
    if (!platform::device::setRoot(*root))
        return platform::Failure{*root + ": cannot use it for the phone's files"};
    platform::bundle::setMainBundleIdentifier(bundleIdentifier);
    platform::locale::setPreferredLanguages(userLanguages());
    return root;
}

}  // namespace phoned
