// The simulator's pictures without processes: the plot's data built from typed events, the
// recognizer's state names against the tweak's own values, the narrator's recognizer lines,
// screenshot naming, and the scenario and command-line words that come with them.
#include "plot.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "Telephony.h"
#include "narrator.h"
#include "options.h"
#include "platform/loop/runloop.h"
#include "recognizer.h"
#include "scenario.h"
#include "screenshots.h"
#include "test_support.h"

namespace ev = platform::events;

namespace {

sim::Step step(sim::Step::Kind kind, double z = 0) {
    sim::Step s;
    s.kind = kind;
    s.z = z;
    return s;
}

ev::RecognizerChanged state(int32_t s, double since = -1, double limit = 1.5) {
    return ev::RecognizerChanged{s, limit, since};
}

}  // namespace

TEST(RecognizerNames, AreTheTweaksOwnValues) {
    const std::pair<int32_t, const char*> tweak[] = {
        {kBEGIN_STATE, "kBEGIN_STATE"},
        {kACCELEROMETER_READY_STATE, "kACCELEROMETER_READY_STATE"},
        {kCALL_ANSWERED, "kCALL_ANSWERED"},
        {kPROXIMITY_READY_STATE, "kPROXIMITY_READY_STATE"},
        {kPROXIMITY_COVERED_WAVE_1, "kPROXIMITY_COVERED_WAVE_1"},
        {kPROXIMITY_UNCOVERED_WAVE_1, "kPROXIMITY_UNCOVERED_WAVE_1"},
        {kPROXIMITY_COVERED_WAVE_2, "kPROXIMITY_COVERED_WAVE_2"},
        {kPROXIMITY_UNCOVERED_WAVE_2, "kPROXIMITY_UNCOVERED_WAVE_2"},
        {kCOVERED_BEFORE_ANSWER_CALL, "kCOVERED_BEFORE_ANSWER_CALL"},
    };
    for (const auto& [value, name] : tweak) EXPECT_EQ(sim::recognizerStateName(value), name);
    EXPECT_EQ(std::size(sim::kRecognizerStates), std::size(tweak)) << "every state, once";
    EXPECT_EQ(sim::recognizerStateName(7), "state 7");
}

// A ringing call answered by two waves, as the springboard's events and the scenario's steps
// tell it, with a time-out in between and events of other processes mixed in.
TEST(PlotData, IsBuiltFromTheStepsAndTheSpringboardsEvents) {
    sim::PlotRecorder r("two waves");
    r.step(0, step(sim::Step::Kind::Pose, -0.99));
    r.event(0, "springboard", state(kBEGIN_STATE));
    r.step(0.5, step(sim::Step::Kind::CallIncoming));
    r.event(0.5, "springboard", ev::SensorSwitched{ev::Sensor::Accelerometer, true});
    r.event(0.5, "springboard", state(kACCELEROMETER_READY_STATE));
    r.event(4.5, "springboard", state(kPROXIMITY_READY_STATE));
    r.event(5, "springboard", ev::SensorSwitched{ev::Sensor::Proximity, true});
    r.event(5, "mobilephone", ev::SensorSwitched{ev::Sensor::Proximity, false});  // not its sensor
    r.step(6, step(sim::Step::Kind::Cover));
    r.event(6, "springboard", state(kPROXIMITY_COVERED_WAVE_1, 6));
    r.step(8, step(sim::Step::Kind::Uncover));
    r.event(8, "springboard", state(kPROXIMITY_READY_STATE));  // too slow: timed out
    r.step(9, step(sim::Step::Kind::Cover));
    r.event(9, "springboard", state(kPROXIMITY_COVERED_WAVE_1, 9));
    r.step(9.25, step(sim::Step::Kind::Uncover));
    r.event(9.25, "springboard", state(kPROXIMITY_UNCOVERED_WAVE_1, 9.25));
    r.step(9.5, step(sim::Step::Kind::Cover));
    r.event(9.5, "springboard", state(kCOVERED_BEFORE_ANSWER_CALL, 9.25));
    r.step(9.75, step(sim::Step::Kind::Uncover));
    r.event(9.75, "springboard", state(kCALL_ANSWERED));
    r.modem(9.75, sim::ModemChange::Answered);
    r.event(9.75, "springboard", ev::SensorSwitched{ev::Sensor::Accelerometer, false});
    r.event(9.75, "springboard", state(kBEGIN_STATE));
    r.modem(11.75, sim::ModemChange::SpeakerOn);
    r.step(13, step(sim::Step::Kind::Pose, 0.98));  // turned over after the call
    r.failedExpectation(14, "line 9: expect speaker off");
    const sim::PlotData d = r.finish(14);

    EXPECT_EQ(d.title, "two waves");
    EXPECT_EQ(d.end, 14);
    ASSERT_EQ(d.z.size(), 2u);
    EXPECT_EQ(d.z[1].value, 0.98);
    std::vector<std::string> names;
    for (const auto& s : d.states) names.push_back(sim::recognizerStateName(s.state));
    EXPECT_EQ(names, (std::vector<std::string>{
                         "kBEGIN_STATE", "kACCELEROMETER_READY_STATE", "kPROXIMITY_READY_STATE",
                         "kPROXIMITY_COVERED_WAVE_1", "kPROXIMITY_READY_STATE",
                         "kPROXIMITY_COVERED_WAVE_1", "kPROXIMITY_UNCOVERED_WAVE_1",
                         "kCOVERED_BEFORE_ANSWER_CALL", "kCALL_ANSWERED", "kBEGIN_STATE"}));
    ASSERT_EQ(d.accelerometer.size(), 1u);
    EXPECT_EQ(d.accelerometer[0].from, 0.5);
    EXPECT_EQ(d.accelerometer[0].to, 9.75);
    ASSERT_EQ(d.armed.size(), 1u);
    EXPECT_EQ(d.armed[0].to, 14) << "still armed at the end (the other process's sensor aside)";
    ASSERT_EQ(d.screenUp.size(), 1u) << "ready, waving and answered are one decision";
    EXPECT_EQ(d.screenUp[0].from, 4.5);
    EXPECT_EQ(d.screenUp[0].to, 9.75);
    EXPECT_EQ(d.covered.size(), 3u);

    // Three waves timed: the slow one ended by its uncovering past the limit, the next from its
    // covering until it was uncovered, the last from that uncovering until the answer.
    ASSERT_EQ(d.waveLimits.size(), 3u);
    EXPECT_EQ(d.waveLimits[0].from, 6);
    EXPECT_EQ(d.waveLimits[0].to, 7.5);
    EXPECT_EQ(d.waveLimits[0].ended, 8) << "past its limit";
    EXPECT_EQ(d.waveLimits[1].from, 9);
    EXPECT_EQ(d.waveLimits[1].ended, 9.25);
    EXPECT_EQ(d.waveLimits[2].from, 9.25);
    EXPECT_EQ(d.waveLimits[2].ended, 9.75);

    std::vector<std::pair<double, sim::MomentKind>> moments;
    for (const auto& m : d.moments) moments.emplace_back(m.at, m.kind);
    EXPECT_EQ(moments, (std::vector<std::pair<double, sim::MomentKind>>{
                           {0.5, sim::MomentKind::Incoming},
                           {9.75, sim::MomentKind::Answer},
                           {11.75, sim::MomentKind::Speaker},
                           {14, sim::MomentKind::FailedExpectation}}));
    EXPECT_EQ(d.moments.back().label, "line 9: expect speaker off");

    const auto json = nlohmann::json::parse(sim::toJson(d));
    EXPECT_EQ(json["states"][3]["name"], "kPROXIMITY_COVERED_WAVE_1");
    EXPECT_EQ(json["waveLimits"][0]["ended"], 8.0);
    EXPECT_EQ(json["moments"][1]["kind"], "answer");
}

TEST(PlotData, AnEmptyScenarioHasNothingButItsEnd) {
    const sim::PlotData d = sim::PlotRecorder("").finish(4);
    EXPECT_TRUE(d.states.empty() && d.z.empty() && d.moments.empty() && d.waveLimits.empty());
    testing_support::ScratchDir dir;
    EXPECT_TRUE(sim::writePlot(d, dir.file("empty.png")));
    EXPECT_TRUE(sim::writePlot(d, dir.file("empty.svg")));
    auto bad = sim::writePlot(d, dir.file("no/such/folder/p.png"));
    ASSERT_FALSE(bad);
    EXPECT_NE(bad.error().find("no/such/folder/p.png"), std::string::npos) << bad.error();
    EXPECT_FALSE(sim::writePlot(d, dir.file("p.gif")));
}

// What a scenario file says ends up in the picture: thousands of failed expectations list the
// first ones and count the rest, and control characters or markup in a text neither break the
// SVG nor reach it raw.
TEST(PlotPicture, HostileReportsGiveABoundedWellFormedPicture) {
    sim::PlotRecorder r("a <title> & \x1b[2J");
    for (int i = 0; i < 5000; ++i)
        r.failedExpectation(4, "line " + std::to_string(i) + ": expect hint \"<\x07>\"");
    const sim::PlotData d = r.finish(4);
    testing_support::ScratchDir dir;
    ASSERT_TRUE(sim::writePlot(d, dir.file("p.svg")));
    ASSERT_TRUE(sim::writePlot(d, dir.file("p.png")));
    const std::string svg = testing_support::readFile(dir.file("p.svg"));
    EXPECT_EQ(svg.find('\x1b'), std::string::npos);
    EXPECT_EQ(svg.find('\x07'), std::string::npos);
    EXPECT_NE(svg.find(">a &lt;title&gt; &amp; \\x1b[2J</text>"), std::string::npos);
    EXPECT_NE(svg.find("failed: line 0: expect hint \"&lt;\\x07&gt;\"</text>"), std::string::npos);
    EXPECT_NE(svg.find(" more failed expectations (the timeline lists every one)</text>"),
              std::string::npos);
    EXPECT_EQ(svg.find("line 4999:"), std::string::npos);
    std::FILE* png = std::fopen(dir.file("p.png").c_str(), "rb");
    ASSERT_NE(png, nullptr);
    unsigned char header[24] = {};
    EXPECT_EQ(std::fread(header, 1, sizeof header, png), sizeof header);
    std::fclose(png);
    const unsigned height = header[20] << 24 | header[21] << 16 | header[22] << 8 | header[23];
    EXPECT_GT(height, 5000u);
    EXPECT_LE(height, 8000u) << "bounded";
}

TEST(Narrator, NamesTheRecognizersStateOnlyWhenItChanges) {
    platform::useVirtualClock();
    char* buffer = nullptr;
    size_t size = 0;
    std::FILE* out = ::open_memstream(&buffer, &size);
    {
        sim::Timeline t(false, out);
        sim::Narrator n(t);
        n.event("springboard", state(kBEGIN_STATE));
        n.event("springboard", state(kPROXIMITY_COVERED_WAVE_1, 6));
        n.event("springboard", state(kPROXIMITY_COVERED_WAVE_1, 6, 0.7));  // the limit changed
        n.event("springboard", ev::ScreenshotWritten{"/tmp/x.png"});       // the simulator's
        n.event("springboard", state(kCALL_ANSWERED));
        EXPECT_EQ(t.events(),
                  (std::vector<std::string>{"wave recognizer: kBEGIN_STATE",
                                            "wave recognizer: kPROXIMITY_COVERED_WAVE_1",
                                            "wave recognizer: kCALL_ANSWERED"}));
    }
    std::fclose(out);
    std::free(buffer);
}

TEST(Timeline, AScreenshotIsALineAndAJsonKey) {
    platform::VirtualClock& clock = platform::useVirtualClock();
    char* buffer = nullptr;
    size_t size = 0;
    std::FILE* out = ::open_memstream(&buffer, &size);
    sim::Timeline t(true, out);
    t.setStart(clock.now());
    clock.set(clock.now() + 6.8125);
    t.heading("Scenario: s.scn");
    t.screenshot("springboard", "shots/0006.812-springboard.png", t.now());
    EXPECT_TRUE(t.contains("screenshot shots/"));
    t.finish(0);
    std::fflush(out);
    const auto doc = nlohmann::json::parse(std::string(buffer, size));
    ASSERT_EQ(doc["timeline"].size(), 1u) << doc.dump();
    const auto& line = doc["timeline"][0];
    EXPECT_EQ(line["type"], "screenshot");
    EXPECT_EQ(line["what"], "screenshot shots/0006.812-springboard.png");
    EXPECT_EQ(line["details"]["file"], "shots/0006.812-springboard.png");
    EXPECT_EQ(line["process"], "springboard");
    EXPECT_DOUBLE_EQ(line["time"].get<double>(), 6.8125);
    std::fclose(out);
    std::free(buffer);
}

// The JSON timeline and the plot's data give a time to the microsecond, as docs/json.md and
// docs/scenarios.md promise (the text timeline shows milliseconds).
TEST(Timeline, JsonTimesAndThePlotsDataKeepMicroseconds) {
    const std::pair<double, const char*> cases[] = {
        {0.0123456, "0.012346"}, {4.499999761, "4.5"}, {6.8125, "6.8125"}};
    for (const auto& [t, shown] : cases) {
        platform::VirtualClock& clock = platform::useVirtualClock();
        char* buffer = nullptr;
        size_t size = 0;
        std::FILE* out = ::open_memstream(&buffer, &size);
        {
            sim::Timeline timeline(true, out);
            timeline.setStart(clock.now());
            clock.set(clock.now() + t);
            timeline.add("sim", "a line");
            timeline.finish(0);
        }
        std::fclose(out);
        const std::string json(buffer, size);
        std::free(buffer);
        EXPECT_NE(json.find(std::string("\"time\":") + shown + ","), std::string::npos) << json;
        sim::PlotRecorder plot("");
        sim::Step pose;
        pose.kind = sim::Step::Kind::Pose;
        plot.step(t, pose);
        const std::string data = sim::toJson(plot.finish(10));
        EXPECT_NE(data.find(std::string("\"at\": ") + shown + ","), std::string::npos) << data;
    }
}

TEST(Screenshots, PendingPicturesAreNamedByTimeAndProcessAndNothingElseIsMoved) {
    testing_support::ScratchDir dir;
    auto shots = sim::Screenshots::open(dir.file("shots"));
    ASSERT_TRUE(shots) << shots.error();
    const std::string abs = shots->absoluteDir();
    auto pending = [&](const std::string& name) {
        testing_support::writeFile(abs + "/" + sim::kPendingScreenshotPrefix + name, "png");
        return abs + "/" + sim::kPendingScreenshotPrefix + name;
    };
    EXPECT_EQ(*shots->name("springboard", pending("springboard-1.png"), 6.8125),
              dir.file("shots/0006.812-springboard.png"));
    EXPECT_EQ(*shots->name("springboard", pending("springboard-2.png"), 6.8125),
              dir.file("shots/0006.812-springboard-2.png"));
    EXPECT_EQ(*shots->name("preferences", pending("preferences-1.png"), 6.8125),
              dir.file("shots/0006.812-preferences.png"));
    EXPECT_EQ(testing_support::readFile(dir.file("shots/0006.812-springboard-2.png")), "png");

    testing_support::writeFile(dir.file("precious.png"), "mine");
    testing_support::writeFile(abs + "/notes.png", "mine");
    EXPECT_FALSE(shots->name("springboard", dir.file("precious.png"), 1)) << "outside the folder";
    EXPECT_FALSE(shots->name("springboard", abs + "/notes.png", 1)) << "not a pending picture";
    EXPECT_FALSE(shots->name("springboard", abs + "/../precious.png", 1));
    EXPECT_FALSE(
        shots->name("springboard", abs + "/" + sim::kPendingScreenshotPrefix + "gone.png", 1))
        << "the failure of a missing file";
    pending("left-over.png");
    shots->removeLeftovers();
    EXPECT_FALSE(
        std::filesystem::exists(abs + "/" + sim::kPendingScreenshotPrefix + "left-over.png"));
    EXPECT_TRUE(std::filesystem::exists(abs + "/notes.png"));
    EXPECT_TRUE(std::filesystem::exists(dir.file("precious.png")));

    testing_support::writeFile(dir.file("file"), "");
    auto notAFolder = sim::Screenshots::open(dir.file("file/shots"));
    ASSERT_FALSE(notAFolder);
    EXPECT_NE(notAFolder.error().find(dir.file("file/shots")), std::string::npos);
}

TEST(ScenarioFormat, InformationButtonsAndThePicturesCommandLine) {
    auto sc =
        sim::parseScenario("at 1 settings info how-it-works\nat 2 settings info about\n", "s.scn");
    ASSERT_TRUE(sc) << sc.error();
    EXPECT_EQ(sc->steps[0].kind, sim::Step::Kind::SettingsInfo);
    EXPECT_EQ(sc->steps[0].text, "how it works");
    EXPECT_EQ(sc->steps[1].text, "about");
    auto bad = sim::parseScenario("at 1 settings info help\n", "s.scn");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error(),
              "s.scn:1: the information buttons are how-it-works, headset and about, not 'help'");

    const char* ok[] = {"orvella-sim", "--screenshots", "shots",  "--plot", "a.png",
                        "--plot",      "b.svg",         "--plot", "c.json"};
    auto o = sim::parseOptions(9, ok, "pkg");
    ASSERT_TRUE(o) << o.error();
    EXPECT_EQ(o->screenshots, "shots");
    EXPECT_EQ(o->plots, (std::vector<std::string>{"a.png", "b.svg", "c.json"}));
    const char* gif[] = {"orvella-sim", "--plot", "a.gif"};
    EXPECT_EQ(sim::parseOptions(3, gif, "pkg").error(),
              "--plot: 'a.gif' is not a .png, .svg or .json file");
    const char* none[] = {"orvella-sim", "--screenshots"};
    EXPECT_EQ(sim::parseOptions(2, none, "pkg").error(), "--screenshots: needs a value");
}
