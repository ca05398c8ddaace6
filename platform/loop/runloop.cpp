#include "platform/loop/runloop.h"

#include <time.h>

#include <algorithm>
#include <cmath>

#include "platform/core/runtime.h"

namespace platform {

namespace {

double realSecondsSinceReferenceDate() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) - 978307200.0 + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A span of host seconds as a timespec, to the nanosecond; spans beyond a year are a year.
timespec span(double seconds) {
    seconds = std::clamp(seconds, 0.0, 365.0 * 86400.0);
    const double whole = std::floor(seconds);
    long nanos = static_cast<long>((seconds - whole) * 1e9);
    if (nanos > 999999999) nanos = 999999999;
    return timespec{static_cast<time_t>(whole), nanos};
}

std::unique_ptr<Clock>& clockSlot() {
    static std::unique_ptr<Clock> c = std::make_unique<RealClock>();
    return c;
}

}  // namespace

double monotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

RealClock::RealClock(double speed)
    : RealClock(speed, Origin{realSecondsSinceReferenceDate(), monotonicSeconds()}) {}

RealClock::RealClock(double speed, Origin origin)
    : speed_(speed > 0 ? speed : 1.0), origin_(origin) {}

double RealClock::now() const {
    return origin_.now + (monotonicSeconds() - origin_.monotonic) * speed_;
}

bool RealClock::waitUntil(RunLoop& loop, double until) {
    return loop.waitForSources(until < 0 ? -1.0 : std::max(0.0, hostSeconds(until - now())));
}

bool VirtualClock::waitUntil(RunLoop&, double until) {
    if (until < 0) return false;  // nothing will ever happen in virtual time
    now_ = std::max(now_, until);
    return true;
}

bool DrivenClock::waitUntil(RunLoop& loop, double until) {
    return driver_ ? driver_(loop, until) : false;
}

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

bool RunLoop::waitForSources(double hostSeconds) {
    const bool forever = hostSeconds < 0;
    if (sources_.empty()) {
        if (forever) return false;
        const timespec ts = span(hostSeconds);
        // Interrupted by a signal, it returns early: the loop then looks at what the handler did.
        if (ts.tv_sec != 0 || ts.tv_nsec != 0) clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, nullptr);
        return true;
    }
    std::vector<pollfd> fds = std::move(pollfds_);  // a callback may wait again
    fds.clear();
    for (const auto& [fd, cb] : sources_) fds.push_back(pollfd{fd, POLLIN, 0});
    const timespec ts = span(hostSeconds);
    const int n = ::ppoll(fds.data(), fds.size(), forever ? nullptr : &ts, nullptr);
    for (int i = 0; n > 0 && i < static_cast<int>(fds.size()); ++i) {
        const pollfd& p = fds[static_cast<size_t>(i)];
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        auto it = sources_.find(p.fd);
        if (it == sources_.end()) continue;  // removed by an earlier callback of this pass
        std::function<void()> cb = it->second;
        objc::AutoreleasePool pool;
        cb();
    }
    if (fds.capacity() > pollfds_.capacity()) pollfds_ = std::move(fds);
    return true;
}

void RunLoop::runDue() {
    while (runOneDue(processClock().now())) {
    }
    waitForSources(0);
    while (runOneDue(processClock().now())) {
    }
    if (beforeWaiting_) beforeWaiting_();
}

void RunLoop::advance(double seconds) {
    const double target = processClock().now() + (seconds > 0 ? seconds : 0);
    runDue();
    while (processClock().now() < target) {
        const double next = nextDueTime();
        if (!processClock().waitUntil(*this, next >= 0 && next < target ? next : target)) break;
        runDue();
    }
}

void RunLoop::run() {
    stopped_ = false;
    while (!stopped_) {
        runDue();
        if (stopped_) break;
        if (!processClock().waitUntil(*this, nextDueTime())) break;
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
