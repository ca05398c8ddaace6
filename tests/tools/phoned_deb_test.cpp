// orvella-phoned's .deb for Debian-based Linux phones, as built here for this machine: what it
// holds, and the daemon installed from it by dpkg into a scratch root answering a whole call.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "test_support.h"
#include "tool_support.h"

namespace fs = std::filesystem;
using testing_support::ScratchDir;
using tool_support::capture;
using tool_support::filesBelow;
using tool_support::Output;
using tool_support::quoted;

namespace {

const std::string kDeb = ORVELLA_PHONED_DEB;
const std::string kPrivate = std::string("usr/lib/") + ORVELLA_TRIPLET + "/orvella";

std::string field(const std::string& name) {
    Output o = capture("dpkg-deb --field " + quoted(kDeb) + " " + name);
    while (!o.text.empty() && o.text.back() == '\n') o.text.pop_back();
    return o.text;
}

// Unpacked by dpkg itself into a scratch root with an admin folder of its own, as a phone's
// package manager would install it: what a root install does, without root (--force-not-root)
// and without the libraries it depends on being listed in that scratch database
// (--force-depends: they are this machine's; DependsAreMetOnThisMachine checks them).
class PhonedDeb : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        root_ = std::make_unique<ScratchDir>();
        const std::string admin = root_->file("var/lib/dpkg");
        fs::create_directories(admin + "/info");
        fs::create_directories(admin + "/updates");
        testing_support::writeFile(admin + "/status", "");
        installed_ = capture(
            "env PATH=/usr/sbin:/usr/bin:/sbin:/bin dpkg --force-not-root "
            "--force-depends --root=" +
            quoted(root_->path()) + " --install " + quoted(kDeb));
    }
    static void TearDownTestSuite() { root_.reset(); }

    void SetUp() override { ASSERT_EQ(installed_.status, 0) << installed_.text; }

    static std::string at(const std::string& rel) { return root_->file(rel); }

    // One case of the Python suites in tests/phoned, with the installed daemon and package tree;
    // what the suite leaves in its temporary folder goes with the scratch folder.
    static void expectCaseAnswers(const std::string& pythonCase) {
        ScratchDir tmp;
        const Output call = capture(
            "cd " + quoted(ORVELLA_PHONED_TESTS) + " && env TMPDIR=" + quoted(tmp.path()) +
            " PYTHONDONTWRITEBYTECODE=1 ORVELLA_PHONED=" + quoted(at("usr/bin/orvella-phoned")) +
            " ORVELLA_PACKAGE=" + quoted(at(kPrivate + "/package")) +
            " /usr/bin/python3 -m unittest -v " + pythonCase);
        EXPECT_EQ(call.status, 0) << call.text;
        EXPECT_NE(call.text.find("\nOK"), std::string::npos) << call.text;
    }

    static std::unique_ptr<ScratchDir> root_;
    static Output installed_;
};

std::unique_ptr<ScratchDir> PhonedDeb::root_;
Output PhonedDeb::installed_;

}  // namespace

TEST_F(PhonedDeb, DependsAreMetOnThisMachineAndNameTheServicesItUses) {
    EXPECT_EQ(field("Package"), "orvella-phoned");
    EXPECT_EQ(field("Version"), ORVELLA_VERSION);
    EXPECT_EQ(field("Architecture") + "\n", capture("dpkg --print-architecture").text);
    EXPECT_EQ(field("Recommends"), "modemmanager, iio-sensor-proxy");
    // dpkg-shlibdeps' answer: the libraries the binaries load, each satisfied here.
    const std::string depends = field("Depends");
    for (const char* library : {"libc6", "libplist3", "libsystemd0", "libpulse0", "libpng16-16"})
        EXPECT_NE(depends.find(std::string(library) + " ("), std::string::npos) << depends;
    std::istringstream each(depends);
    std::string one;
    while (std::getline(each >> std::ws, one, ',')) {
        const std::string name = one.substr(0, one.find(' ')) + ":" + field("Architecture");
        const Output have = capture("dpkg-query -W -f='${Version}' " + quoted(name));
        ASSERT_EQ(have.status, 0) << name << " is not installed: " << have.text;
        const auto open = one.find("(>= ");
        if (open == std::string::npos) continue;  // any version
        const std::string wanted = one.substr(open + 4, one.find(')') - open - 4);
        EXPECT_EQ(capture("dpkg --compare-versions " + quoted(have.text) + " ge " + quoted(wanted))
                      .status,
                  0)
            << name << " " << have.text << " is older than " << wanted;
    }
}

TEST_F(PhonedDeb, HoldsTheDaemonItsLibraryPackageUnitAndDocsStrippedWithoutBuildPaths) {
    const auto files = filesBelow(root_->path());
    std::set<std::string> expected = {"usr/bin/orvella-phoned",
                                      kPrivate + "/libplatform.so",
                                      "usr/lib/systemd/user/orvella-phoned.service",
                                      "usr/share/doc/orvella-phoned/copyright",
                                      "usr/share/doc/orvella-phoned/changelog.gz",
                                      "usr/share/doc/orvella-phoned/linux-phone.md",
                                      "usr/share/man/man1/orvella-phoned.1.gz"};
    for (const auto& [rel, path] : filesBelow(ORVELLA_PACKAGE_DIR))
        expected.insert(kPrivate + "/package/" + rel);
    for (const auto& [rel, path] : files) {
        if (rel.rfind("var/lib/dpkg/", 0) == 0) continue;
        EXPECT_TRUE(expected.count(rel)) << "stray " << rel;
        // Sanitized builds keep source paths for their reports (and asserts): not a package to
        // ship, though it is built and installed the same way.
        const std::string bytes = testing_support::readFile(path);
        if (!ORVELLA_SANITIZED) {
            for (const char* build : {ORVELLA_BUILD_DIR, ORVELLA_SOURCE_DIR})
                EXPECT_EQ(bytes.find(build), std::string::npos) << rel << " names " << build;
        }
        if (!tool_support::isElf(path)) continue;
        const Output sections = capture("readelf -S " + quoted(path));
        EXPECT_EQ(sections.text.find(".symtab"), std::string::npos) << rel << " is not stripped";
        EXPECT_EQ(sections.text.find(".debug_"), std::string::npos) << rel << " has debug info";
        const auto runPaths = tool_support::runPaths(path);
        if (rel == "usr/bin/orvella-phoned") {
            EXPECT_EQ(runPaths,
                      std::vector<std::string>{"$ORIGIN/../lib/" ORVELLA_TRIPLET "/orvella"});
        } else {
            EXPECT_EQ(runPaths, std::vector<std::string>{}) << rel;
        }
    }
    for (const auto& rel : expected) EXPECT_TRUE(files.count(rel)) << rel << " missing";
    const std::string unit =
        testing_support::readFile(at("usr/lib/systemd/user/orvella-phoned.service"));
    EXPECT_NE(unit.find("\nExecStart=/usr/bin/orvella-phoned\n"), std::string::npos) << unit;
    // The manual page names every option the daemon's --help does (as roff writes a '-').
    const Output help = capture(quoted(at("usr/bin/orvella-phoned")) + " --help");
    const Output page = capture("zcat " + quoted(at("usr/share/man/man1/orvella-phoned.1.gz")));
    ASSERT_EQ(page.status, 0) << page.text;
    const std::regex option("--[a-z][a-z-]*");
    int options = 0;
    for (std::sregex_iterator i(help.text.begin(), help.text.end(), option), end; i != end; ++i) {
        ++options;
        const std::string roff = std::regex_replace(i->str(), std::regex("-"), "\\-");
        EXPECT_NE(page.text.find(roff), std::string::npos) << i->str() << " is not in the page";
    }
    EXPECT_GE(options, 10) << help.text;
    // dpkg checks every file against the package's md5sums.
    const Output verified =
        capture("dpkg --root=" + quoted(root_->path()) + " --verify orvella-phoned");
    EXPECT_EQ(verified.status, 0) << verified.text;
    EXPECT_EQ(verified.text, "");
}

// Run from the scratch root, the daemon finds its library and package tree there: the help,
// the settings command (which loads the installed settings pane), and a whole call against the
// doubles of a phone's services: two waves answer, the speaker follows.
TEST_F(PhonedDeb, InstalledDaemonShowsItsSettingsAndAnswersACall) {
    const std::string phoned = at("usr/bin/orvella-phoned");
    const Output help = capture(quoted(phoned) + " --help");
    EXPECT_EQ(help.status, 0) << help.text;
    EXPECT_EQ(help.text.rfind("usage: orvella-phoned", 0), 0u) << help.text;

    ScratchDir home;
    const std::string env = "env -u DBUS_SESSION_BUS_ADDRESS HOME=" + quoted(home.path()) +
                            " XDG_DATA_HOME=" + quoted(home.file("data")) + " ";
    const Output changed = capture(env + quoted(phoned) + " settings --locked 3 --speed slow");
    EXPECT_EQ(changed.status, 0) << changed.text;
    const Output shown = capture(env + quoted(phoned) + " settings");
    EXPECT_EQ(shown.status, 0) << shown.text;
    EXPECT_NE(shown.text.find("Wave speed: Slow\nWaves when locked: Three times\n"),
              std::string::npos)
        << shown.text;

    expectCaseAnswers("test_phoned.Calls.test_locked_phone_answered_by_two_waves_then_speaker");
}

// The same against the real services: iio-sensor-proxy, ModemManager with a fake AT modem,
// PulseAudio and callaudiod; a 1 s cover at medium speed answers once.
TEST_F(PhonedDeb, InstalledDaemonAnswersACallThroughTheRealServices) {
    expectCaseAnswers("test_real_services.Calls.test_a_one_second_cover_at_medium_answers_once");
}
