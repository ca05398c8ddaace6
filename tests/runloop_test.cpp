// Clocks, the main run loop, timers, delayed performs and main-queue closures.
#include "platform/loop/runloop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/loop/foundation.h"

using namespace platform;
using objc::id;
using objc::SEL;

namespace {

std::string trail;

class Recorder : public objc::NSObject {
  public:
    static objc::Class cls() {
        static objc::Class c = [] {
            objc::Class k = objc::registerCxxClass<Recorder>("Recorder", objc::NSObject::cls());
            objc::addMethod(
                k, SEL_("tick:"), +[](id, SEL, id arg) {
                    trail +=
                        "tick(" + objc::describe(arg) + ")@" +
                        std::to_string(static_cast<int>(processClock().now() - start() + 0.5)) +
                        " ";
                });
            return k;
        }();
        return c;
    }
    static double& start() {
        static double s = 0;
        return s;
    }
    ~Recorder() override { trail += "recorder-freed "; }
};

class RunLoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        vc = &useVirtualClock();
        Recorder::start() = vc->now();
        RunLoop::main().reset();
        trail.clear();
    }
    double elapsed() const { return vc->now() - Recorder::start(); }
    VirtualClock* vc = nullptr;
};

}  // namespace

TEST_F(RunLoopTest, WorkRunsAtItsDueTimeAndSameTimeWorkInScheduleOrder) {
    auto& loop = RunLoop::main();
    loop.schedule(2.0, [] { trail += "b "; });
    loop.schedule(1.0, [] { trail += "a "; });
    loop.schedule(2.0, [] { trail += "c "; });
    dispatchAfter(2.0, [] { trail += "d "; });
    loop.schedule(0, [&] {
        trail += "now ";
        loop.schedule(0, [] { trail += "next-pass "; });
    });
    loop.runDue();
    EXPECT_EQ(trail, "now next-pass ");
    loop.advance(1.5);
    EXPECT_EQ(trail, "now next-pass a ");
    EXPECT_DOUBLE_EQ(elapsed(), 1.5);
    loop.advance(0.5);
    EXPECT_EQ(trail, "now next-pass a b c d ");
    EXPECT_EQ(loop.pendingCount(), 0u);
}

TEST_F(RunLoopTest, WorkSeesTheClockAtItsOwnDueTime) {
    auto& loop = RunLoop::main();
    double seen = -1;
    loop.schedule(0.5, [&] {
        seen = elapsed();
        loop.schedule(0.5, [&] { trail += std::to_string(elapsed()) + " "; });
    });
    loop.advance(10);
    EXPECT_DOUBLE_EQ(seen, 0.5);
    EXPECT_EQ(trail, std::to_string(1.0) + " ");
    EXPECT_DOUBLE_EQ(elapsed(), 10);
}

TEST_F(RunLoopTest, CancelledWorkNeverRuns) {
    auto& loop = RunLoop::main();
    auto id1 = loop.schedule(1, [] { trail += "x"; });
    EXPECT_TRUE(loop.isScheduled(id1));
    loop.cancel(id1);
    loop.cancel(id1);  // twice is harmless
    loop.cancel(987654);
    loop.advance(2);
    EXPECT_EQ(trail, "");
}

TEST_F(RunLoopTest, OneShotTimerFiresOnceAndIsInvalidated) {
    objc::AutoreleasePool pool;
    id target = objc::allocInit(Recorder::cls());
    NSTimer* t =
        NSTimer::scheduledTimerWithTimeInterval(1.0, target, SEL_("tick:"), nullptr, false);
    objc::objc_retain(t);
    objc::objc_release(target);  // the timer keeps its target
    RunLoop::main().advance(0.9);
    EXPECT_EQ(trail, "");
    RunLoop::main().advance(0.1);
    EXPECT_TRUE(trail.find("tick(<NSTimer") == 0) << trail;
    EXPECT_NE(trail.find("@1 recorder-freed"), std::string::npos)
        << "target dropped on invalidation: " << trail;
    EXPECT_FALSE(t->isValid());
    RunLoop::main().advance(5);
    EXPECT_EQ(std::count(trail.begin(), trail.end(), '@'), 1);
    objc::objc_release(t);
}

TEST_F(RunLoopTest, RepeatingTimerFiresEveryIntervalUntilInvalidated) {
    objc::AutoreleasePool pool;
    id target = objc::allocInit(Recorder::cls());
    NSTimer* t = NSTimer::scheduledTimerWithTimeInterval(0.8, target, SEL_("tick:"), nullptr, true);
    RunLoop::main().advance(3.3);
    EXPECT_EQ(std::count(trail.begin(), trail.end(), '@'), 4);  // 0.8 1.6 2.4 3.2
    objc::msgSend(t, SEL_("invalidate"));
    RunLoop::main().advance(3);
    EXPECT_EQ(std::count(trail.begin(), trail.end(), '@'), 4);
    EXPECT_EQ(RunLoop::main().pendingCount(), 0u);
    objc::objc_release(target);
}

TEST_F(RunLoopTest, UnscheduledTimerWaitsUntilAddedToTheRunLoop) {
    objc::AutoreleasePool pool;
    id target = objc::allocInit(Recorder::cls());
    NSTimer* t = NSTimer::timerWithTimeInterval(1.0, target, SEL_("tick:"), nullptr, false);
    RunLoop::main().advance(2);
    EXPECT_EQ(trail, "");
    NSTimer::addToMainRunLoop(t);
    RunLoop::main().advance(1);
    EXPECT_NE(trail.find("tick(<NSTimer"), std::string::npos);
    objc::objc_release(target);
}

TEST_F(RunLoopTest, DelayedPerformSendsTheSelectorWithItsObjectAndKeepsBothAlive) {
    id target = objc::allocInit(Recorder::cls());
    {
        objc::AutoreleasePool pool;
        performSelectorAfterDelay(target, SEL_("tick:"), NSNumber::numberWithBool(true), 0.5);
        performSelectorAfterDelay(target, SEL_("tick:"), NSNumber::numberWithInt(7), 0);
    }
    objc::objc_release(target);  // only the performs hold it now
    EXPECT_EQ(trail, "");
    RunLoop::main().runDue();
    EXPECT_EQ(trail, "tick(7)@0 ");
    RunLoop::main().advance(0.5);
    EXPECT_EQ(trail, "tick(7)@0 tick(1)@1 recorder-freed ");
}

TEST_F(RunLoopTest, IoSourcesRunWhenTheirDescriptorIsReadable) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    auto& loop = RunLoop::main();
    loop.addSource(fds[0], [&] {
        char buf[16];
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        trail.append(buf, static_cast<size_t>(n));
    });
    loop.runDue();
    EXPECT_EQ(trail, "");
    ASSERT_EQ(::write(fds[1], "hi", 2), 2);
    loop.runDue();
    EXPECT_EQ(trail, "hi");
    loop.removeSource(fds[0]);
    ASSERT_EQ(::write(fds[1], "!!", 2), 2);
    loop.runDue();
    EXPECT_EQ(trail, "hi");
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(RealClock, SpeedFactorScalesClockTimeAgainstHostTime) {
    RealClock fast(50.0);
    EXPECT_DOUBLE_EQ(fast.hostSeconds(2.0), 0.04);
    RealClock normal;
    EXPECT_DOUBLE_EQ(normal.hostSeconds(2.0), 2.0);
    EXPECT_GT(normal.now(), 800000000.0) << "seconds since 2001, so well past 2026";
}

TEST(RealClock, ClocksOnOneOriginAgreeWhenEverTheyWereMade) {
    const RealClock::Origin origin{700000000.0, monotonicSeconds() - 2.0};
    RealClock first(10.0, origin);
    RealClock second(10.0, first.origin());
    const double a = first.now();
    const double b = second.now();
    EXPECT_GE(b, a);
    EXPECT_LT(b - a, 1.0) << "read one after the other";
    EXPECT_GE(a, 700000020.0) << "two host seconds at ten times speed";
}

TEST_F(RunLoopTest, WaitingForSourcesWithNothingToWaitForReturnsAtOnce) {
    auto& loop = RunLoop::main();
    EXPECT_FALSE(loop.waitForSources(-1)) << "no sources and no limit: it would never end";
    EXPECT_TRUE(loop.waitForSources(0));
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    loop.addSource(fds[0], [&] {
        char c;
        (void)!::read(fds[0], &c, 1);
        trail += "read ";
    });
    EXPECT_TRUE(loop.waitForSources(-1)) << "readable already";
    EXPECT_EQ(trail, "read ");
    loop.removeSource(fds[0]);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST_F(RunLoopTest, OnAVirtualClockRunEndsWhenNothingIsLeft) {
    auto& loop = RunLoop::main();
    loop.schedule(3, [&] {
        trail += "a ";
        loop.schedule(4, [] { trail += "b "; });
    });
    loop.run();
    EXPECT_EQ(trail, "a b ");
    EXPECT_DOUBLE_EQ(elapsed(), 7);
}

// A driven clock moves only when its driver says so: the loop tells the driver when it next has
// work, the driver picks the time.
TEST(DrivenClock, TheDriverDecidesWhenAndToWhatTimeTheClockMoves) {
    RunLoop::main().reset();
    auto owned = std::make_unique<DrivenClock>(100.0);
    DrivenClock& clock = *owned;
    setClock(std::move(owned));
    std::vector<double> asked;
    std::string ran;
    clock.setDriver([&](RunLoop&, double until) {
        asked.push_back(until);
        if (asked.size() == 1) {
            clock.set(101.0);  // earlier than asked: nothing is due yet
            return true;
        }
        if (until < 0) return false;  // nothing left: the process would stop here
        clock.set(until);
        return true;
    });
    auto& loop = RunLoop::main();
    loop.schedule(2, [&] { ran += "at " + std::to_string(static_cast<int>(clock.now())) + " "; });
    loop.schedule(5, [&] { ran += "at " + std::to_string(static_cast<int>(clock.now())) + " "; });
    loop.run();
    EXPECT_EQ(ran, "at 102 at 105 ");
    EXPECT_EQ(asked, (std::vector<double>{102, 102, 105, -1}));
    useVirtualClock();
}
