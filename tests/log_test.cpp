// The NSLog-style formatter, the capture sink and the signal-safe writer.
#include "platform/loop/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/loop/foundation.h"
#include "test_support.h"

using platform::format;

TEST(Log, FormatsTheConversionsTheSystemUses) {
    EXPECT_EQ(format("x: %.02f, y:%.02f, z: %.02f", 0.1f, -0.987, 1.0),
              "x: 0.10, y:-0.99, z: 1.00");
    EXPECT_EQ(format("Time elapsed: %f - DONE", 1.5f), "Time elapsed: 1.500000 - DONE");
    EXPECT_EQ(format("orientation: %lld  *****", int64_t{3}), "orientation: 3  *****");
    EXPECT_EQ(format("state = %d", -1), "state = -1");
    EXPECT_EQ(format("%@ and %s", std::string("YES"), "cstr"), "YES and cstr");
    EXPECT_EQ(format("100%% %@", nullptr), "100% (null)");
    platform::Dictionary d{{"IsOn", platform::Value(true)}};
    EXPECT_EQ(format("LoadPrefs: %@", platform::Value(d)), "LoadPrefs: {\n    IsOn = 1;\n}");
    objc::AutoreleasePool pool;
    EXPECT_EQ(format("n=%@", static_cast<objc::id>(platform::NSNumber::numberWithInt(4))), "n=4");
    // Too few arguments never read past the list; a trailing % is kept as text.
    EXPECT_EQ(format("%d %@ %f", 1), "1 (null) 0.000000");
    EXPECT_EQ(format("50%"), "50%");
}

TEST(Log, LinesReachTheCaptureSink) {
    testing_support::LogCapture capture;
    platform::NSLog("\r\n ***** %@ *****\r\n", std::string("hello"));
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0], "\r\n ***** hello *****\r\n");
}

TEST(Log, SignalSafeWriterWritesToItsDescriptorFromAHandler) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    platform::setSignalLogFd(fds[1]);
    struct sigaction sa {};
    sa.sa_handler = [](int) { platform::logSignalSafe("interrupted"); };
    sigaction(SIGUSR1, &sa, nullptr);
    ::raise(SIGUSR1);
    char buf[64] = {};
    ssize_t n = ::read(fds[0], buf, sizeof buf - 1);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "interrupted\n");
    platform::setSignalLogFd(STDERR_FILENO);
    ::close(fds[0]);
    ::close(fds[1]);
}
