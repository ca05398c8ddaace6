#include "private_bus.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sim {

pid_t spawnProcess(const std::vector<std::string>& args, int stdoutFd, int stderrFd) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        if (stdoutFd >= 0) ::dup2(stdoutFd, STDOUT_FILENO);
        if (stderrFd >= 0) ::dup2(stderrFd, STDERR_FILENO);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", argv[0], std::strerror(errno));
        std::_Exit(127);
    }
    return pid;
}

void stopProcess(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
        ::usleep(10000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

PrivateBus::PrivateBus(const std::string& runtimeDir) {
    std::string daemon;
    for (const char* c : {"/usr/bin/dbus-daemon", "/bin/dbus-daemon"})
        if (::access(c, X_OK) == 0) daemon = c;
    if (daemon.empty()) {
        error_ = "dbus-daemon is not installed (Debian package dbus-daemon)";
        return;
    }
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
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error_ = "cannot make a pipe";
        return;
    }
    // The daemon's own complaints go to a file, shown only when it fails to start.
    const std::string log = runtimeDir + "/dbus-daemon.log";
    const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_ = spawnProcess(
        {daemon, "--config-file=" + config, "--nofork", "--nopidfile", "--print-address=1"}, out[1],
        logFd);
    ::close(out[1]);
    if (logFd >= 0) ::close(logFd);
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') address_ += c;
    ::close(out[0]);
    if (address_.empty()) {
        std::stringstream ss;
        ss << std::ifstream(log).rdbuf();
        error_ = "dbus-daemon did not start: " + ss.str();
    }
}

PrivateBus::~PrivateBus() { stopProcess(pid_); }

}  // namespace sim
