// A FIFO for the tests that put one where a file is expected, watched so that a regression ends
// the test by itself instead of holding it until ctest's limit.
//
// The code under test opens files without blocking and lets go at once, so it never holds the
// FIFO for longer than a moment. Should a reader still hold it open after `limit` (opened
// blocking, it waits for a writer that never comes), the watch opens it for writing and closes
// it again: the reader gets end of file and the test goes on, and fails when the watch ends.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace testing_support {

class WatchedFifo {
  public:
    explicit WatchedFifo(std::string path, std::chrono::seconds limit = std::chrono::seconds(30))
        : path_(std::move(path)), limit_(limit) {
        made_ = ::mkfifo(path_.c_str(), 0644) == 0;
        if (made_) watch_ = std::thread([this] { watch(); });
    }
    ~WatchedFifo() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        if (watch_.joinable()) watch_.join();
        if (steppedIn_)
            ADD_FAILURE() << path_ << ": a reader was still waiting on the FIFO after "
                          << limit_.count() << " s (opened blocking?)";
    }
    WatchedFifo(const WatchedFifo&) = delete;
    WatchedFifo& operator=(const WatchedFifo&) = delete;

    bool made() const { return made_; }

  private:
    void watch() {
        std::unique_lock lock(mutex_);
        if (wake_.wait_for(lock, limit_, [this] { return done_; })) return;
        while (!done_) {
            // Succeeds only while a reader has it open, and lets that reader go on.
            const int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                ::close(fd);
                steppedIn_ = true;
            }
            wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return done_; });
        }
    }

    const std::string path_;
    const std::chrono::seconds limit_;
    bool made_ = false;
    bool done_ = false;
    bool steppedIn_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread watch_;
};

}  // namespace testing_support
