#include "platform/files/device_root.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/core/warn.h"

namespace platform::device {

namespace fs = std::filesystem;

namespace {

struct State {
    std::string root;
    std::string cwd = "/";
};

State& state() {
    static State* s = new State();
    return *s;
}

constexpr std::string_view kUserLinkTarget = "var/mobile";

bool prepare(const std::string& dir) {
    std::error_code ec;
    fs::create_directories(fs::path(dir) / "var" / "mobile" / "Library" / "Preferences", ec);
    if (ec) return false;
    fs::path link = fs::path(dir) / "User";
    if (!fs::is_symlink(link, ec) && !fs::exists(link, ec)) {
        fs::create_directory_symlink(kUserLinkTarget, link, ec);
        // Several processes may prepare one root at once; the link made by another is as good.
        if (ec && !fs::is_symlink(link, ec)) return false;
    }
    if (!fs::is_symlink(link, ec) || fs::read_symlink(link, ec) != kUserLinkTarget) {
        warn("device", link.string() + " is not the link to " + std::string(kUserLinkTarget) +
                           "; /User paths reach /var/mobile all the same");
    }
    return true;
}

void ensureRoot() {
    State& s = state();
    if (!s.root.empty()) return;
    if (const char* env = std::getenv("PHONE_DEVICE_ROOT"); env != nullptr && *env != '\0') {
        if (setRoot(env)) return;
    }
    std::string tmpl = (fs::temp_directory_path() / "phone-root-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) != nullptr && setRoot(tmpl)) return;
    s.root = "/nonexistent-device-root";  // nothing will resolve to a real file
}

// Lexically normalises a device path: no ".", no "..", no empty parts. ".." at the top stays
// at the top.
std::string normalise(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        std::string_view part = path.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string out;
    for (auto p : parts) {
        out += '/';
        out += p;
    }
    return out.empty() ? "/" : out;
}

}  // namespace

bool setRoot(const std::string& hostDir) {
    if (hostDir.empty() || !prepare(hostDir)) return false;
    std::error_code ec;
    fs::path abs = fs::absolute(hostDir, ec);
    state().root = ec ? hostDir : abs.lexically_normal().string();
    while (state().root.size() > 1 && state().root.back() == '/') state().root.pop_back();
    return true;
}

const std::string& root() {
    ensureRoot();
    return state().root;
}

void setWorkingDirectory(std::string devicePath) { state().cwd = normalise(devicePath); }
const std::string& workingDirectory() { return state().cwd; }

std::string resolve(std::string_view devicePath) {
    ensureRoot();
    std::string full = !devicePath.empty() && devicePath.front() == '/'
                           ? std::string(devicePath)
                           : state().cwd + "/" + std::string(devicePath);
    std::string norm = normalise(full);
    if (norm == "/User" || norm.starts_with("/User/")) norm = "/var/mobile" + norm.substr(5);
    return norm == "/" ? state().root : state().root + norm;
}

std::optional<std::string> relativeToRoot(std::string_view hostPath) {
    const std::string& root = state().root;
    if (root.empty() || !hostPath.starts_with(root)) return std::nullopt;
    std::string_view rest = hostPath.substr(root.size());
    if (root == "/") return std::string(rest);
    if (!rest.empty() && rest.front() != '/') return std::nullopt;  // "/rootx" is not in "/root"
    while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
    return std::string(rest);
}

std::string appendPathComponent(std::string_view base, std::string_view component) {
    std::string out(base);
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    while (!component.empty() && component.front() == '/') component.remove_prefix(1);
    if (out.empty()) return std::string(component);
    if (out != "/") out += '/';
    out += component;
    return out;
}

}  // namespace platform::device
