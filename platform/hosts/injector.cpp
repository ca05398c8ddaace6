#include "platform/hosts/injector.h"

#include <dirent.h>
#include <dlfcn.h>

#include <algorithm>
#include <memory>

#include "platform/core/result.h"
#include "platform/core/trace.h"
#include "platform/core/warn.h"
#include "platform/files/device_root.h"
#include "platform/loop/foundation.h"
#include "platform/values/plist.h"

namespace platform {

namespace {

constexpr std::string_view kFilterSuffix = ".plist";

struct CloseDir {
    void operator()(DIR* d) const { ::closedir(d); }
};

std::vector<std::string> filterFiles(const std::string& dir) {
    std::vector<std::string> filters;
    std::unique_ptr<DIR, CloseDir> d(::opendir(dir.c_str()));
    if (!d) return filters;
    while (dirent* e = ::readdir(d.get())) {
        std::string_view name = e->d_name;
        if (name.size() > kFilterSuffix.size() && name.ends_with(kFilterSuffix))
            filters.emplace_back(name);
    }
    std::sort(filters.begin(), filters.end());
    return filters;
}

// Whether the filter file at path names this bundle; why not when it cannot be read.
Result<bool> filterNames(const std::string& path, const std::string& bundleIdentifier) {
    auto plist = plist::readDictionary(path);
    if (!plist)
        return Failure{path + ": not a readable property list with a dictionary root; skipped"};
    auto filter = plist->find("Filter");
    const Value* bundles = filter != plist->end() ? filter->second.find("Bundles") : nullptr;
    if (bundles == nullptr || bundles->array() == nullptr)
        return Failure{path + ": no Filter > Bundles list; skipped"};
    return std::any_of(bundles->array()->begin(), bundles->array()->end(), [&](const Value& b) {
        return b.string() && *b.string() == bundleIdentifier;
    });
}

}  // namespace

std::vector<std::string> injectTweaks() {
    std::vector<std::string> loaded;
    const std::string dir = device::resolve("/Library/MobileSubstrate/DynamicLibraries");
    const std::string me = bundle::mainBundleIdentifier();
    for (const std::string& filter : filterFiles(dir)) {
        Result<bool> wanted = filterNames(dir + "/" + filter, me);
        if (!wanted) {
            warn("injector", wanted.error());
            continue;
        }
        if (!*wanted) continue;
        const std::string base = filter.substr(0, filter.size() - kFilterSuffix.size());
        const std::string library = dir + "/" + base + ".dylib";
        if (::dlopen(library.c_str(), RTLD_NOW | RTLD_GLOBAL) == nullptr) {
            warn("injector", library + ": cannot load: " + ::dlerror());
            continue;
        }
        loaded.push_back(base + ".dylib");
        if (tracing()) trace(events::TweakInjected{base + ".dylib"});
    }
    return loaded;
}

}  // namespace platform
