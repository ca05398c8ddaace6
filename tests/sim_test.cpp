// The simulator's pieces without processes: the narrator and its timeline driven by typed
// events, the expectation checks, and the phone clock's turns over an in-memory phone.
#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <functional>
#include <map>

#include "OrvellaNames.h"
#include "expectations.h"
#include "narrator.h"
#include "phone_clock.h"
#include "platform/loop/runloop.h"
#include "scenario.h"

namespace ev = platform::events;
using platform::TracedView;

namespace {

// A timeline written to memory, on a virtual clock.
class NarratorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clock = &platform::useVirtualClock();
        out = ::open_memstream(&buffer, &size);
    }
    void TearDown() override {
        std::fclose(out);
        std::free(buffer);
    }
    std::string written() {
        std::fflush(out);
        return std::string(buffer, size);
    }
    platform::VirtualClock* clock = nullptr;
    char* buffer = nullptr;
    size_t size = 0;
    std::FILE* out = nullptr;
};

TracedView logo() { return {"UIImageView", orvella::kLogoTag, 20, 30, 64, 64, ""}; }
TracedView hint(const std::string& text) {
    return {"UILabel", orvella::kHintTag, 0, 100, 320, 20, text};
}

}  // namespace

TEST_F(NarratorTest, TheAnswerBarsLogoAndHintAreRecognisedByTheirTags) {
    sim::Timeline timeline(false, out);
    sim::Narrator n(timeline);
    n.event("springboard", ev::ViewAdded{logo()});
    n.event("springboard", ev::ViewAdded{hint("Wave twice to answer")});
    n.event("springboard", ev::ViewAdded{hint("Wave once to answer")});  // no logo this time
    n.event("springboard", ev::ViewAdded{{"UILabel", 104, 0, 0, 1, 1, "not a hint"}});
    n.event("springboard", ev::ViewAdded{{"UIImageView", orvella::kHintTag, 0, 0, 1, 1, "x"}});
    n.event("springboard", ev::ViewRemoved{logo()});
    n.event("springboard", ev::ViewRemoved{hint("Wave twice to answer")});
    n.event("springboard", ev::ViewRemoved{hint("Wave once to answer")});
    EXPECT_EQ(
        timeline.events(),
        (std::vector<std::string>{"answer bar shows logo and hint \"Wave twice to answer\"",
                                  "answer bar shows hint \"Wave once to answer\"",
                                  "answer bar removes logo and hint", "answer bar removes hint"}));
    EXPECT_EQ(n.hints(), (std::vector<std::string>{"Wave twice to answer", "Wave once to answer"}));
}

TEST_F(NarratorTest, AnsweringSettingsAndSensorsInPlainWords) {
    sim::Timeline timeline(false, out);
    sim::Narrator n(timeline);
    n.event("springboard", ev::CallAnswered{ev::AnswerControl::Button});
    n.event("springboard", ev::SlideFinished{});
    n.event("springboard", ev::CallAnswered{ev::AnswerControl::Slide});
    n.event("mobilephone", ev::SpeakerButtonTapped{true});
    n.event("preferences", ev::ButtonTapped{{"UIButton", 5, 0, 0, 80, 40, "Done"}});
    n.event("preferences", ev::ButtonTapped{{"UIButton", 6, 1, 2, 3, 4, ""}});
    n.event("preferences", ev::SwitchFlipped{7, false, ""});
    n.event("preferences", ev::SwitchFlipped{0, true, "Speaker with headset"});
    n.event("preferences", ev::PickerTurned{2, "Twice"});
    n.event("springboard", ev::SensorSwitched{ev::Sensor::Proximity, true});
    n.event("springboard", ev::Bookkeeping{"hook installed: -[X y]"});
    n.event("preferences", ev::AlertShown{"Warning", "Sure?", {"OK"}});
    EXPECT_EQ(timeline.events(),
              (std::vector<std::string>{
                  "answer bar presses its answer button", "answer bar answers the call",
                  "answer bar finishes its slide", "answer bar answers the call",
                  "in-call controller taps the speaker button", "settings: tapped \"Done\"",
                  "settings: tapped button tapped: UIButton tag 6 frame (1,2,3,4)",
                  "settings: switch with tag 7 turned off",
                  "settings: switch \"Speaker with headset\" turned on",
                  "settings: picker column \"waves when unlocked\" turned to \"Twice\"",
                  "proximity sensor armed", "alert shown: \"Warning\" \"Sure?\" buttons [OK]"}));
}

TEST_F(NarratorTest, PostsAndLogLinesAndTheTimelinesTwoForms) {
    sim::Timeline text(false, out);
    sim::Narrator n(text);
    text.heading("Scenario: test");
    n.log("springboard", "one\r\ntwo");  // before the start: at 0
    // The host's report of a wave timed out is told in words; the log line is only a log line.
    n.event("springboard", ev::WaveTimedOut{1.75, 0.7});
    n.log("springboard",
          "*** isTimedOut - Time elapsed: 1.750000 - TIMED OUT!! - RESETTING THE "
          "FLAG TO kPROXIMITY_READY_STATE ***");
    text.setStart(clock->now());
    clock->set(clock->now() + 6.75);
    n.posted("springboard", orvella::kSlideOpenNotification);
    n.posted("springboard", orvella::kTurnOnSpeakerNotification);
    n.posted("mobilephone", "com.example.other");
    text.result("line 9: expect answered", true);
    text.result("line 10: expect speaker on", false);
    EXPECT_EQ(written(),
              "Scenario: test\n"
              "   0.000  springboard  log: one  two\n"
              "   0.000  springboard  wave too slow: 1.75 s since the wave began, over the 0.7 s "
              "time limit of the wave speed; counting starts again at the first wave\n"
              "   0.000  springboard  log: *** isTimedOut - Time elapsed: 1.750000 - TIMED OUT!! - "
              "RESETTING THE FLAG TO kPROXIMITY_READY_STATE ***\n"
              "   6.750  springboard  slide-open posted\n"
              "   6.750  springboard  speaker notification posted\n"
              "   6.750  mobilephone  posted com.example.other\n"
              "  ok     line 9: expect answered\n"
              "  FAILED line 10: expect speaker on\n");

    char* jbuf = nullptr;
    size_t jsize = 0;
    std::FILE* jout = ::open_memstream(&jbuf, &jsize);
    sim::Timeline json(true, jout);
    json.heading("A \"quoted\" title");
    json.add("sim", "tab\there\x01");
    json.result("line 3: expect hint \"x\"", false, 3);
    json.finish(1);
    std::fclose(jout);
    EXPECT_EQ(std::string(jbuf, jsize),
              "{\"type\":\"run\",\"program\":\"orvella-sim\",\"version\":\"" ORVELLA_VERSION
              "\",\"heading\":\"A \\\"quoted\\\" title\",\"scenario\":{},\n"
              "\"timeline\": [\n"
              "{\"type\":\"host\",\"time\":0.0,\"process\":\"sim\",\"what\":\"tab\\there\\u0001\","
              "\"details\":{}}\n],\n"
              "\"expectations\": [\n"
              "{\"type\":\"expectation\",\"line\":3,\"report\":\"line 3: expect hint \\\"x\\\"\","
              "\"held\":false}\n],\n"
              "\"failed\":1,\"status\":1}\n");
    std::free(jbuf);
}

// What arrives from the bus is cut when long, and the timeline keeps a bounded number of lines.
TEST_F(NarratorTest, LongTextsAreCutAndTheTimelineIsBounded) {
    sim::Timeline timeline(false, out);
    sim::Narrator n(timeline);
    n.posted("stranger", std::string(4 << 20, 'x'));
    ASSERT_EQ(timeline.events().size(), 1u);
    EXPECT_EQ(timeline.events()[0].rfind("posted xxx", 0), 0u);
    EXPECT_LE(timeline.events()[0].size(), sim::kMaxText + 3);
    EXPECT_LT(written().size(), 2 * sim::kMaxText);
    for (size_t i = 1; i < sim::kMaxKept; ++i) timeline.add("sim", "line");
    EXPECT_FALSE(timeline.overflowed());
    timeline.add("sim", "one too many");
    EXPECT_TRUE(timeline.overflowed());
    EXPECT_EQ(timeline.events().size(), sim::kMaxKept);
    // A multi-byte character is never cut in half.
    EXPECT_EQ(sim::clipped(std::string(sim::kMaxText - 1, 'a') + "\xc3\xa9"),
              std::string(sim::kMaxText - 1, 'a') + "...");
}

TEST(Printable, ControlsAndBrokenBytesBecomeVisibleEscapes) {
    EXPECT_EQ(sim::printable("plain caf\xc3\xa9"), "plain caf\xc3\xa9");
    EXPECT_EQ(sim::printable("\x1b[2J\x07\x7f"), "\\x1b[2J\\x07\\x7f");
    EXPECT_EQ(sim::printable("\xc2\x9b"
                             "31m"),
              "\\u009b31m")
        << "a C1 escape";
    EXPECT_EQ(sim::printable("\x9b\xff\xc0\xaf"), "\\x9b\\xff\\xc0\\xaf") << "not UTF-8";
}

namespace {

std::vector<sim::Verdict> checked(const std::string& expectations, const sim::Outcome& o,
                                  std::vector<sim::Expectation>& keep) {
    auto sc = sim::parseScenario("at 0 pose up\n" + expectations, "t.scn");
    EXPECT_TRUE(sc) << sc.error();
    keep = sc->expectations;
    return sim::check(keep, o);
}

std::vector<bool> held(const std::vector<sim::Verdict>& v) {
    std::vector<bool> out;
    for (const auto& x : v) out.push_back(x.held);
    return out;
}

}  // namespace

// Every kind of expectation, against a phone that answered and one that stayed quiet: whether
// it held, and when not, what happened instead.
TEST(Expectations, HoldOrSayWhatHappenedInstead) {
    const std::string all =
        "expect answered\nexpect not answered\nexpect answered at wave 2\n"
        "expect answered at wave 3\nexpect speaker on\nexpect speaker off\n"
        "expect hint \"Wave twice to answer\"\nexpect no hint\n"
        "expect event \"slide-open\"\nexpect no event \"slide-open\"\n";
    std::vector<sim::Expectation> keep;
    sim::Outcome answered{{{true, 1}, {true, 2}},
                          true,
                          {"Wave twice to answer", "Wave once to answer", "Wave twice to answer"},
                          {"x", "slide-open posted"},
                          8.75};
    const auto a = checked(all, answered, keep);
    EXPECT_EQ(held(a),
              (std::vector<bool>{true, false, true, false, true, false, true, false, true, false}));
    // (The simulator's own run shows the others, tests/tools/cli_test.cpp.)
    EXPECT_EQ(a[7].report,
              "line 9: expect no hint (hints \"Wave twice to answer\" and \"Wave once "
              "to answer\" were shown)");
    sim::Outcome quiet{{}, false, {}, {"phone lies screen-up"}, {}};
    const auto q = checked(all, quiet, keep);
    EXPECT_EQ(held(q), (std::vector<bool>{false, true, false, false, false, true, false, true,
                                          false, true}));
    const std::pair<size_t, std::string> quietInstead[] = {
        {0, "no call came in"},
        {2, "no call came in"},
        {4, "the speaker stayed off"},
        {6, "no hint was shown"},
        {8, "no line of the timeline says it"},
    };
    for (const auto& [i, words] : quietInstead) EXPECT_EQ(q[i].happened, words) << q[i].report;
}

TEST(Expectations, AWrongWaveSaysWhichWaveItWas) {
    std::vector<sim::Expectation> keep;
    auto v = checked("expect answered at wave 3\nexpect answered at wave 1\n",
                     sim::Outcome{{{true, 2}}, false, {}, {}, {}}, keep);
    EXPECT_EQ(v[0].report, "line 2: expect answered at wave 3 (answered at wave 2)");
    auto none = checked("expect answered at wave 3\n", sim::Outcome{}, keep);
    EXPECT_EQ(none[0].report, "line 2: expect answered at wave 3 (no call came in)");
    EXPECT_EQ(none[0].expectation->line, 2);
}

// --- the phone clock, over hosts that live in memory ------------------------------------------

namespace {

// A phone whose hosts deliver messages to each other in memory, in sending order. A host
// handles messages and runs work only in its turn, as the real ones do.
struct FakePhone;

struct FakeHost : sim::HostLink {
    using Handler = std::function<void(FakeHost&, const std::string&)>;
    FakeHost(FakePhone& p, std::string n) : phone(p), id(std::move(n)) {}
    const std::string& name() const override { return id; }
    platform::Result<sim::TurnReport> turn(double t) override;
    void send(const std::string& to, const std::string& message);
    void at(double t, std::function<void(FakeHost&)> work) { timers.emplace(t, std::move(work)); }

    FakePhone& phone;
    std::string id;
    std::deque<std::string> inbox;
    std::multimap<double, std::function<void(FakeHost&)>> timers;
    Handler onMessage;
    int64_t sentThisTurn = 0;
    std::string failWith;
};

struct FakePhone {
    std::map<std::string, FakeHost*> hosts;
    std::vector<std::string> log;  // "host@t" per turn, "host<-message" per message handled
};

void FakeHost::send(const std::string& to, const std::string& message) {
    phone.hosts.at(to)->inbox.push_back(message);
    ++sentThisTurn;
}

platform::Result<sim::TurnReport> FakeHost::turn(double t) {
    if (!failWith.empty()) return platform::Failure{failWith};
    phone.log.push_back(id + "@" + std::to_string(static_cast<int>(t)));
    sentThisTurn = 0;
    // What arrived before the turn began; what arrives during it waits for the next.
    std::deque<std::string> mine;
    mine.swap(inbox);
    for (const std::string& m : mine) {
        phone.log.push_back(id + "<-" + m);
        if (onMessage) onMessage(*this, m);
    }
    while (!timers.empty() && timers.begin()->first <= t) {
        auto work = std::move(timers.begin()->second);
        timers.erase(timers.begin());
        work(*this);
    }
    return sim::TurnReport{timers.empty() ? -1 : timers.begin()->first, sentThisTurn};
}

class PhoneClockTest : public ::testing::Test {
  protected:
    PhoneClockTest() : a(phone, "a"), b(phone, "b"), c(phone, "c"), clock({&a, &b, &c}) {
        for (FakeHost* h : {&a, &b, &c}) phone.hosts[h->id] = h;
    }
    // Settles at t with nothing of the simulator's own, and checks everything was taken in.
    void settle(
        double t, const sim::PhoneClock::OwnWork& own = [] { return int64_t{0}; }) {
        auto r = clock.settle(t, own);
        ASSERT_TRUE(r) << r.error();
        for (FakeHost* h : {&a, &b, &c}) EXPECT_TRUE(h->inbox.empty()) << h->id;
    }
    FakePhone phone;
    FakeHost a, b, c;
    sim::PhoneClock clock;
};

}  // namespace

TEST_F(PhoneClockTest, EveryHostGetsAFirstTurnThenOnlyThoseWithWork) {
    b.at(5, [](FakeHost&) {});
    settle(0);
    EXPECT_EQ(phone.log, (std::vector<std::string>{"a@0", "b@0", "c@0"}));
    EXPECT_EQ(clock.nextDue(), 5);
    phone.log.clear();
    settle(5);
    EXPECT_EQ(phone.log, (std::vector<std::string>{"b@5"}))
        << "nothing sent, nothing due elsewhere";
    EXPECT_EQ(clock.nextDue(), -1);
}

// With several hosts due, the clock moves to the earliest, whichever host it is and whatever the
// order of their turns.
TEST_F(PhoneClockTest, TheClockMovesToTheEarliestTimeAnyHostIsDue) {
    a.at(5, [](FakeHost&) {});
    b.at(3, [](FakeHost&) {});
    c.at(4, [](FakeHost&) {});
    settle(0);
    EXPECT_EQ(clock.nextDue(), 3);
    phone.log.clear();
    settle(3);
    EXPECT_EQ(phone.log, (std::vector<std::string>{"b@3"}));
    EXPECT_EQ(clock.nextDue(), 4) << "b has nothing left; c is next, before a";
    settle(4);
    EXPECT_EQ(clock.nextDue(), 5);
}

TEST_F(PhoneClockTest, AChainOfMessagesIsFollowedToItsEndBeforeTheClockMoves) {
    // a -> b -> c -> a -> done, all at one instant, each hop starting in another host's turn.
    a.at(3, [](FakeHost& h) { h.send("b", "1"); });
    b.onMessage = [](FakeHost& h, const std::string&) { h.send("c", "2"); };
    c.onMessage = [](FakeHost& h, const std::string&) { h.send("a", "3"); };
    a.onMessage = [](FakeHost& h, const std::string& m) {
        if (m == "3") h.send("a", "echo");  // to itself: taken in on its next turn
    };
    settle(0);
    phone.log.clear();
    settle(3);
    EXPECT_EQ(phone.log, (std::vector<std::string>{"a@3", "b@3", "b<-1", "c@3", "c<-2", "a@3",
                                                   "a<-3", "b@3", "c@3", "a@3", "a<-echo"}));
}

// Two hosts that answer each other's every message would keep the clock at one instant for good:
// the run ends, naming the host and the time.
TEST_F(PhoneClockTest, HostsThatNeverStopSendingEndTheRunInsteadOfStoppingTheClock) {
    a.at(2, [](FakeHost& h) { h.send("b", "ping"); });
    a.onMessage = [](FakeHost& h, const std::string&) { h.send("b", "ping"); };
    b.onMessage = [](FakeHost& h, const std::string&) { h.send("a", "pong"); };
    settle(0);
    auto r = clock.settle(2, [] { return int64_t{0}; });
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().rfind("the phone does not settle at 2.000 s: after 100000 turns ", 0), 0u)
        << r.error();
}

TEST_F(PhoneClockTest, TheSimulatorsOwnSignalsAndAnswersReachEveryHost) {
    settle(0);
    phone.log.clear();
    int ownRuns = 0;
    bool answered = false;
    // The simulator sends once at 1; the hosts' answer (to it) makes it send again.
    b.onMessage = [&](FakeHost&, const std::string& m) {
        if (m == "ring") answered = true;
    };
    auto own = [&]() -> int64_t {
        ++ownRuns;
        if (ownRuns == 1) {
            for (FakeHost* h : {&a, &b, &c}) h->inbox.push_back("ring");
            return 3;
        }
        if (answered) {
            answered = false;
            for (FakeHost* h : {&a, &b, &c}) h->inbox.push_back("answered");
            return 3;
        }
        return 0;
    };
    settle(1, own);
    EXPECT_EQ(std::count(phone.log.begin(), phone.log.end(), "c<-answered"), 1);
    EXPECT_EQ(std::count(phone.log.begin(), phone.log.end(), "a<-ring"), 1);
}

TEST_F(PhoneClockTest, AHostWithoutAReportFailsTheSettleNamingIt) {
    b.failWith = "b stopped answering the clock (no report within 10 s)";
    auto r = clock.settle(0, [] { return int64_t{0}; });
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "b stopped answering the clock (no report within 10 s)");
}

TEST_F(PhoneClockTest, TheSameTurnsOnEveryRun) {
    auto play = [](std::vector<std::string>& log) {
        FakePhone p;
        FakeHost x(p, "x"), y(p, "y");
        p.hosts = {{"x", &x}, {"y", &y}};
        sim::PhoneClock clock({&x, &y});
        x.at(1, [](FakeHost& h) { h.send("y", "ping"); });
        y.at(1, [](FakeHost& h) { h.send("x", "hello"); });
        y.onMessage = [](FakeHost& h, const std::string& m) {
            if (m == "ping") h.at(2, [](FakeHost& hh) { hh.send("x", "pong"); });
        };
        for (double t : {0.0, 1.0, 2.0}) {
            auto r = clock.settle(t, [] { return int64_t{0}; });
            EXPECT_TRUE(r);
        }
        log = p.log;
    };
    std::vector<std::string> first, second;
    play(first);
    play(second);
    EXPECT_EQ(first, second);
    EXPECT_EQ(std::count(first.begin(), first.end(), "x<-pong"), 1);
}
