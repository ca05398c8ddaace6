#include "phone.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "platform/device.h"
#include "platform/files.h"

namespace fs = std::filesystem;

namespace sim {

using platform::Failure;

namespace {

std::string number(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

}  // namespace

platform::Result<std::unique_ptr<Phone>> Phone::start(const PhoneSetup& setup) {
    std::unique_ptr<Phone> phone(new Phone());
    phone->setup_ = setup;
    std::string dir = (fs::temp_directory_path() / "orvella-sim-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) return Failure{"cannot make a runtime directory"};
    phone->runtimeDir_ = dir;
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
                                         "--screen-height",
                                         number(setup_.screenHeight),
                                         "--language",
                                         setup_.language};
        args.insert(args.end(), clockArgs.begin(), clockArgs.end());
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
