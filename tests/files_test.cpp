// Files of the device: nothing read or written outside the device root whatever links it
// holds, no hang on something that is not a file, atomic replacement without leftovers.
// Every case runs twice: resolved by the kernel (openat2) and component by component.
#include "platform/files/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "platform/files/device_root.h"
#include "platform/testing.h"
#include "platform/ui/views.h"
#include "platform/values/plist.h"
#include "test_support.h"
#include "watched_fifo.h"

namespace fs = std::filesystem;
namespace files = platform::files;
namespace device = platform::device;
namespace plist = platform::plist;
using platform::Dictionary;
using platform::Value;
using testing_support::readFile;
using testing_support::ScratchDir;
using testing_support::writeFile;

namespace {

constexpr const char* kSettings = "/var/mobile/Library/Preferences/com.brelkin.Orvella.plist";

class DeviceFiles : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        platform::resolveBeneathRootWithOpenat2(GetParam());
        ASSERT_TRUE(device::setRoot(root.path()));
        writeFile(outside.file("secret.plist"), plist::toXml(Value(Dictionary{{"IsOn", false}})));
    }
    void TearDown() override { platform::resetProcessState(); }

    std::string at(const std::string& devicePath) const { return device::resolve(devicePath); }
    // Replaces whatever is at the device path with a link.
    void link(const std::string& devicePath, const std::string& target) const {
        std::error_code ec;
        fs::remove_all(at(devicePath), ec);
        fs::create_directories(fs::path(at(devicePath)).parent_path());
        fs::create_symlink(target, at(devicePath));
    }
    size_t entries(const std::string& hostDir) const {
        size_t n = 0;
        for (auto it = fs::directory_iterator(hostDir); it != fs::directory_iterator(); ++it) ++n;
        return n;
    }
    std::vector<std::string> namesIn(const std::string& hostDir) const {
        std::vector<std::string> names;
        for (auto& e : fs::directory_iterator(hostDir)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    ScratchDir root;
    ScratchDir outside;
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Resolution, DeviceFiles, ::testing::Values(true, false),
                         [](const auto& info) {
                             return info.param ? "Openat2" : "ComponentByComponent";
                         });

TEST_P(DeviceFiles, LinksOutOfTheRootAreNeverFollowedForReading) {
    // Refused, and said to be refused for leading outside, not merely missing.
    auto refusedAsOutside = [&](const std::string& devicePath) {
        auto read = files::readRegularFile(at(devicePath), 1000);
        ASSERT_FALSE(read);
        EXPECT_NE(read.error().find(at(devicePath) +
                                    ": refused: a link leads outside the device root (to " +
                                    fs::canonical(outside.path()).string()),
                  std::string::npos)
            << read.error();
    };
    // The settings file as a link to a file outside, absolute and climbing.
    link(kSettings, outside.file("secret.plist"));
    EXPECT_FALSE(plist::readDictionary(at(kSettings)));
    EXPECT_FALSE(device::fileExists(kSettings));
    refusedAsOutside(kSettings);
    link(kSettings, "../../../../../../../../../../.." + outside.file("secret.plist"));
    EXPECT_FALSE(plist::readDictionary(at(kSettings)));
    refusedAsOutside(kSettings);
    // The folder as a link to a folder outside.
    link("/var/mobile/Library/Preferences", outside.path());
    writeFile(outside.file("com.brelkin.Orvella.plist"), readFile(outside.file("secret.plist")));
    EXPECT_FALSE(plist::readDictionary(at(kSettings)));
    EXPECT_FALSE(plist::readDictionary(at("/User/Library/Preferences/com.brelkin.Orvella.plist")));
    refusedAsOutside(kSettings);
    // A link that leads to itself ends, unread; a file that is missing is only missing.
    fs::remove(at("/var/mobile/Library/Preferences"));
    link(kSettings, "com.brelkin.Orvella.plist");
    EXPECT_FALSE(plist::readDictionary(at(kSettings)));
    EXPECT_EQ(files::readRegularFile(at(kSettings), 1000).error().find("outside"),
              std::string::npos);
    fs::remove(at(kSettings));
    EXPECT_EQ(files::readRegularFile(at(kSettings), 1000).error(),
              at(kSettings) + ": No such file or directory");
}

TEST_P(DeviceFiles, LinksInsideTheRootWorkAsOnThePhone) {
    const std::string stored = plist::toXml(Value(Dictionary{{"WaveProtocolLocked", Value(2)}}));
    writeFile(at("/var/mobile/Shared/settings.plist"), stored);
    // "/" in a link's target is the device root, as on the phone.
    link(kSettings, "/var/mobile/Shared/settings.plist");
    auto viaAbsolute = plist::readDictionary(at(kSettings));
    ASSERT_TRUE(viaAbsolute);
    EXPECT_EQ(viaAbsolute->at("WaveProtocolLocked"), Value(2));
    link(kSettings, "../../Shared/settings.plist");
    EXPECT_TRUE(plist::readDictionary(at(kSettings)));
    // The root's own User link, followed on disk.
    EXPECT_TRUE(
        plist::readDictionary(root.file("User/Library/Preferences/com.brelkin.Orvella.plist")));
    // A link into the root from above it is still inside.
    link("/var/mobile/Library", "/var/mobile/../../var/mobile/Shared/../Library2");
    writeFile(at("/var/mobile/Library2/Preferences/com.brelkin.Orvella.plist"), stored);
    EXPECT_TRUE(plist::readDictionary(at(kSettings)));
}

TEST_P(DeviceFiles, AFifoOrADeviceAtTheSettingsPathIsUnreadableAtOnce) {
    // Opened blocking, a FIFO without a writer held the reader for good.
    fs::create_directories(fs::path(at(kSettings)).parent_path());
    testing_support::WatchedFifo fifo(at(kSettings));
    ASSERT_TRUE(fifo.made());
    EXPECT_FALSE(plist::readDictionary(at(kSettings)));
    auto read = files::readRegularFile(at(kSettings), 100);
    ASSERT_FALSE(read);
    EXPECT_NE(read.error().find("not a regular file"), std::string::npos) << read.error();
    EXPECT_TRUE(device::fileExists(kSettings)) << "it exists, it is only unreadable";
    // Outside the root nothing special is done, but a device is no file either.
    EXPECT_FALSE(plist::readFile("/dev/zero"));
    EXPECT_FALSE(plist::readFile(root.path()));
}

TEST_P(DeviceFiles, WritingReplacesALinkInsteadOfWritingThroughIt) {
    const std::string before = readFile(outside.file("secret.plist"));
    link(kSettings, outside.file("secret.plist"));
    ASSERT_TRUE(plist::writeXmlAtomically(Value(Dictionary{{"IsOn", true}}), at(kSettings)));
    EXPECT_EQ(readFile(outside.file("secret.plist")), before);
    EXPECT_FALSE(fs::is_symlink(at(kSettings)));
    EXPECT_EQ(plist::readDictionary(at(kSettings))->at("IsOn"), Value(true));
    // A folder linked outside: the write fails and leaves nothing there, not even a temporary.
    link("/var/mobile/Library/Preferences", outside.path());
    const size_t outsideEntries = entries(outside.path());
    EXPECT_FALSE(plist::writeXmlAtomically(Value(Dictionary{{"IsOn", true}}), at(kSettings)));
    EXPECT_EQ(entries(outside.path()), outsideEntries);
    EXPECT_EQ(readFile(outside.file("secret.plist")), before);
}

TEST_P(DeviceFiles, TheCopyOfAPackageStaysInsideTheRootWhateverLinksItMeets) {
    ScratchDir package;
    writeFile(package.file("Library/MobileSubstrate/DynamicLibraries/Orvella.plist"), "filter");
    writeFile(package.file("Library/PreferenceBundles/Orvella_Prefs.bundle/Info.plist"), "info");
    // Library linked out of the root: the copy fails and writes nothing outside.
    link("/Library", outside.path());
    const auto before = namesIn(outside.path());
    auto refused = files::copyTree(package.path(), root.path());
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().find(root.file("Library") +
                                   ": refused: a link leads outside the device root"),
              std::string::npos)
        << refused.error();
    EXPECT_EQ(namesIn(outside.path()), before);
    // Library linked inside the root: the copy goes where the link leads.
    link("/Library", "/var/Library");
    fs::create_directories(at("/var/Library"));
    ASSERT_TRUE(files::copyTree(package.path(), root.path()));
    EXPECT_EQ(readFile(at("/var/Library/MobileSubstrate/DynamicLibraries/Orvella.plist")),
              "filter");
    // The host would take the link's "/" for its own; the device's files take it for the root.
    EXPECT_EQ(*files::readRegularFile(
                  at("/Library/PreferenceBundles/Orvella_Prefs.bundle/Info.plist"), 100),
              "info");
    // A file linked outside is replaced, not written through.
    link("/var/Library/PreferenceBundles/Orvella_Prefs.bundle/Info.plist",
         outside.file("secret.plist"));
    const std::string secret = readFile(outside.file("secret.plist"));
    ASSERT_TRUE(files::copyTree(package.path(), root.path()));
    EXPECT_EQ(readFile(outside.file("secret.plist")), secret);
}

TEST_P(DeviceFiles, TemporariesLeftByADeadWriterGoWithTheNextWrite) {
    const std::string folder = fs::path(at(kSettings)).parent_path();
    fs::create_directories(folder);
    // Left by writers killed before their rename.
    writeFile(at(kSettings) + ".tmp-a1B2c3", "half");
    writeFile(at(kSettings) + ".tmp-ZZZZZZ", "");
    // A live writer's (it holds the lock), and names that are not our temporaries.
    writeFile(at(kSettings) + ".tmp-live01", "writing");
    const int live = ::open((at(kSettings) + ".tmp-live01").c_str(), O_RDONLY);
    ASSERT_EQ(::flock(live, LOCK_EX), 0);
    writeFile(at(kSettings) + ".tmp-toolong1", "");
    writeFile(folder + "/other.plist.tmp-a1B2c3", "");
    ASSERT_TRUE(plist::writeXmlAtomically(Value(Dictionary{{"IsOn", true}}), at(kSettings)));
    EXPECT_EQ(namesIn(folder),
              (std::vector<std::string>{
                  "com.brelkin.Orvella.plist", "com.brelkin.Orvella.plist.tmp-live01",
                  "com.brelkin.Orvella.plist.tmp-toolong1", "other.plist.tmp-a1B2c3"}));
    ::close(live);
    ASSERT_TRUE(plist::writeXmlAtomically(Value(Dictionary{{"IsOn", false}}), at(kSettings)));
    EXPECT_FALSE(fs::exists(at(kSettings) + ".tmp-live01")) << "its writer is gone now";
    struct stat st {};
    ASSERT_EQ(::stat(at(kSettings).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(DeviceFilesUser, AUserEntryThatIsNoLinkStillLeadsBothDeliverablesToOneFile) {
    ScratchDir root;
    fs::create_directories(root.file("User/Library/Preferences"));
    ASSERT_TRUE(device::setRoot(root.path()));
    ASSERT_TRUE(fs::is_directory(root.file("User")) && !fs::is_symlink(root.file("User")));
    // The pane writes by one name, the tweak reads by the other.
    ASSERT_TRUE(
        plist::writeXmlAtomically(Value(Dictionary{{"IsOn", false}}), device::resolve(kSettings)));
    auto read = plist::readDictionary(
        device::resolve("/User/Library/Preferences/com.brelkin.Orvella.plist"));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->at("IsOn"), Value(false));
}

TEST_P(DeviceFiles, ImagesAreOpenedTheSameWay) {
    platform::registerUIKitClasses();
    objc::AutoreleasePool pool;
    const std::string logo = "/Library/Application Support/Orvella/orvellaLogo@2x.png";
    const auto load = [&] {
        return objc::msgSend<objc::id>(platform::UIImage::cls(), SEL_("imageWithContentsOfFile:"),
                                       logo);
    };
    // A real image outside the root, reached through a link, is not loaded.
    ASSERT_TRUE(fs::exists(std::string(ORVELLA_PACKAGE_DIR) + logo));
    link(logo, std::string(ORVELLA_PACKAGE_DIR) + logo);
    EXPECT_EQ(load(), nullptr);
    // Copied inside, it is.
    fs::remove(at(logo));
    fs::copy_file(std::string(ORVELLA_PACKAGE_DIR) + logo, at(logo));
    EXPECT_NE(load(), nullptr);
    // A FIFO in its place held the call screen as it held the settings.
    fs::remove(at(logo));
    testing_support::WatchedFifo fifo(at(logo));
    ASSERT_TRUE(fifo.made());
    EXPECT_EQ(load(), nullptr);
}
