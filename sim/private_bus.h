// A private dbus-daemon for one phone: its own configuration and socket in a runtime
// directory, no system or session bus touched. Used by the simulator, its tests and benchmarks.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace sim {

// Starts a program with the given arguments; its standard output and error go to the given
// descriptors when they are not -1.
pid_t spawnProcess(const std::vector<std::string>& args, int stdoutFd = -1, int stderrFd = -1);
// SIGTERM, then SIGKILL after two seconds; reaps it.
void stopProcess(pid_t pid);

class PrivateBus {
  public:
    // Starts the daemon with its socket in runtimeDir. address() is empty when it failed, and
    // error() says why (including what the daemon printed).
    explicit PrivateBus(const std::string& runtimeDir);
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& address() const { return address_; }
    const std::string& error() const { return error_; }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    std::string address_;
    std::string error_;
};

}  // namespace sim
