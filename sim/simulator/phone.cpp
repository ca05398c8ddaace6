#include "phone.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/files/device_root.h"
#include "platform/files/files.h"

namespace fs = std::filesystem;

namespace sim {

using platform::Failure;

namespace {

std::string number(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// "PID STARTTIME": the process and when it started (field 22 of /proc/PID/stat), so a process
// id used again by another process is not taken for the owner. Empty when there is no such
// process.
std::string processIdentity(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) return "";
    const auto close = stat.rfind(')');  // the command name may hold blanks and parentheses
    if (close == std::string::npos) return "";
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
        if (i == 22) return std::to_string(pid) + " " + field;
    }
    return "";
}

// Removes the runtime directories of simulators that were killed before they could.
void sweepStaleRuntimeDirectories() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path(), ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("orvella-sim-", 0) != 0 || !entry.is_directory(ec)) continue;
        std::ifstream owner(entry.path() / "owner");
        std::string identity;
        if (!std::getline(owner, identity)) continue;  // not ours, or still being made
        const pid_t pid = static_cast<pid_t>(std::atol(identity.c_str()));
        if (pid <= 0 || processIdentity(pid) == identity) continue;
        // Only folders this user owns: a shared /tmp holds other people's too.
        struct stat st {};
        if (::stat(entry.path().c_str(), &st) != 0 || st.st_uid != ::getuid()) continue;
        fs::remove_all(entry.path(), ec);
    }
}

}  // namespace

std::optional<std::string> Phone::hostOf(int64_t pid) const {
    for (const auto& [name, p] : hosts_)
        if (p > 0 && p == pid) return name;
    return std::nullopt;
}

platform::Result<std::unique_ptr<Phone>> Phone::start(const PhoneSetup& setup) {
    std::unique_ptr<Phone> phone(new Phone());
    phone->setup_ = setup;
    sweepStaleRuntimeDirectories();
    std::string dir = (fs::temp_directory_path() / "orvella-sim-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr)
        return Failure{"cannot make a runtime directory in " + fs::temp_directory_path().string() +
                       ": " + std::strerror(errno)};
    phone->runtimeDir_ = dir;
    std::ofstream(dir + "/owner") << processIdentity(::getpid()) << "\n";
    phone->root_ = setup.root.empty() ? dir + "/root" : setup.root;
    std::error_code ec;
    fs::create_directories(phone->root_, ec);
    if (!platform::device::setRoot(phone->root_))
        return Failure{"cannot use " + phone->root_ + " as the device root"};
    if (!fs::is_directory(setup.package, ec))
        return Failure{"no package at " + setup.package + " (build it first: ./run sim)"};
    // Beneath the root: a link in an existing root never leads the copy out of it.
    if (auto copied = platform::files::copyTree(setup.package, phone->root_); !copied)
        return Failure{"cannot install the package into " + phone->root_ + ": " + copied.error()};
    auto daemon = PrivateBus::start(dir);
    if (!daemon) return Failure{daemon.error()};
    phone->daemon_ = std::move(*daemon);
    auto bus = platform::Bus::open(phone->daemon_->address());
    if (!bus) return Failure{bus.error()};
    phone->bus_ = std::move(*bus);
    return phone;
}

void Phone::startHosts(const std::vector<std::string>& clockArgs, bool fixedAddresses) {
    for (const std::string& host : kHostNames) {
        std::vector<std::string> args = {setup_.hostDir + "/" + host,
                                         "--bus",
                                         address(),
                                         "--root",
                                         root_,
                                         "--simulator",
                                         bus_->uniqueName(),
                                         "--screen-height",
                                         number(setup_.screenHeight),
                                         "--language",
                                         setup_.language};
        args.insert(args.end(), clockArgs.begin(), clockArgs.end());
        if (!setup_.screenshots.empty()) {
            args.push_back("--screenshots");
            args.push_back(setup_.screenshots);
        }
        SpawnOptions spawn;
        spawn.fixedAddresses = fixedAddresses;
        hosts_.emplace_back(host, spawnProcess(args, spawn));
    }
}

std::optional<std::string> Phone::endedHost() {
    if (ended_) return ended_;
    for (auto& [name, pid] : hosts_) {
        if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            ended_ = name;
            return ended_;
        }
    }
    return std::nullopt;
}

Phone::~Phone() {
    std::vector<pid_t> pids;
    for (const auto& [name, pid] : hosts_) pids.push_back(pid);
    stopProcesses(pids);
    bus_.reset();
    daemon_.reset();
    std::error_code ec;
    if (!runtimeDir_.empty()) fs::remove_all(runtimeDir_, ec);
}

}  // namespace sim
