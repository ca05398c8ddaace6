// Device paths under a device root, the main bundle and preferred languages.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/files/device_root.h"
#include "platform/files/files.h"
#include "platform/loop/foundation.h"
#include "platform/values/plist.h"
#include "test_support.h"

namespace device = platform::device;

TEST(Device, BothSettingsPathsReachOneFile) {
    testing_support::ScratchDir dir;
    ASSERT_TRUE(device::setRoot(dir.path()));
    const std::string pane =
        device::resolve("/var/mobile/Library/Preferences/com.brelkin.Orvella.plist");
    const std::string tweak = device::resolve(
        device::appendPathComponent("/User/Library/Preferences", "com.brelkin.Orvella.plist"));
    EXPECT_EQ(pane, dir.path() + "/var/mobile/Library/Preferences/com.brelkin.Orvella.plist");
    std::filesystem::create_directories(std::filesystem::path(pane).parent_path());
    ASSERT_TRUE(platform::plist::writeXmlAtomically(
        platform::Value(platform::Dictionary{{"IsOn", platform::Value(false)}}), pane));
    auto read = platform::plist::readDictionary(tweak);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->at("IsOn"), platform::Value(false));
}

TEST(Device, RelativePathsUseTheWorkingDirectoryAndNothingClimbsAboveTheRoot) {
    testing_support::ScratchDir dir;
    ASSERT_TRUE(device::setRoot(dir.path()));
    EXPECT_EQ(device::resolve("Library/PreferenceBundles/Orvella_Prefs.bundle"),
              dir.path() + "/Library/PreferenceBundles/Orvella_Prefs.bundle");
    device::setWorkingDirectory("/Applications/Preferences.app");
    EXPECT_EQ(device::resolve("Info.plist"),
              dir.path() + "/Applications/Preferences.app/Info.plist");
    EXPECT_EQ(device::resolve("../../../../etc/passwd"), dir.path() + "/etc/passwd");
    EXPECT_EQ(device::resolve("/.."), dir.path());
    device::setWorkingDirectory("/");
    EXPECT_EQ(
        device::appendPathComponent("/Library/Application Support/Orvella/", "orvellaLogo@2x.png"),
        "/Library/Application Support/Orvella/orvellaLogo@2x.png");
    EXPECT_EQ(device::appendPathComponent("/User/Library/Preferences", "x.plist"),
              "/User/Library/Preferences/x.plist");
    EXPECT_FALSE(device::fileExists("/nothing/here"));
    EXPECT_TRUE(device::fileExists("/var/mobile"));
}

TEST(Device, ARootThatCannotBePreparedIsRefused) {
    testing_support::ScratchDir dir;
    ASSERT_TRUE(device::setRoot(dir.path()));
    testing_support::writeFile(dir.file("plainfile"), "x");
    EXPECT_FALSE(device::setRoot(dir.file("plainfile")));
    EXPECT_EQ(device::root(), dir.path());
}

TEST(Device, ProcessIdentityAndLanguages) {
    EXPECT_EQ(platform::bundle::mainBundleIdentifier(), "");
    platform::bundle::setMainBundleIdentifier("com.apple.springboard");
    EXPECT_EQ(platform::bundle::mainBundleIdentifier(), "com.apple.springboard");
    EXPECT_EQ(platform::locale::preferredLanguages(), std::vector<std::string>{"en"});
    platform::locale::setPreferredLanguages({"nl", "en"});
    EXPECT_EQ(platform::locale::preferredLanguages().front(), "nl");
}
