// Time and the main run loop.
//
// One clock per process gives every "now" (dates, elapsed times) and every delay. The real
// clock runs with wall time, optionally scaled by a speed factor so a whole phone can play a
// call faster than real time; the virtual clock only moves when a test advances it.
//
// The main run loop runs timers, delayed performs, main-queue closures, notification
// deliveries and I/O sources, all on the main thread. Work due at the same moment runs in the
// order it was scheduled. Each piece of work runs inside its own autorelease pool.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace platform {

class Clock {
  public:
    virtual ~Clock() = default;
    // Seconds since the reference date 2001-01-01 00:00:00 UTC.
    virtual double now() const = 0;
    // Host seconds to wait for the given span of clock time (speed factor applied).
    virtual double hostSeconds(double clockSeconds) const { return clockSeconds; }
    virtual bool isVirtual() const { return false; }
};

class RealClock : public Clock {
  public:
    // speed > 1 makes clock time pass faster than host time.
    explicit RealClock(double speed = 1.0);
    double now() const override;
    double hostSeconds(double clockSeconds) const override { return clockSeconds / speed_; }
    double speed() const { return speed_; }

  private:
    double speed_;
    double startNow_;   // clock reading at construction
    double startMono_;  // host monotonic seconds at construction
};

class VirtualClock : public Clock {
  public:
    explicit VirtualClock(double start = 800000000.0) : now_(start) {}
    double now() const override { return now_; }
    bool isVirtual() const override { return true; }
    void set(double t) { now_ = t; }

  private:
    double now_;
};

// The process's clock (a real clock unless a test or host installed another).
Clock& processClock();
void setClock(std::unique_ptr<Clock> c);
// Installs a fresh virtual clock and returns it.
VirtualClock& useVirtualClock();

class RunLoop {
  public:
    using TaskId = uint64_t;

    static RunLoop& main();

    // Runs fn once the clock has moved on by delay seconds (0: on the next pass).
    TaskId schedule(double delay, std::function<void()> fn);
    // Forgets scheduled work that has not run yet; unknown or finished ids are ignored.
    void cancel(TaskId id);
    bool isScheduled(TaskId id) const;

    // Calls onReadable on the main thread whenever fd has input.
    void addSource(int fd, std::function<void()> onReadable);
    void removeSource(int fd);

    // Runs everything that is due now, including work that becomes due while doing so, and
    // checks the sources once without waiting.
    void runDue();
    // Virtual clock: moves the clock forward by seconds, running each piece of work at its own
    // due time. Real clock: runs the loop for that long.
    void advance(double seconds);
    // Runs until stop() is called. Waits on the sources between pieces of work.
    void run();
    void stop() { stopped_ = true; }

    // Scheduled work not yet run.
    size_t pendingCount() const { return tasks_.size(); }
    // Due time of the earliest scheduled work, or a negative value when there is none.
    double nextDueTime() const;

    // Called after each batch of due work, before the loop waits again.
    void setBeforeWaiting(std::function<void()> fn) { beforeWaiting_ = std::move(fn); }

    // Forgets all scheduled work and sources (tests reuse the process's loop).
    void reset();

  private:
    struct Key {
        double due;
        uint64_t seq;
        bool operator<(const Key& o) const { return due != o.due ? due < o.due : seq < o.seq; }
    };
    bool runOneDue(double until);
    void pollSources(double timeoutSeconds);

    std::map<Key, std::function<void()>> tasks_;
    std::map<TaskId, Key> byId_;
    std::map<int, std::function<void()>> sources_;
    uint64_t nextSeq_ = 1;
    bool stopped_ = false;
    std::function<void()> beforeWaiting_;
};

// Main-queue closure after a delay (the platform's dispatch_after on the main queue).
void dispatchAfter(double delaySeconds, std::function<void()> fn);

}  // namespace platform
