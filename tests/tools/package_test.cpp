// The package a phone's package manager installs, and the programs `cmake --install` installs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "test_support.h"
#include "tool_support.h"

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::ScratchDir;
using tool_support::capture;
using tool_support::filesBelow;
using tool_support::Output;
using tool_support::quoted;

namespace {

// "Field: value" lines of the control file as `dpkg-deb --info` shows them (indented by one).
std::map<std::string, std::string> controlFields(const std::string& info) {
    std::map<std::string, std::string> fields;
    std::istringstream in(info);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 2 || line[0] != ' ' || line[1] == ' ') continue;
        const auto colon = line.find(": ");
        if (colon == std::string::npos || line.find(' ', 1) < colon) continue;
        fields[line.substr(1, colon - 1)] = line.substr(colon + 2);
    }
    return fields;
}

}  // namespace

TEST(Package, ControlFileNamesThePackageTheWayPhonePackagesDo) {
    const Output info = capture("dpkg-deb --info " + quoted(ORVELLA_DEB));
    ASSERT_EQ(info.status, 0) << info.text;
    auto fields = controlFields(info.text);
    EXPECT_EQ(fields["Package"], "com.brelkin.orvella") << info.text;
    EXPECT_EQ(fields["Name"], "Orvella");
    EXPECT_EQ(fields["Version"], ORVELLA_VERSION);
    EXPECT_EQ(fields["Architecture"], "iphoneos-arm");
    EXPECT_EQ(fields["Section"], "Tweaks");
    EXPECT_EQ(fields["Depends"], "mobilesubstrate, preferenceloader");
    EXPECT_NE(fields["Maintainer"].find('<'), std::string::npos) << "name <address>";
    EXPECT_NE(fields["Author"], "");
    EXPECT_NE(fields["Description"], "");
    // The size the package manager reports before installing: at least the staged bytes.
    std::uintmax_t staged = 0;
    for (const auto& [rel, path] : filesBelow(ORVELLA_PACKAGE_DIR)) staged += fs::file_size(path);
    ASSERT_FALSE(fields["Installed-Size"].empty());
    EXPECT_GE(std::stoull(fields["Installed-Size"]) * 1024, staged);
    EXPECT_LT(std::stoull(fields["Installed-Size"]) * 1024, staged + 64 * 1024);
}

TEST(Package, ContentsAreTheStagedTreeOwnedByRoot) {
    const Output contents = capture("dpkg-deb --contents " + quoted(ORVELLA_DEB));
    ASSERT_EQ(contents.status, 0) << contents.text;
    // Lines as tar lists them: "-rwxr-xr-x root/root 1899456 DATE TIME ./path".
    std::map<std::string, std::string> listed;  // path -> mode and owner
    std::istringstream in(contents.text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string mode, owner, size, date, time, path;
        fields >> mode >> owner >> size >> date >> time >> std::ws;
        std::getline(fields, path);  // the rest: names may hold blanks
        ASSERT_EQ(path.rfind("./", 0), 0u) << line;
        EXPECT_EQ(owner, "root/root") << path;
        if (mode[0] == '-') listed[path.substr(2)] = mode;
    }
    std::set<std::string> expected;
    for (const auto& [rel, p] : filesBelow(ORVELLA_PACKAGE_DIR)) {
        expected.insert(rel);
        EXPECT_TRUE(listed.count(rel)) << rel << " missing from the package:\n" << contents.text;
    }
    for (const auto& [rel, m] : listed) EXPECT_TRUE(expected.count(rel)) << "stray " << rel;
    // What the phone loads, by the paths it loads them from.
    for (const char* must : {"Library/MobileSubstrate/DynamicLibraries/Orvella.dylib",
                             "Library/MobileSubstrate/DynamicLibraries/Orvella.plist",
                             "Library/PreferenceBundles/Orvella_Prefs.bundle/Orvella_Prefs",
                             "Library/PreferenceBundles/Orvella_Prefs.bundle/MainView_iphone.nib",
                             "Library/PreferenceLoader/Preferences/Orvella_Prefs.plist",
                             "Library/Application Support/Orvella/orvellaLogo@2x.png"}) {
        EXPECT_TRUE(listed.count(must)) << must;
    }
    EXPECT_EQ(listed["Library/MobileSubstrate/DynamicLibraries/Orvella.dylib"], "-rwxr-xr-x");
    EXPECT_EQ(listed["Library/MobileSubstrate/DynamicLibraries/Orvella.plist"], "-rw-r--r--");
}

TEST(Package, UnpacksToTheSameBytesAsTheStagedTree) {
    ScratchDir dir;
    const Output x = capture("dpkg-deb -x " + quoted(ORVELLA_DEB) + " " + quoted(dir.path()));
    ASSERT_EQ(x.status, 0) << x.text;
    const auto unpacked = filesBelow(dir.path());
    const auto staged = filesBelow(ORVELLA_PACKAGE_DIR);
    ASSERT_EQ(unpacked.size(), staged.size());
    for (const auto& [rel, path] : staged) {
        auto u = unpacked.find(rel);
        ASSERT_NE(u, unpacked.end()) << rel;
        EXPECT_TRUE(readFile(u->second) == readFile(path))
            << rel << " differs from the staged file";
        // Built here, its run path would name this build tree, which no phone has.
        if (tool_support::isElf(path)) {
            EXPECT_EQ(tool_support::runPaths(u->second), std::vector<std::string>{}) << rel;
        }
    }
}

namespace {

// What `cmake --install --prefix DIR` put under DIR: the programs, the package tree in the
// private library folder, the docs, and no run path that leads out of DIR.
void expectInstalledLayout(const std::string& prefix) {
    auto executable = [&](const std::string& rel) {
        struct stat st {};
        return ::stat((prefix + "/" + rel).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
               (st.st_mode & S_IXUSR);
    };
    for (const char* program :
         {"bin/orvella-sim", "bin/orvella-phoned", "libexec/orvella/springboard",
          "libexec/orvella/mobilephone", "libexec/orvella/preferences"}) {
        EXPECT_TRUE(executable(program)) << program;
    }
    const auto staged = filesBelow(ORVELLA_PACKAGE_DIR);
    const auto installed = filesBelow(prefix + "/" ORVELLA_PRIVATE_LIBDIR "/package");
    for (const auto& [rel, path] : staged) EXPECT_TRUE(installed.count(rel)) << rel;
    EXPECT_EQ(installed.size(), staged.size());
    EXPECT_TRUE(fs::is_regular_file(prefix + "/share/orvella/" +
                                    fs::path(ORVELLA_DEB).filename().string()));
    EXPECT_TRUE(fs::is_regular_file(prefix + "/share/orvella/scenarios/wave-too-slow.scn"));
    // Every interface of the phone's bus, Trace's with its events added from the table.
    for (const char* name :
         {"Darwin", "Distributed", "Hardware", "Modem", "Trace", "Settings", "Host", "Clock"}) {
        const std::string xml =
            readFile(prefix + "/share/dbus-1/interfaces/org.orvella." + name + ".xml");
        EXPECT_NE(xml.find("<interface name=\"org.orvella." + std::string(name) + "\">"),
                  std::string::npos)
            << name;
    }
    const std::string trace = readFile(prefix + "/share/dbus-1/interfaces/org.orvella.Trace.xml");
    for (const char* signal : {"Log", "Events", "ViewAdded", "RecognizerChanged", "WaveTimedOut"})
        EXPECT_NE(trace.find("<signal name=\"" + std::string(signal) + "\">"), std::string::npos)
            << signal;
    for (const auto& [rel, path] : filesBelow(prefix)) {
        if (!tool_support::isElf(path)) continue;
        for (const std::string& runPath : tool_support::runPaths(path))
            EXPECT_EQ(runPath.rfind("$ORIGIN/", 0), 0u) << rel << " looks in " << runPath;
    }
}

// The unit names the program and its docs under the prefix given when installing, escaped as a
// unit file needs (the prefix has a blank).
void expectUnitFor(const std::string& prefix) {
    const std::string unit = readFile(prefix + "/lib/systemd/user/orvella-phoned.service");
    EXPECT_NE(unit.find("\nExecStart=\"" + prefix + "/bin/orvella-phoned\"\n"), std::string::npos)
        << unit;
    std::string uri = "file://" + prefix + "/share/doc/orvella-phoned/linux-phone.md";
    uri.replace(uri.find(' '), 1, "%%20");
    EXPECT_NE(unit.find("\nDocumentation=" + uri + "\n"), std::string::npos) << unit;
    EXPECT_TRUE(fs::is_regular_file(prefix + "/share/doc/orvella-phoned/linux-phone.md"));
}

// Every document the installed simulator's --help names is where it says.
void expectHelpNamesInstalledDocs(const std::string& prefix) {
    const Output help = capture(quoted(prefix + "/bin/orvella-sim") + " --help");
    ASSERT_EQ(help.status, 0) << help.text;
    EXPECT_EQ(help.text.find("docs/"), std::string::npos) << help.text;
    int named = 0;
    const std::string docs = prefix + "/share/doc/orvella-sim/";
    for (size_t at = 0; (at = help.text.find(docs, at)) != std::string::npos; ++named) {
        const size_t end = help.text.find(".md", at) + 3;
        EXPECT_TRUE(fs::is_regular_file(help.text.substr(at, end - at)))
            << help.text.substr(at, end - at);
        at = end;
    }
    EXPECT_GE(named, 2) << help.text;
}

// orvella-phoned finds the package tree under wherever it is now: `settings` installs it into
// the phone's files and shows the pane's choices.
void expectPhonedFindsItsPackage(const std::string& prefix, const ScratchDir& home) {
    const Output shown = capture("env -u DBUS_SESSION_BUS_ADDRESS HOME=" + quoted(home.path()) +
                                 " XDG_DATA_HOME=" + quoted(home.file("data")) + " " +
                                 quoted(prefix + "/bin/orvella-phoned") + " settings");
    EXPECT_EQ(shown.status, 0) << shown.text;
    EXPECT_NE(shown.text.find("Enabled: on"), std::string::npos) << shown.text;
    EXPECT_TRUE(fs::is_regular_file(
        home.file("data/orvella/Library/MobileSubstrate/DynamicLibraries/Orvella.dylib")));
}

}  // namespace

// Installed under a prefix that is not the configured one, and then moved: everything is found
// from where the programs are.
TEST(Install, AnyPrefixWorksWithoutReconfiguring) {
    ScratchDir scratch;
    const std::string prefix = scratch.file("any prefix");
    const Output install =
        capture("cmake --install " + quoted(ORVELLA_BUILD_DIR) + " --prefix " + quoted(prefix));
    ASSERT_EQ(install.status, 0) << install.text;
    expectInstalledLayout(prefix);
    expectUnitFor(prefix);
    expectHelpNamesInstalledDocs(prefix);
    // The installed simulator finds its hosts and the installed package, and plays a whole call;
    // a scenario named alone is one of the installed ones.
    const Output played = capture(quoted(prefix + "/bin/orvella-sim"));
    EXPECT_EQ(played.status, 0) << played.text;
    EXPECT_NE(played.text.find("ok     line 9: expect answered at wave 2"), std::string::npos)
        << played.text;
    const Output named = capture(quoted(prefix + "/bin/orvella-sim") + " wave-too-slow.scn");
    EXPECT_EQ(named.status, 0) << named.text;
    // The installed programs find the platform library through their run path, not the build's.
    const fs::path lib = fs::canonical(prefix) / ORVELLA_PRIVATE_LIBDIR / "libplatform.so";
    for (const char* program : {"bin/orvella-sim", "libexec/orvella/springboard"}) {
        const Output ldd = capture("env -u LD_LIBRARY_PATH ldd " + quoted(prefix + "/" + program));
        const auto at = ldd.text.find("libplatform.so => ");
        ASSERT_NE(at, std::string::npos) << program << ":\n" << ldd.text;
        const auto from = at + std::string("libplatform.so => ").size();
        EXPECT_EQ(fs::weakly_canonical(ldd.text.substr(from, ldd.text.find(" (0x", from) - from)),
                  lib)
            << program << ":\n"
            << ldd.text;
    }
    const std::string moved = scratch.file("moved");
    fs::rename(prefix, moved);
    ScratchDir home;
    expectPhonedFindsItsPackage(moved, home);
    expectHelpNamesInstalledDocs(moved);
}
