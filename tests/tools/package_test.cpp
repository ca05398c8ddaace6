// The package a phone's package manager installs, and the programs `cmake --install` installs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "test_support.h"

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::ScratchDir;

namespace {

struct Output {
    int status = -1;
    std::string text;
};

Output capture(const std::string& command) {
    Output o;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return o;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) o.text.append(buf, n);
    const int rc = ::pclose(p);
    o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return o;
}

std::string quoted(const std::string& s) { return "'" + s + "'"; }

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

// Regular files below a folder, by path relative to it.
std::map<std::string, std::string> filesBelow(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) files[fs::relative(e.path(), dir).string()] = e.path().string();
    return files;
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
    }
}

TEST(Install, PutsTheProgramsTheirLibraryAndThePackageUnderThePrefix) {
    ScratchDir prefix;
    const Output install = capture("cmake --install " + quoted(ORVELLA_BUILD_DIR) + " --prefix " +
                                   quoted(prefix.path()));
    ASSERT_EQ(install.status, 0) << install.text;
    auto executable = [&](const std::string& rel) {
        struct stat st {};
        return ::stat(prefix.file(rel).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
               (st.st_mode & S_IXUSR);
    };
    for (const char* program :
         {"bin/orvella-sim", "bin/orvella-phoned", "libexec/orvella/springboard",
          "libexec/orvella/mobilephone", "libexec/orvella/preferences"}) {
        EXPECT_TRUE(executable(program)) << program << "\n" << install.text;
    }
    const auto staged = filesBelow(ORVELLA_PACKAGE_DIR);
    const auto installed = filesBelow(prefix.file("share/orvella/package"));
    for (const auto& [rel, path] : staged) EXPECT_TRUE(installed.count(rel)) << rel;
    EXPECT_EQ(installed.size(), staged.size());
    EXPECT_TRUE(fs::is_regular_file(
        prefix.file("share/orvella/" + fs::path(ORVELLA_DEB).filename().string())));
    // The installed simulator finds its hosts and the installed package, and plays a whole call.
    const Output played = capture(quoted(prefix.file("bin/orvella-sim")));
    EXPECT_EQ(played.status, 0) << played.text;
    EXPECT_NE(played.text.find("ok     line 9: expect answered at wave 2"), std::string::npos)
        << played.text;
    // The installed programs find the platform library through their run path, not the build's.
    const fs::path lib = fs::canonical(prefix.path()) / "lib";
    for (const char* program : {"bin/orvella-sim", "libexec/orvella/springboard"}) {
        const Output ldd = capture("env -u LD_LIBRARY_PATH ldd " + quoted(prefix.file(program)));
        const auto at = ldd.text.find("libplatform.so => ");
        ASSERT_NE(at, std::string::npos) << program << ":\n" << ldd.text;
        const auto from = at + std::string("libplatform.so => ").size();
        const fs::path found =
            fs::weakly_canonical(ldd.text.substr(from, ldd.text.find(' ', from) - from));
        EXPECT_EQ(found.string().rfind(lib.string(), 0), 0u) << program << ":\n" << ldd.text;
    }
}
