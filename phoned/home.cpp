#include "home.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace phoned {

namespace fs = std::filesystem;
using platform::Failure;
using platform::Result;

namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

bool sameContent(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    if (!fs::exists(b, ec) || fs::file_size(a, ec) != fs::file_size(b, ec) || ec) return false;
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    return std::equal(std::istreambuf_iterator<char>(x), std::istreambuf_iterator<char>(),
                      std::istreambuf_iterator<char>(y), std::istreambuf_iterator<char>());
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
    if (isPackage(ORVELLA_PHONED_PACKAGE)) return std::string(ORVELLA_PHONED_PACKAGE);
    std::error_code ec;
    const fs::path beside = fs::read_symlink("/proc/self/exe", ec).parent_path() / "../package";
    if (!ec && isPackage(beside)) return fs::weakly_canonical(beside, ec).string();
    return Failure{std::string("no Orvella package at ") + ORVELLA_PHONED_PACKAGE +
                   "; give one with --package DIR"};
}

Result<void> installPackage(const std::string& package, const std::string& root) {
    std::error_code ec;
    fs::create_directories(root, ec);
    if (ec) return Failure{root + ": cannot create the folder: " + ec.message()};
    for (auto it = fs::recursive_directory_iterator(package, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::path relative = fs::relative(it->path(), package, ec);
        if (ec) break;
        const fs::path target = fs::path(root) / relative;
        if (it->is_directory(ec)) {
            fs::create_directories(target, ec);
            if (ec) return Failure{target.string() + ": cannot create the folder: " + ec.message()};
            continue;
        }
        if (!it->is_regular_file(ec) || sameContent(it->path(), target)) continue;
        const fs::path temporary = target.string() + ".installing";
        fs::copy_file(it->path(), temporary, fs::copy_options::overwrite_existing, ec);
        if (!ec) fs::permissions(temporary, it->status().permissions(), ec);
        if (!ec) fs::rename(temporary, target, ec);
        if (ec) {
            fs::remove(temporary);
            return Failure{target.string() + ": cannot install: " + ec.message()};
        }
    }
    if (ec) return Failure{package + ": cannot read the package: " + ec.message()};
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

}  // namespace phoned
