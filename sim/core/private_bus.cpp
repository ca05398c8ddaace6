#include "private_bus.h"

#include <fcntl.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/core/warn.h"

namespace sim {

using platform::Failure;

pid_t spawnProcess(const std::vector<std::string>& args, const SpawnOptions& options) {
    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        ::signal(SIGCHLD, SIG_DFL);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) std::_Exit(127);  // the parent is already gone
        if (options.fixedAddresses) {
            const int current = ::personality(0xffffffff);
            if (current != -1)
                ::personality(static_cast<unsigned long>(current) | ADDR_NO_RANDOMIZE);
        }
        if (options.stdoutFd >= 0) ::dup2(options.stdoutFd, STDOUT_FILENO);
        if (options.stderrFd >= 0) ::dup2(options.stderrFd, STDERR_FILENO);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        platform::warn("orvella-sim", "cannot run " + args[0] + ": " + std::strerror(errno));
        std::_Exit(127);
    }
    return pid;
}

void stopProcesses(std::vector<pid_t> pids) {
    for (pid_t pid : pids) {
        if (pid <= 0) continue;
        ::kill(pid, SIGTERM);
        ::kill(pid, SIGCONT);  // a stopped process only sees the SIGTERM once it runs again
    }
    for (int i = 0; i < 2000; ++i) {
        bool left = false;
        for (pid_t& pid : pids) {
            if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == pid) pid = -1;
            left = left || pid > 0;
        }
        if (!left) return;
        ::usleep(1000);
    }
    for (pid_t pid : pids) {
        if (pid <= 0) continue;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

void stopProcess(pid_t pid) { stopProcesses({pid}); }

platform::Result<std::unique_ptr<PrivateBus>> PrivateBus::start(const std::string& runtimeDir) {
    std::string daemon;
    for (const char* c : {"/usr/bin/dbus-daemon", "/bin/dbus-daemon"})
        if (::access(c, X_OK) == 0) daemon = c;
    if (daemon.empty()) return Failure{"dbus-daemon is not installed (Debian package dbus-daemon)"};
    const std::string config = runtimeDir + "/bus.conf";
    std::ofstream(config)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n  <type>session</type>\n"
        << "  <listen>unix:path=" << runtimeDir << "/bus</listen>\n"
        << "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n"
           "  </policy>\n</busconfig>\n";
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return Failure{"cannot make a pipe"};
    // The daemon's own complaints go to a file, shown only when it fails to start.
    const std::string log = runtimeDir + "/dbus-daemon.log";
    const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::unique_ptr<PrivateBus> bus(new PrivateBus());
    bus->pid_ = spawnProcess(
        {daemon, "--config-file=" + config, "--nofork", "--nopidfile", "--print-address=1"},
        SpawnOptions{out[1], logFd});
    ::close(out[1]);
    if (logFd >= 0) ::close(logFd);
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') bus->address_ += c;
    ::close(out[0]);
    if (bus->address_.empty()) {
        std::stringstream ss;
        ss << std::ifstream(log).rdbuf();
        return Failure{"dbus-daemon did not start: " + ss.str()};
    }
    return bus;
}

PrivateBus::~PrivateBus() { stopProcess(pid_); }

}  // namespace sim
