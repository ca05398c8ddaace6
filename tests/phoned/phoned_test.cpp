// The pieces of orvella-phoned that need no bus: the accelerometer and the proximity sensor read
// from a scratch sysfs tree, the proximity sensor's pace on the run loop, the headphone port
// test, the user's languages, installing the package, and the two platform hooks the adapters
// hang on.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "accelerometer.h"
#include "dbus.h"
#include "home.h"
#include "platform/devices/hardware.h"
#include "platform/loop/runloop.h"
#include "private_bus.h"
#include "proximity_sensor.h"
#include "soundserver.h"
#include "test_support.h"

using testing_support::ScratchDir;

namespace {

void put(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A device folder as the kernel lays it out, values in the sensor's units.
std::string accelerometer(const ScratchDir& dir, int x, int y, int z, const std::string& scale) {
    const std::string d = dir.file("iio:device1");
    put(d + "/in_accel_x_raw", std::to_string(x) + "\n");
    put(d + "/in_accel_y_raw", std::to_string(y) + "\n");
    put(d + "/in_accel_z_raw", std::to_string(z) + "\n");
    if (!scale.empty()) put(d + "/in_accel_scale", scale + "\n");
    return d;
}

}  // namespace

TEST(Accelerometer, ScreenUpOnLinuxIsMinusOneGOnThePlatform) {
    ScratchDir dir;
    put(dir.file("iio:device0/in_illuminance_raw"), "5\n");  // another sensor, passed over
    accelerometer(dir, 0, 0, 1000, "0.009806650");
    auto a = phoned::Accelerometer::find(dir.path(), nullptr);
    ASSERT_TRUE(a) << a.error();
    EXPECT_EQ(a->directory(), dir.file("iio:device1"));
    auto pose = a->read();
    ASSERT_TRUE(pose) << pose.error();
    EXPECT_NEAR(pose->x, 0, 1e-6);
    EXPECT_NEAR(pose->z, -1.0, 1e-5);
    // Upright in portrait: Linux +y, the platform -y.
    accelerometer(dir, 0, 500, 0, "0.01961330");
    pose = a->read();
    ASSERT_TRUE(pose);
    EXPECT_NEAR(pose->y, -1.0, 1e-5);
    EXPECT_NEAR(pose->z, 0, 1e-6);
}

TEST(Accelerometer, OffsetPerAxisScaleAndMountMatrixApply) {
    ScratchDir dir;
    const std::string d = accelerometer(dir, 10, 20, -990, "0.1");
    put(d + "/in_accel_offset", "10\n");
    put(d + "/in_accel_x_scale", "0.2\n");
    // The sensor sits upside down and turned: its x is the phone's y, its z the phone's -z.
    put(d + "/in_accel_mount_matrix", "0, 1, 0; 1, 0, 0; 0, 0, -1\n");
    std::vector<std::string> notes;
    auto a = phoned::Accelerometer::find(dir.path(), &notes);
    ASSERT_TRUE(a);
    EXPECT_TRUE(notes.empty());
    auto pose = a->read();
    ASSERT_TRUE(pose);
    // sensor: x = 20 * 0.2 = 4, y = 30 * 0.1 = 3, z = -980 * 0.1 = -98 (m/s^2)
    EXPECT_NEAR(pose->x, -3 / 9.80665, 1e-5);
    EXPECT_NEAR(pose->y, -4 / 9.80665, 1e-5);
    EXPECT_NEAR(pose->z, -98 / 9.80665, 1e-4);

    // Turned a quarter round: the phone's x is the sensor's -y, its y the sensor's x. The rows
    // of the matrix give the phone's axes, so a transposed product turns the wrong way.
    put(d + "/in_accel_mount_matrix", "0, -1, 0; 1, 0, 0; 0, 0, 1\n");
    a = phoned::Accelerometer::find(dir.path(), nullptr);
    ASSERT_TRUE(a);
    pose = a->read();
    ASSERT_TRUE(pose);
    EXPECT_NEAR(pose->x, 3 / 9.80665, 1e-5);
    EXPECT_NEAR(pose->y, -4 / 9.80665, 1e-5);
    EXPECT_NEAR(pose->z, 98 / 9.80665, 1e-4);
}

TEST(Accelerometer, BadFilesAreNamedAndNeverCrash) {
    ScratchDir dir;
    auto none = phoned::Accelerometer::find(dir.path(), nullptr);
    ASSERT_FALSE(none);
    EXPECT_NE(none.error().find("no accelerometer under " + dir.path()), std::string::npos);
    EXPECT_FALSE(phoned::Accelerometer::find(dir.file("missing"), nullptr));

    const std::string d = accelerometer(dir, 1, 2, 3, "0.01");
    put(d + "/in_accel_mount_matrix", "1, 0, 0; 0, 1\n");
    std::vector<std::string> notes;
    auto a = phoned::Accelerometer::find(dir.path(), &notes);
    ASSERT_TRUE(a);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find(d + "/in_accel_mount_matrix: not a mount matrix"), std::string::npos);

    put(d + "/in_accel_y_raw", "busy\n");
    auto pose = a->read();
    ASSERT_FALSE(pose);
    EXPECT_EQ(pose.error(), d + "/in_accel_y_raw: not a number: 'busy'");
    put(d + "/in_accel_y_raw", "2\n");
    std::filesystem::remove(d + "/in_accel_z_raw");
    pose = a->read();
    ASSERT_FALSE(pose);
    EXPECT_NE(pose.error().find(d + "/in_accel_z_raw: cannot open"), std::string::npos);
}

TEST(Accelerometer, MountMatrixParsing) {
    auto m = phoned::parseMountMatrix("-1, 0, 0; 0, 1, 0; 0, 0, 0.5\n");
    ASSERT_TRUE(m);
    EXPECT_EQ((*m)[0][0], -1);
    EXPECT_EQ((*m)[2][2], 0.5);
    for (const char* bad :
         {"", "1,0,0;0,1,0", "1,0,0;0,1,0;0,0,1;1,1,1", "1,0,0,0;0,1,0;0,0,1", "1,x,0;0,1,0;0,0,1"})
        EXPECT_FALSE(phoned::parseMountMatrix(bad)) << bad;
}

// The near level from the driver, else udev (the uevent file, or udev's database by device
// number), else the default; a reading at the level is near, and a bad reading is named.
TEST(ProximitySensor, NearLevelFromTheDriverThenUdevThenTheDefault) {
    struct Case {
        std::string nearlevel, uevent, dev, database;
        double level;
        const char* source;
    };
    const Case cases[] = {
        {"150\n", "PROXIMITY_NEAR_LEVEL=50\n", "", "", 150, "in_proximity_nearlevel"},
        {"near\n", "PROXIMITY_NEAR_LEVEL=50\n", "", "", 50, "udev's PROXIMITY_NEAR_LEVEL"},
        {"inf\n", "PROXIMITY_NEAR_LEVEL=nan\n", "", "", 100, "the default"},
        {"", "MAJOR=244\n", "244:3\n", "I:1\nE:PROXIMITY_NEAR_LEVEL=70\n", 70,
         "udev's PROXIMITY_NEAR_LEVEL"},
        {"", "PROXIMITY_NEAR_LEVEL=\n", "", "", 100, "the default"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        ScratchDir sys, udev;
        const std::string d = sys.file("iio:device2");
        put(sys.file("iio:device0/in_accel_x_raw"), "1\n");  // another sensor, passed over
        put(d + "/uevent", c.uevent);
        if (!c.nearlevel.empty()) put(d + "/in_proximity_nearlevel", c.nearlevel);
        if (!c.dev.empty()) put(d + "/dev", c.dev);
        put(udev.file("c244:3"), c.database);
        put(d + "/in_proximity_raw", "0\n");
        auto sensor = phoned::ProximitySensor::find(sys.path(), udev.path());
        ASSERT_TRUE(sensor) << sensor.error();
        EXPECT_EQ(sensor->nearLevel(), c.level);
        EXPECT_EQ(sensor->nearLevelSource(), c.source);
        for (double raw : {c.level - 1, c.level}) {
            put(d + "/in_proximity_raw", std::to_string(static_cast<int>(raw)) + "\n");
            EXPECT_EQ(*sensor->near(), raw >= c.level) << raw;
        }
        put(d + "/in_proximity_raw", "busy\n");
        EXPECT_EQ(sensor->near().error(), d + "/in_proximity_raw: not a number: 'busy'");
    }
    ScratchDir empty;
    EXPECT_EQ(phoned::ProximitySensor::find(empty.path()).error(),
              "no proximity sensor under " + empty.path());
}

// The sensor's pace, on the virtual clock: a reading at the start and every 50 ms after, so a
// quick 0.3 s wave is seen from start to end; none once stopped; no burst after a stall.
TEST(ProximityPoller, ReadsAtThePaceOfAHandOnlyWhileStarted) {
    auto& clock = platform::useVirtualClock();
    auto& loop = platform::RunLoop::main();
    loop.reset();
    const double t0 = clock.now();
    bool covered = false;
    std::vector<double> reads;
    std::vector<std::pair<double, bool>> changes;
    phoned::ProximityPoller poller(
        [&]() -> platform::Result<bool> {
            reads.push_back(clock.now() - t0);
            if (reads.size() == 60) clock.set(clock.now() + 0.5);  // the machine stalls
            if (reads.size() >= 60) return platform::Failure{"in_proximity_raw: cannot read"};
            return covered;
        },
        [&](const platform::Result<bool>& near) {
            if (near && (changes.empty() || changes.back().second != *near))
                changes.emplace_back(clock.now() - t0, *near);
        });
    poller.start();
    EXPECT_EQ(reads, std::vector<double>{0}) << "the first reading at once";
    loop.schedule(1.02, [&] { covered = true; });
    loop.schedule(1.32, [&] { covered = false; });
    loop.advance(4.0);
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_NEAR(changes[1].first, 1.02, 0.05);
    EXPECT_NEAR(changes[2].first - changes[1].first, 0.3, 0.05);
    int stalls = 0;
    for (size_t i = 1; i < reads.size(); ++i) {
        EXPECT_GE(reads[i] - reads[i - 1], 0.049) << "no burst of readings, reading " << i;
        stalls += reads[i] - reads[i - 1] > 0.051;
    }
    EXPECT_EQ(stalls, 1) << "every 50 ms but across the stall, failing readings too";
    poller.stop();
    EXPECT_EQ(loop.pendingCount(), 0u);
    const size_t before = reads.size();
    loop.advance(2.0);
    EXPECT_EQ(reads.size(), before) << "nothing is read once stopped";
}

// A signal that interrupts the round trip of adding a rule (SIGTERM, the tweak's SIGINT) is not a
// lost bus: the daemon would stop with an error instead of going on or stopping cleanly.
TEST(Connection, ASignalWhileAddingARuleIsNotALostBus) {
    ScratchDir dir;
    auto bus = sim::PrivateBus::start(dir.path());
    ASSERT_TRUE(bus) << bus.error();
    ::setenv("DBUS_SESSION_BUS_ADDRESS", (*bus)->address().c_str(), 1);
    auto opened = phoned::Connection::open(phoned::Connection::Kind::Session);
    ASSERT_TRUE(opened) << opened.error();
    phoned::Connection& connection = **opened;
    std::string reason;
    connection.setDisconnectHandler([&](const std::string& r) { reason = r; });
    std::vector<std::unique_ptr<phoned::Connection::Match>> matches;
    {
        testing_support::SignalStorm signals;
        for (int i = 0; i < 300; ++i)
            matches.push_back(connection.match({.path = "/org/orvella/Test",
                                                .interface = "org.orvella.Test",
                                                .member = "Signal" + std::to_string(i)},
                                               [](sd_bus_message*) {}));
    }
    platform::RunLoop::main().runDue();
    EXPECT_EQ(reason, "");
}

TEST(SoundServer, OnlyAWiredHeadphoneJackInUseCounts) {
    using phoned::wiredHeadphonesPort;
    // pa_device_port_type_t: 0 unknown, 3 headphones, 4 speaker, 6 headset;
    // pa_port_available_t: 0 unknown, 1 no, 2 yes.
    EXPECT_TRUE(wiredHeadphonesPort("analog-output-headphones", 3, 2, false));
    EXPECT_TRUE(wiredHeadphonesPort("[Out] Headset", 6, 0, false));
    EXPECT_TRUE(wiredHeadphonesPort("[Out] Headphones", 0, 0, false)) << "untyped, named";
    EXPECT_FALSE(wiredHeadphonesPort("analog-output-headphones", 3, 1, false)) << "unplugged";
    EXPECT_FALSE(wiredHeadphonesPort("[Out] Speaker", 4, 2, false));
    EXPECT_FALSE(wiredHeadphonesPort("[Out] Earpiece", 0, 2, false));
    EXPECT_FALSE(wiredHeadphonesPort("headset-output", 6, 2, true)) << "Bluetooth is not wired";
}

TEST(Home, LanguagesComeFromTheLocaleAsLanguageCodes) {
    auto with = [](const char* language, const char* all, const char* messages, const char* lang) {
        auto set = [](const char* name, const char* v) {
            if (v)
                ::setenv(name, v, 1);
            else
                ::unsetenv(name);
        };
        set("LANGUAGE", language);
        set("LC_ALL", all);
        set("LC_MESSAGES", messages);
        set("LANG", lang);
        return phoned::userLanguages();
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(with(nullptr, nullptr, nullptr, "nl_NL.UTF-8"), V{"nl"});
    EXPECT_EQ(with(nullptr, nullptr, nullptr, "nl_BE.UTF-8@euro"), V{"nl"});
    EXPECT_EQ(with("de:nl", nullptr, nullptr, "en_GB.UTF-8"), (V{"de", "nl", "en"}));
    EXPECT_EQ(with(nullptr, "en_US.UTF-8", "nl_NL.UTF-8", "nl_NL.UTF-8"), V{"en"});
    EXPECT_EQ(with(nullptr, nullptr, "nl_NL.UTF-8", "en_US.UTF-8"), V{"nl"});
    EXPECT_EQ(with("nl", nullptr, nullptr, "C"), V{"en"}) << "LANGUAGE needs a locale";
    EXPECT_EQ(with(nullptr, nullptr, nullptr, nullptr), V{"en"});
}

TEST(Home, DeviceRootUnderTheUsersDataDirectory) {
    ::setenv("XDG_DATA_HOME", "/data/of/user", 1);
    EXPECT_EQ(*phoned::deviceRootDirectory(), "/data/of/user/orvella");
    ::setenv("XDG_DATA_HOME", "relative/ignored", 1);
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(*phoned::deviceRootDirectory(), "/home/someone/.local/share/orvella");
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("HOME");
    EXPECT_FALSE(phoned::deviceRootDirectory());
}

TEST(Home, InstallingReplacesChangedFilesByRenameAndKeepsTheUsersOwn) {
    ScratchDir package, root;
    const std::string lib = "Library/MobileSubstrate/DynamicLibraries/";
    put(package.file(lib + "Orvella.plist"), "filter");
    put(package.file(lib + "Orvella.dylib"), "new code");
    put(root.file(lib + "Orvella.dylib"), "old code");
    put(root.file("var/mobile/Library/Preferences/com.brelkin.Orvella.plist"), "mine");
    struct stat before {};
    ::stat(root.file(lib + "Orvella.dylib").c_str(), &before);

    ASSERT_TRUE(phoned::installPackage(package.path(), root.path()));
    EXPECT_EQ(slurp(root.file(lib + "Orvella.dylib")), "new code");
    EXPECT_EQ(slurp(root.file(lib + "Orvella.plist")), "filter");
    EXPECT_EQ(slurp(root.file("var/mobile/Library/Preferences/com.brelkin.Orvella.plist")), "mine");
    struct stat after {};
    ::stat(root.file(lib + "Orvella.dylib").c_str(), &after);
    EXPECT_NE(before.st_ino, after.st_ino) << "a loaded library is never rewritten in place";

    // The same again changes nothing.
    ASSERT_TRUE(phoned::installPackage(package.path(), root.path()));
    struct stat again {};
    ::stat(root.file(lib + "Orvella.dylib").c_str(), &again);
    EXPECT_EQ(after.st_ino, again.st_ino);

    EXPECT_FALSE(phoned::findPackage(root.file("nothing-here")));
    EXPECT_TRUE(phoned::findPackage(package.path()));
}

// The hooks the adapters hang on: a measured pose that may be missing, and a word when
// proximity monitoring actually changes.
TEST(PlatformHooks, PoseSourceIsAskedAtEachSampleAndAMissingReadingSkipsIt) {
    auto& model = platform::DeviceModel::shared();
    model.reset();
    platform::useVirtualClock();
    platform::RunLoop::main().reset();
    platform::registerDeviceClasses();
    platform::registerSpringBoardServiceClasses();
    int asked = 0;
    std::optional<platform::Pose> next;
    model.setPoseSource([&] {
        ++asked;
        return next;
    });
    static std::vector<float> seen;
    seen.clear();
    objc::Class delegateClass =
        objc::registerCxxClass<objc::NSObject>("PoseHookDelegate", objc::NSObject::cls());
    objc::addMethod(
        delegateClass, SEL_("accelerometer:didAccelerateWithTimeStamp:x:y:z:eventType:"),
        +[](objc::id, objc::SEL, objc::id, double, float, float, float z, int32_t) {
            seen.push_back(z);
        });
    objc::id delegate = objc::allocInit(delegateClass);
    objc::id accel = objc::allocInit(objc::NSClassFromString("SBSAccelerometer"));
    objc::msgSend(accel, SEL_("setUpdateInterval:"), 0.8);
    objc::msgSend(accel, SEL_("setDelegate:"), delegate);
    platform::RunLoop::main().advance(3);
    EXPECT_EQ(asked, 0) << "nothing is read while events are off";
    objc::msgSend(accel, SEL_("setAccelerometerEventsEnabled:"), true);
    platform::RunLoop::main().advance(0.8);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(seen.empty()) << "no reading, no sample";
    next = platform::Pose{0, 0, -1};
    platform::RunLoop::main().advance(1.6);
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(seen, (std::vector<float>{-1, -1}));
    objc::msgSend(accel, SEL_("setAccelerometerEventsEnabled:"), false);
    platform::RunLoop::main().advance(5);
    EXPECT_EQ(asked, 3);
    objc::objc_release(accel);
    objc::objc_release(delegate);
}

TEST(PlatformHooks, ProximityMonitoringHandlerHearsOnlyRealChanges) {
    auto& model = platform::DeviceModel::shared();
    model.reset();
    platform::registerDeviceClasses();
    std::vector<bool> heard;
    model.setProximityMonitoringHandler([&](bool on) { heard.push_back(on); });
    objc::id device =
        objc::msgSend<objc::id>(objc::NSClassFromString("UIDevice"), SEL_("currentDevice"));
    objc::msgSend(device, SEL_("setProximityMonitoringEnabled:"), false);
    objc::msgSend(device, SEL_("setProximityMonitoringEnabled:"), true);
    objc::msgSend(device, SEL_("setProximityMonitoringEnabled:"), true);
    objc::msgSend(device, SEL_("setProximityMonitoringEnabled:"), false);
    objc::msgSend(device, SEL_("setProximityMonitoringEnabled:"), false);
    EXPECT_EQ(heard, (std::vector<bool>{true, false}));
}
