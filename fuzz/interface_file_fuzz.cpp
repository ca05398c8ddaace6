// The settings screen built from any interface file, then used as a person would: every switch
// flipped, every button tapped, every picker column turned, every alert closed. Whatever the
// file connects, nothing may crash the Settings application.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "MainViewController.h"
#include "platform/files/device_root.h"
#include "platform/hosts/preferences.h"
#include "platform/loop/foundation.h"
#include "platform/loop/runloop.h"
#include "platform/testing.h"
#include "platform/ui/controls.h"
#include "platform/ui/views.h"

namespace {

constexpr const char* kBundle = "/fuzz.bundle";

// The device root lives as long as the process and goes when it exits (the replay's end, or the
// end of a fuzzing run).
std::string& deviceRoot() {
    static std::string root;
    return root;
}

void removeDeviceRoot() {
    std::error_code ec;
    std::filesystem::remove_all(deviceRoot(), ec);
}

void setUp() {
    static const bool done = [] {
        std::string& root = deviceRoot();
        root = (std::filesystem::temp_directory_path() / "orvella-fuzz-XXXXXX").string();
        if (::mkdtemp(root.data()) == nullptr) std::abort();
        std::atexit(&removeDeviceRoot);
        if (!platform::device::setRoot(root)) std::abort();
        std::filesystem::create_directories(platform::device::resolve(kBundle));
        platform::bundle::setMainBundleIdentifier("com.apple.Preferences");
        platform::useVirtualClock();
        platform::registerPreferencesClasses();
        MainViewController::cls();
        return true;
    }();
    (void)done;
}

void useEverything(platform::UIView* view) {
    using objc::msgSend;
    if (objc::isKindOfClass(view, platform::UISwitch::cls())) {
        platform::setSwitchByUser(view, !static_cast<platform::UISwitch*>(view)->on);
    } else if (objc::isKindOfClass(view, platform::UIButton::cls())) {
        platform::tapButton(view);
    } else if (objc::isKindOfClass(view, platform::UIPickerView::cls())) {
        auto* picker = static_cast<platform::UIPickerView*>(view);
        if (picker->dataSource != nullptr) {
            for (int64_t c = 0; c < std::min<int64_t>(picker->numberOfComponents(), 8); ++c)
                platform::spinPicker(view, picker->numberOfRows(c) - 1, c);
        }
    }
    // Taps may change the tree; walk a copy (which keeps the children alive meanwhile).
    const auto children = view->subviews;
    for (const auto& child : children) useEverything(child.get());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    setUp();
    {
        std::ofstream out(platform::device::resolve(std::string(kBundle) + "/Screen.nib"),
                          std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    objc::AutoreleasePool pool;
    objc::id bundle = objc::msgSend<objc::id>(objc::objc_getClass("NSBundle"),
                                              SEL_("bundleWithPath:"), std::string(kBundle));
    objc::id screen = objc::msgSend<objc::id>(MainViewController::cls(), SEL_("alloc"));
    screen = objc::msgSend<objc::id>(screen, SEL_("initWithNibName:bundle:"), std::string("Screen"),
                                     bundle);
    auto* view = static_cast<platform::UIView*>(objc::msgSend<objc::id>(screen, SEL_("view")));
    if (view != nullptr) useEverything(view);
    while (!platform::visibleAlerts().empty()) platform::tapAlertButton(0);
    platform::RunLoop::main().runDue();
    objc::objc_release(screen);
    // What the run kept (alerts, the animation and URL records, scheduled work) goes, so every
    // input starts as the first did.
    platform::resetProcessState();
    platform::useVirtualClock();
    platform::bundle::setMainBundleIdentifier("com.apple.Preferences");
    return 0;
}
