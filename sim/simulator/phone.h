// Starting the phone: a runtime directory, a device root with the package installed, a
// private bus with the simulator's own connection to it, and the three host processes.
// Everything is ended, in reverse order, when the Phone goes.
//
// A simulator killed outright (SIGKILL) cannot clean up: its children end with it (they are
// tied to it by PR_SET_PDEATHSIG), and its runtime directory is removed by the next simulator
// that starts, which sweeps the directories whose owner (named in their "owner" file by process
// id and start time) is gone.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/bus/bus.h"
#include "platform/core/result.h"
#include "private_bus.h"

namespace sim {

// The hosts, in the order of their turns on the simulator's clock.
inline const std::vector<std::string> kHostNames = {"springboard", "mobilephone", "preferences"};

struct PhoneSetup {
    std::string package;  // the staged package tree
    std::string root;     // the device root; empty: one in the runtime directory
    std::string hostDir;  // where the host programs are
    std::string language = "en";
    double screenHeight = 568;
    std::string screenshots;  // where the hosts write pictures of their screens; empty: none
};

class Phone {
  public:
    // Everything but the hosts.
    static platform::Result<std::unique_ptr<Phone>> start(const PhoneSetup& setup);
    ~Phone();
    Phone(const Phone&) = delete;
    Phone& operator=(const Phone&) = delete;

    platform::Bus& bus() { return *bus_; }
    const std::string& address() const { return daemon_->address(); }

    // Starts the hosts with these clock arguments (see host/main.cpp), each told the simulator's
    // connection, the one whose clock, hardware and settings signals it believes.
    void startHosts(const std::vector<std::string>& clockArgs, bool fixedAddresses);
    // The first host found to have ended (it is reaped when found), if any.
    std::optional<std::string> endedHost();
    // The host this process id is, if it is one the phone started.
    std::optional<std::string> hostOf(int64_t pid) const;

  private:
    Phone() = default;
    PhoneSetup setup_;
    std::string runtimeDir_;
    std::string root_;
    std::unique_ptr<PrivateBus> daemon_;
    std::unique_ptr<platform::Bus> bus_;
    std::vector<std::pair<std::string, pid_t>> hosts_;
    std::optional<std::string> ended_;
};

}  // namespace sim
