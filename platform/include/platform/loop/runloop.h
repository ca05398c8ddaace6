// Time and the main run loop.
//
// One clock per process gives every "now" (dates, elapsed times) and every delay, and decides
// how the run loop lets time pass when it has nothing to do:
//   - the real clock runs with wall time, optionally scaled by a speed factor so a whole phone
//     can play a call faster than real time; waiting sleeps (to the nanosecond) on the loop's
//     sources;
//   - the virtual clock only moves when a test advances it; waiting jumps to the next due time;
//   - a driven clock reads whatever its driver last set; waiting hands control to the driver,
//     which decides when and to what time the clock moves (the simulator's hosts run on one,
//     driven by the simulator's single clock).
//
// The main run loop runs timers, delayed performs, main-queue closures, notification
// deliveries and I/O sources, all on the main thread. Work due at the same moment runs in the
// order it was scheduled. Each piece of work runs inside its own autorelease pool.
#pragma once

#include <poll.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace platform {

class RunLoop;

class Clock {
  public:
    virtual ~Clock() = default;
    // Seconds since the reference date 2001-01-01 00:00:00 UTC.
    virtual double now() const = 0;
    // Host seconds to wait for the given span of clock time (speed factor applied).
    virtual double hostSeconds(double clockSeconds) const { return clockSeconds; }
    // Lets time pass until the clock reads `until` (no limit when negative), running the loop's
    // sources that become readable meanwhile; it may return earlier. false: nothing can ever
    // happen again (no limit and nothing that could wake the loop).
    virtual bool waitUntil(RunLoop& loop, double until) = 0;
};

// Seconds of the host's monotonic clock (shared by every process on the machine).
double monotonicSeconds();

class RealClock : public Clock {
  public:
    // Where a real clock's time line is anchored: it read `now` at host monotonic time
    // `monotonic`. Processes given one origin and one speed agree on the time.
    struct Origin {
        double now = 0;
        double monotonic = 0;
    };
    // speed > 1 makes clock time pass faster than host time. Anchored at the present moment.
    explicit RealClock(double speed = 1.0);
    RealClock(double speed, Origin origin);
    double now() const override;
    double hostSeconds(double clockSeconds) const override { return clockSeconds / speed_; }
    bool waitUntil(RunLoop& loop, double until) override;
    Origin origin() const { return origin_; }

  private:
    double speed_;
    Origin origin_;
};

class VirtualClock : public Clock {
  public:
    explicit VirtualClock(double start = 800000000.0) : now_(start) {}
    double now() const override { return now_; }
    bool waitUntil(RunLoop& loop, double until) override;
    void set(double t) { now_ = t; }

  private:
    double now_;
};

class DrivenClock : public Clock {
  public:
    // Called whenever the loop has run everything due: `until` is the loop's next due time
    // (negative: none). It returns once the clock may have moved (after set()), or false when
    // the process should stop waiting for good.
    using Driver = std::function<bool(RunLoop& loop, double until)>;

    explicit DrivenClock(double start, Driver driver = {})
        : now_(start), driver_(std::move(driver)) {}
    double now() const override { return now_; }
    bool waitUntil(RunLoop& loop, double until) override;
    void set(double t) { now_ = t; }
    void setDriver(Driver driver) { driver_ = std::move(driver); }

  private:
    double now_;
    Driver driver_;
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
    // Lets the clock move forward by seconds, running each piece of work at its own due time
    // (a virtual clock jumps there; a real one takes that long).
    void advance(double seconds);
    // Runs until stop() is called, letting the clock wait between pieces of work.
    void run();
    void stop() { stopped_ = true; }
    bool stopRequested() const { return stopped_; }

    // Waits at most hostSeconds of host time (no limit when negative) for a source to become
    // readable, then runs the callbacks of the readable ones. Without sources it sleeps, and
    // returns false at once when there is no limit either (nothing could ever end the wait).
    // For clocks: this is how time passes on the host.
    bool waitForSources(double hostSeconds);

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

    std::map<Key, std::function<void()>> tasks_;
    std::map<TaskId, Key> byId_;
    std::map<int, std::function<void()>> sources_;
    // Kept between waits: a wait allocates nothing, so a process's memory layout does not
    // depend on how often it happened to wake.
    std::vector<pollfd> pollfds_;
    uint64_t nextSeq_ = 1;
    bool stopped_ = false;
    std::function<void()> beforeWaiting_;
};

// Main-queue closure after a delay (the platform's dispatch_after on the main queue).
void dispatchAfter(double delaySeconds, std::function<void()> fn);

}  // namespace platform
