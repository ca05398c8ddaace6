// A private dbus-daemon for one phone: its own configuration and socket in a runtime
// directory, no system or session bus touched. Used by the simulator, its tests and benchmarks.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/core/result.h"

namespace sim {

struct SpawnOptions {
    int stdoutFd = -1;  // where its standard output and error go; -1: where ours go
    int stderrFd = -1;
    // The same memory layout on every run (no address-space randomisation), so what it prints
    // about object addresses repeats. Best effort: where the system refuses, it runs anyway.
    bool fixedAddresses = false;
};

// Starts a program with the given arguments. It gets SIGTERM when the starting process dies.
pid_t spawnProcess(const std::vector<std::string>& args, const SpawnOptions& options = {});
// SIGTERM (and SIGCONT, should it be stopped), then SIGKILL after two seconds; reaps it.
void stopProcess(pid_t pid);
// The same for several at once.
void stopProcesses(std::vector<pid_t> pids);

class PrivateBus {
  public:
    // Starts the daemon with its socket in runtimeDir; the failure says why, including what
    // the daemon printed.
    static platform::Result<std::unique_ptr<PrivateBus>> start(const std::string& runtimeDir);
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& address() const { return address_; }
    pid_t pid() const { return pid_; }

  private:
    PrivateBus() = default;
    pid_t pid_ = -1;
    std::string address_;
};

}  // namespace sim
