#include "platform/runloop.h"

#include <poll.h>
#include <time.h>

#include <cerrno>
#include <climits>
#include <cmath>

#include "platform/runtime.h"

namespace platform {

namespace {

double monotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double realSecondsSinceReferenceDate() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) - 978307200.0 + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::unique_ptr<Clock>& clockSlot() {
    static std::unique_ptr<Clock> c = std::make_unique<RealClock>();
    return c;
}

}  // namespace

RealClock::RealClock(double speed)
    : speed_(speed > 0 ? speed : 1.0),
      startNow_(realSecondsSinceReferenceDate()),
      startMono_(monotonicSeconds()) {}

double RealClock::now() const { return startNow_ + (monotonicSeconds() - startMono_) * speed_; }

Clock& processClock() { return *clockSlot(); }
void setClock(std::unique_ptr<Clock> c) { clockSlot() = std::move(c); }

VirtualClock& useVirtualClock() {
    auto c = std::make_unique<VirtualClock>();
    VirtualClock& ref = *c;
    setClock(std::move(c));
    return ref;
}

RunLoop& RunLoop::main() {
    static RunLoop* loop = new RunLoop();
    return *loop;
}

RunLoop::TaskId RunLoop::schedule(double delay, std::function<void()> fn) {
    if (!(delay > 0)) delay = 0;  // negative and NaN delays mean "as soon as possible"
    Key key{processClock().now() + delay, nextSeq_++};
    tasks_.emplace(key, std::move(fn));
    byId_.emplace(key.seq, key);
    return key.seq;
}

void RunLoop::cancel(TaskId id) {
    auto it = byId_.find(id);
    if (it == byId_.end()) return;
    tasks_.erase(it->second);
    byId_.erase(it);
}

bool RunLoop::isScheduled(TaskId id) const { return byId_.count(id) != 0; }

void RunLoop::addSource(int fd, std::function<void()> onReadable) {
    sources_[fd] = std::move(onReadable);
}

void RunLoop::removeSource(int fd) { sources_.erase(fd); }

double RunLoop::nextDueTime() const { return tasks_.empty() ? -1.0 : tasks_.begin()->first.due; }

bool RunLoop::runOneDue(double until) {
    if (tasks_.empty()) return false;
    auto it = tasks_.begin();
    if (it->first.due > until) return false;
    std::function<void()> fn = std::move(it->second);
    byId_.erase(it->first.seq);
    tasks_.erase(it);
    objc::AutoreleasePool pool;
    fn();
    return true;
}

void RunLoop::pollSources(double timeoutSeconds) {
    if (sources_.empty()) return;
    std::vector<pollfd> fds;
    fds.reserve(sources_.size());
    for (const auto& [fd, cb] : sources_) fds.push_back(pollfd{fd, POLLIN, 0});
    int timeoutMs = 0;
    if (timeoutSeconds < 0)
        timeoutMs = -1;
    else if (timeoutSeconds > 0)
        timeoutMs = static_cast<int>(std::min(std::ceil(timeoutSeconds * 1000.0), double{INT_MAX}));
    int n = ::poll(fds.data(), fds.size(), timeoutMs);
    if (n <= 0) return;
    for (const pollfd& p : fds) {
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        auto it = sources_.find(p.fd);
        if (it == sources_.end()) continue;  // removed by an earlier callback of this pass
        std::function<void()> cb = it->second;
        objc::AutoreleasePool pool;
        cb();
    }
}

void RunLoop::runDue() {
    while (runOneDue(processClock().now())) {
    }
    pollSources(0);
    while (runOneDue(processClock().now())) {
    }
    if (beforeWaiting_) beforeWaiting_();
}

void RunLoop::advance(double seconds) {
    Clock& c = processClock();
    if (c.isVirtual()) {
        auto& vc = static_cast<VirtualClock&>(c);
        const double target = vc.now() + (seconds > 0 ? seconds : 0);
        runDue();
        while (!tasks_.empty() && tasks_.begin()->first.due <= target) {
            if (tasks_.begin()->first.due > vc.now()) vc.set(tasks_.begin()->first.due);
            runDue();
        }
        vc.set(target);
        runDue();
        return;
    }
    const double deadline = monotonicSeconds() + c.hostSeconds(seconds);
    for (;;) {
        runDue();
        double left = deadline - monotonicSeconds();
        if (left <= 0) break;
        double next = nextDueTime();
        double wait = left;
        if (next >= 0) wait = std::min(wait, std::max(0.0, c.hostSeconds(next - c.now())));
        if (sources_.empty()) {
            timespec ts{static_cast<time_t>(wait),
                        static_cast<long>((wait - std::floor(wait)) * 1e9)};
            nanosleep(&ts, nullptr);
        } else {
            pollSources(wait);
        }
    }
}

void RunLoop::run() {
    stopped_ = false;
    Clock& c = processClock();
    while (!stopped_) {
        runDue();
        if (stopped_) break;
        double next = nextDueTime();
        if (c.isVirtual()) {
            if (next < 0) break;  // nothing will ever happen in virtual time
            static_cast<VirtualClock&>(c).set(std::max(next, c.now()));
            continue;
        }
        double wait = next < 0 ? -1.0 : std::max(0.0, c.hostSeconds(next - c.now()));
        if (sources_.empty()) {
            if (wait < 0) break;
            timespec ts{static_cast<time_t>(wait),
                        static_cast<long>((wait - std::floor(wait)) * 1e9)};
            nanosleep(&ts, nullptr);
        } else {
            pollSources(wait);
        }
    }
}

void RunLoop::reset() {
    tasks_.clear();
    byId_.clear();
    sources_.clear();
    stopped_ = false;
    beforeWaiting_ = nullptr;
}

void dispatchAfter(double delaySeconds, std::function<void()> fn) {
    RunLoop::main().schedule(delaySeconds, std::move(fn));
}

}  // namespace platform
