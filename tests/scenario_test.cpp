// The scenario format: what lines become, and how a wrong line is reported.
#include "scenario.h"

#include <gtest/gtest.h>

using sim::Expectation;
using sim::Scenario;
using sim::Step;

namespace {

Scenario parsed(const std::string& text) {
    auto r = sim::parseScenario(text, "t.scn");
    if (!r) {
        ADD_FAILURE() << r.error();
        return {};
    }
    return *r;
}

std::string errorOf(const std::string& text) {
    auto r = sim::parseScenario(text, "t.scn");
    return r ? "(no error)" : r.error();
}

}  // namespace

TEST(ScenarioFormat, WavesBecomeTimedCoversAndUncoversInTimeOrder) {
    Scenario s = parsed(
        "title Two waves\nspeed 20\n"
        "at 1 call incoming\n"
        "at 5 waves 2 0.3 0.7   # cover 0.3, pause 0.7\n"
        "at 5.5 note between the waves\n"
        "at 9 wave\n");
    EXPECT_EQ(s.title, "Two waves");
    EXPECT_EQ(s.speed, 20);
    ASSERT_EQ(s.steps.size(), 8u);
    EXPECT_EQ(s.steps[0].kind, Step::Kind::CallIncoming);
    const double times[] = {1, 5, 5.3, 5.5, 6, 6.3, 9, 9.25};
    for (size_t i = 0; i < 8; ++i) EXPECT_DOUBLE_EQ(s.steps[i].at, times[i]) << i;
    EXPECT_EQ(s.steps[3].kind, Step::Kind::Note) << "a later line between one line's waves";
    EXPECT_EQ(s.steps[4].kind, Step::Kind::Cover);
    EXPECT_EQ(s.steps[5].kind, Step::Kind::Uncover);
    EXPECT_DOUBLE_EQ(s.endTime(), 13.25) << "four seconds after the last step";
}

TEST(ScenarioFormat, SettingsPosesAndExpectations) {
    Scenario s = parsed(
        "screen-height 480\nlanguage nl\nend 30\n"
        "at 0 pose 0.1 0.2 -0.9\nat 0 pose up\n"
        "at 1 settings waves locked 3 unlocked 2 speed fast\n"
        "at 2 settings headset-speaker on\nspeed 1000\nat 3 pose 16 -16 0\n"
        "expect answered at wave 3\nexpect hint \"Wave thrice to answer\"\nexpect no event "
        "\"speaker on\"\n");
    ASSERT_EQ(s.steps.size(), 5u);
    EXPECT_EQ(s.screenHeight, 480);
    EXPECT_EQ(s.language, "nl");
    EXPECT_EQ(s.endTime(), 30);
    EXPECT_FLOAT_EQ(s.steps[0].z, -0.9f);
    EXPECT_LT(s.steps[1].z, -0.5);
    EXPECT_EQ(s.steps[2].locked, 3);
    EXPECT_EQ(s.steps[2].unlocked, 2);
    EXPECT_EQ(s.steps[2].speed, 2);
    EXPECT_EQ(s.steps[3].text, "headset switch");
    EXPECT_TRUE(s.steps[3].on);
    EXPECT_EQ(s.speed, 1000) << "the limits themselves are allowed";
    EXPECT_EQ(s.steps[4].x, 16);
    EXPECT_EQ(s.steps[4].y, -16);
    ASSERT_EQ(s.expectations.size(), 3u);
    EXPECT_EQ(s.expectations[0].kind, Expectation::Kind::AnsweredAtWave);
    EXPECT_EQ(s.expectations[0].wave, 3);
    EXPECT_EQ(s.expectations[1].text, "Wave thrice to answer");
    EXPECT_EQ(s.expectations[2].kind, Expectation::Kind::NoEvent);
    EXPECT_EQ(s.expectations[2].source, "expect no event \"speaker on\"");
}

TEST(ScenarioFormat, ErrorsNameFileLineAndProblem) {
    EXPECT_EQ(errorOf("at 0 pose up\n\nat 2 pose sideways\n"),
              "t.scn:3: pose is 'up', 'down' or three numbers x y z in g");
    EXPECT_EQ(errorOf("at -1 call incoming\n"), "t.scn:1: the time must not be negative, not -1");
    EXPECT_EQ(errorOf("at 1 locked maybe\n"), "t.scn:1: expected 'yes' or 'no', not 'maybe'");
    EXPECT_EQ(errorOf("at 1 lock-button now\n"), "t.scn:1: unexpected 'now'");
    EXPECT_EQ(errorOf("at 1 waves 0\n"),
              "t.scn:1: the number of waves must be a whole number from 1 to 20, not 0");
    EXPECT_EQ(errorOf("at 1 settings waves locked 2\n"),
              "t.scn:1: write 'settings waves locked N unlocked M speed slow|medium|fast'");
    EXPECT_EQ(errorOf("at 1 settings waves locked 2 unlocked 1 speed warp\n"),
              "t.scn:1: speed must be slow, medium or fast, not 'warp'");
    // The picker's own ranges: up to three waves for a locked phone, two for an unlocked one.
    EXPECT_EQ(errorOf("at 0 pose up\nat 1 settings waves locked 3 unlocked 3 speed fast\n"),
              "t.scn:2: the waves for an unlocked phone must be a whole number from 1 to 2, not 3");
    EXPECT_EQ(errorOf("at 1 settings waves locked 4 unlocked 2 speed fast\n"),
              "t.scn:1: the waves for a locked phone must be a whole number from 1 to 3, not 4");
    EXPECT_EQ(errorOf("speed 0\nat 1 wave\n"),
              "t.scn:1: the speed must be above 0 and at most 1000");
    EXPECT_EQ(errorOf("screen-height 500\n"), "t.scn:1: the screen height is 480 or 568");
    EXPECT_EQ(errorOf("at\n"), "t.scn:1: 'at' is missing a word at the end");
    EXPECT_EQ(errorOf("ring the phone\n"),
              "t.scn:1: unknown line 'ring the phone' (lines start with at, expect, title, speed, "
              "language, "
              "screen-height or end)");
    EXPECT_EQ(errorOf("\n# only comments\n"), "t.scn: no events (lines starting with 'at')");
    EXPECT_EQ(errorOf("at 0 pose up\nat 60 wave\n\nat 6.5 call ended\n"),
              "t.scn:4: an event at 6.5 s comes before the one at 60 s on line 2: write the events "
              "in time order");
}

// A word that is not one a place takes, but close to one, is named with that one; the list of
// what it takes when nothing is close.
TEST(ScenarioFormat, UnknownKeywordsSuggestTheNearestOne) {
    const std::pair<const char*, const char*> cases[] = {
        {"at 0 lockd yes\n", "t.scn:1: unknown event 'lockd' (did you mean 'locked'?)"},
        {"at 0 wavee\n", "t.scn:1: unknown event 'wavee' (did you mean 'wave' or 'waves'?)"},
        {"at 0 ring\n",
         "t.scn:1: unknown event 'ring' (the events are call, locked, pose, cover, uncover, wave, "
         "waves, lock-button, headset, bluetooth, settings and note)"},
        {"at 0 call incomming\n",
         "t.scn:1: a call is incoming, active, held or ended, not 'incomming' (did you mean "
         "'incoming'?)"},
        {"at 0 locked yse\n", "t.scn:1: expected 'yes' or 'no', not 'yse' (did you mean 'yes'?)"},
        {"at 0 pose dwon\n",
         "t.scn:1: pose is 'up', 'down' or three numbers x y z in g (did you mean 'down'?)"},
        {"at 0 settings enabeld on\n",
         "t.scn:1: settings are enabled, headset-speaker, latest-detection, waves or info, not "
         "'enabeld' (did you mean 'enabled'?)"},
        {"at 0 settings waves locked 2 unlocked 1 speed fats\n",
         "t.scn:1: speed must be slow, medium or fast, not 'fats' (did you mean 'fast'?)"},
        {"at 0 settings waves lockd 2 unlocked 1 speed fast\n",
         "t.scn:1: write 'settings waves locked N unlocked M speed slow|medium|fast' (did you "
         "mean 'locked'?)"},
        {"tilte A call\nat 0 wave\n",
         "t.scn:1: unknown line 'tilte A call' (did you mean 'title'?)"},
        {"at 0 wave\nexpect answerd at wave 2\n",
         "t.scn:2: unknown expectation 'expect answerd at wave 2' (did you mean 'expect answered "
         "at wave N'?)"},
        {"at 0 wave\nexpect speker on\n",
         "t.scn:2: unknown expectation 'expect speker on' (did you mean 'expect speaker on'?)"},
        {"at 0 wave\nexpect speaker of\n",
         "t.scn:2: expected 'on' or 'off', not 'of' (did you mean 'on' or 'off'?)"},
        {"at 0 wave\nexpect call 2 not answred\n",
         "t.scn:2: 'expect call 2 not answred': a call can be expected answered, not answered or "
         "answered at wave N (did you mean 'expect call 2 not answered'?)"},
    };
    for (const auto& [text, message] : cases) EXPECT_EQ(errorOf(text), message) << text;
}

TEST(ScenarioFormat, TheBuiltInScenarioParses) {
    Scenario s = parsed(sim::kDefaultScenario);
    EXPECT_FALSE(s.title.empty());
    EXPECT_EQ(s.expectations.size(), 3u);
}
