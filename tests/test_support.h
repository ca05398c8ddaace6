// Helpers shared by the tests: scratch directories, files, captured log lines.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/loop/log.h"

namespace platform {
// Readable values in test failure messages.
inline void PrintTo(const Value& v, std::ostream* os) { *os << v.description(); }
}  // namespace platform

namespace testing_support {

// A fresh directory removed at the end of the test.
class ScratchDir {
  public:
    ScratchDir() {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "orvella-test-XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data());
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// While alive, interrupts the thread that made it with SIGUSR1 every few microseconds, handled
// by a handler that does nothing, without SA_RESTART (as a daemon's SIGTERM handler is): a
// blocking call the thread makes meanwhile sees EINTR.
class SignalStorm {
  public:
    SignalStorm() : target_(::pthread_self()) {
        struct sigaction quiet {};
        quiet.sa_handler = [](int) {};
        ::sigaction(SIGUSR1, &quiet, &before_);
        thread_ = std::thread([this] {
            while (!done_) {
                ::pthread_kill(target_, SIGUSR1);
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
        });
    }
    ~SignalStorm() {
        done_ = true;
        thread_.join();
        ::sigaction(SIGUSR1, &before_, nullptr);
    }
    SignalStorm(const SignalStorm&) = delete;
    SignalStorm& operator=(const SignalStorm&) = delete;

  private:
    pthread_t target_;
    struct sigaction before_ {};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs a shell command and returns its exit status.
inline int run(const std::string& command) {
    int rc = std::system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// Collects every logged line while alive.
class LogCapture {
  public:
    LogCapture() {
        platform::setLogSink([this](const std::string& line) { lines_.push_back(line); });
    }
    ~LogCapture() { platform::setLogSink({}); }
    const std::vector<std::string>& lines() const { return lines_; }
    bool contains(const std::string& line) const {
        for (const auto& l : lines_)
            if (l == line) return true;
        return false;
    }
    void clear() { lines_.clear(); }

  private:
    std::vector<std::string> lines_;
};

}  // namespace testing_support
