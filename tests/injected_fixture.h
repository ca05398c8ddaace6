// A host process into which the staged package is installed and the tweak injected for real:
// the injector reads the filter property list and dlopens the library, whose constructor runs.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/core/trace.h"
#include "platform/files/device_root.h"
#include "platform/hosts/host_classes.h"
#include "platform/loop/runloop.h"
#include "platform/notify/notifications.h"
#include "platform/testing.h"
#include "platform/values/plist.h"
#include "test_support.h"

namespace testing_support {

class InjectedTest : public ::testing::Test {
  protected:
    void TearDown() override { platform::resetProcessState(); }

    // Prepares a device with the package installed and a host of the given identity.
    void prepare(const std::string& bundleId, platform::HostRole role, double screenHeight = 568) {
        platform::resetProcessState();
        ASSERT_TRUE(platform::device::setRoot(root.path()));
        std::filesystem::copy(ORVELLA_PACKAGE_DIR, root.path(),
                              std::filesystem::copy_options::recursive);
        platform::bundle::setMainBundleIdentifier(bundleId);
        start = platform::useVirtualClock().now();
        platform::DeviceModel::shared().setScreenHeight(screenHeight);
        platform::registerHostClasses(role);
        platform::setTraceSink([this](const std::string& line) { traced.push_back(line); });
    }

    void writeSettings(const platform::Dictionary& d) {
        const std::string path =
            platform::device::resolve("/var/mobile/Library/Preferences/com.brelkin.Orvella.plist");
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        ASSERT_TRUE(platform::plist::writeXmlAtomically(platform::Value(d), path));
    }

    void inject() {
        loaded = platform::injectTweaks();
        const std::string lib =
            platform::device::resolve("/Library/MobileSubstrate/DynamicLibraries/Orvella.dylib");
        handle = ::dlopen(lib.c_str(), RTLD_NOW | RTLD_NOLOAD);
    }

    template <class T>
    T& global(const char* name) {
        void* p = handle ? ::dlsym(handle, name) : nullptr;
        if (p == nullptr) {
            ADD_FAILURE() << "no symbol " << name;
            static T dummy{};
            return dummy;
        }
        return *static_cast<T*>(p);
    }

    // Trace lines starting with the prefix, in order.
    std::vector<std::string> tracedWith(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& l : traced)
            if (l.rfind(prefix, 0) == 0) out.push_back(l);
        return out;
    }
    long indexOf(const std::string& line) const {
        auto it = std::find(traced.begin(), traced.end(), line);
        return it == traced.end() ? -1 : static_cast<long>(it - traced.begin());
    }

    void settle() { platform::RunLoop::main().runDue(); }
    void pass(double s) { platform::RunLoop::main().advance(s); }

    ScratchDir root;
    double start = 0;
    std::vector<std::string> traced;
    std::vector<std::string> loaded;
    void* handle = nullptr;
    objc::AutoreleasePool pool;
};

}  // namespace testing_support
