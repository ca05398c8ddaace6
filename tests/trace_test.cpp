// Trace events: their one-line texts (what tests and the timeline have always read) and their
// signals on the phone's bus.
#include "platform/core/trace.h"

#include <gtest/gtest.h>

#include "platform/bus/bus.h"
#include "protocol/interfaces.h"
#include "protocol/trace.h"

using namespace platform;
using protocol::traceEventOf;
using protocol::traceEventsOf;
using protocol::traceSignal;
using protocol::traceSignals;
namespace ev = platform::events;

namespace {

const TracedView kHint{"UILabel", 103, 0, 38.5, 320, 20, "Wave twice to answer"};

// Every kind of event, with the line it reads as.
const std::vector<std::pair<TraceEvent, std::string>>& everyEvent() {
    static const std::vector<std::pair<TraceEvent, std::string>> all = {
        {ev::ViewAdded{kHint},
         "view added: UILabel tag 103 frame (0,38.5,320,20) text \"Wave twice to answer\""},
        {ev::ViewRemoved{TracedView{"UIImageView", 101, 10, 2, 50, 50, ""}},
         "view removed: UIImageView tag 101 frame (10,2,50,50)"},
        {ev::ButtonTapped{TracedView{"UIButton", 0, 170, 20, 130, 56, "Answer"}},
         "button tapped: UIButton tag 0 frame (170,20,130,56) text \"Answer\""},
        {ev::SwitchFlipped{7, true, "Enabled"}, "switch flipped on: tag 7 beside \"Enabled\""},
        {ev::PickerTurned{1, "Twice"}, "picker column 1 turned to \"Twice\""},
        {ev::AlertShown{"Warning", "Really?", {"Yes", "No"}},
         "alert shown: \"Warning\" \"Really?\" buttons [Yes, No]"},
        {ev::AlertClosed{"Yes"}, "alert closed with \"Yes\""},
        {ev::URLOpened{"cydia://package/x"}, "openURL: cydia://package/x"},
        {ev::SensorSwitched{ev::Sensor::Accelerometer, true}, "accelerometer on"},
        {ev::SensorSwitched{ev::Sensor::Accelerometer, false}, "accelerometer off"},
        {ev::SensorSwitched{ev::Sensor::Proximity, true}, "proximity sensor armed"},
        {ev::SensorSwitched{ev::Sensor::Proximity, false}, "proximity sensor off"},
        {ev::CallAnswered{ev::AnswerControl::Button}, "call answered by the answer bar (button)"},
        {ev::CallAnswered{ev::AnswerControl::Slide}, "call answered by the answer bar (slide)"},
        {ev::SlideFinished{}, "answer bar slide finished"},
        {ev::InCallButtonTapped{3}, "in-call button 3 tapped"},
        {ev::SpeakerButtonTapped{true}, "in-call speaker button tapped: speaker on"},
        {ev::CallScreenChanged{ev::CallScreen::Incoming, true}, "incoming call screen shown"},
        {ev::CallScreenChanged{ev::CallScreen::InCall, false}, "in-call screen removed"},
        {ev::LockScreenRotated{4}, "lock screen rotated to orientation 4"},
        {ev::TweakInjected{"Orvella.dylib"}, "injected Orvella.dylib"},
        {ev::SettingsShown{"MainViewController"}, "settings shows MainViewController"},
        {ev::PaneOpened{"Orvella_Prefs"}, "settings opened pane Orvella_Prefs"},
        {ev::RecognizerChanged{2, 1.5, 800000006.25},
         "wave recognizer state 2, time limit 1.5 s, wave timed since 800000006.250"},
        {ev::RecognizerChanged{-2, 0.7, -1},
         "wave recognizer state -2, time limit 0.7 s, no wave timed"},
        {ev::WaveTimedOut{1.0625, 0.7},
         "wave timed out: 1.0625 s since it began, over its time limit of 0.7 s"},
        {ev::ScreenshotWritten{"/tmp/s/1.png"}, "screenshot /tmp/s/1.png"},
        {ev::Bookkeeping{"file read: /x"}, "platform: file read: /x"},
    };
    return all;
}

}  // namespace

TEST(TraceEvents, EachReadsAsItsOneLine) {
    for (const auto& [event, line] : everyEvent()) EXPECT_EQ(describe(event), line);
}

TEST(TraceEvents, LineAndEventSinksSeeTheSameEventsAndNothingWithoutASink) {
    EXPECT_FALSE(tracing());
    std::vector<std::string> lines;
    std::vector<TraceEvent> events;
    setTraceSink([&](const std::string& l) { lines.push_back(l); });
    EXPECT_TRUE(tracing());
    setTraceEventSink([&](const TraceEvent& e) { events.push_back(e); });
    trace(ev::SensorSwitched{ev::Sensor::Proximity, true});
    setTraceSink({});
    trace(ev::SlideFinished{});
    setTraceEventSink({});
    EXPECT_FALSE(tracing());
    trace(ev::SlideFinished{});
    EXPECT_EQ(lines, std::vector<std::string>{"proximity sensor armed"});
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(std::holds_alternative<ev::SlideFinished>(events[1]));
}

TEST(TraceSignals, EveryEventCrossesTheBusWithItsFields) {
    for (const auto& [event, line] : everyEvent()) {
        const BusSignal s = traceSignal("springboard", event);
        EXPECT_EQ(s.interface, protocol::trace::kName);
        ASSERT_NE(s.text(0), nullptr);
        EXPECT_EQ(*s.text(0), "springboard");
        const std::optional<TraceEvent> back = traceEventOf(s);
        ASSERT_TRUE(back.has_value()) << line;
        EXPECT_EQ(back->index(), event.index()) << line;
        EXPECT_EQ(describe(*back), line);
    }
    const BusSignal added = traceSignal("springboard", ev::ViewAdded{kHint});
    EXPECT_EQ(added.member, "ViewAdded");
    ASSERT_EQ(added.args.size(), 8u);
    EXPECT_EQ(*added.arg<int64_t>(2), 103) << "the tag travels as a number, not in a sentence";
    EXPECT_EQ(*added.arg<double>(4), 38.5);
}

TEST(TraceSignals, MalformedSignalsAreNotEvents) {
    auto of = [](std::string interface, std::string member, std::vector<BusArg> args) {
        return traceEventOf(
            BusSignal{std::move(interface), std::move(member), std::move(args), {}});
    };
    EXPECT_FALSE(of(protocol::trace::kName, "SwitchFlipped", {std::string("sb"), int64_t{7}}))
        << "missing argument";
    EXPECT_FALSE(of(protocol::trace::kName, "SwitchFlipped", {std::string("sb"), int32_t{7}, true}))
        << "wrong type";
    EXPECT_FALSE(of(protocol::trace::kName, "SwitchFlipped", {int64_t{7}, true})) << "no process";
    EXPECT_FALSE(
        of(protocol::trace::kName, "SwitchFlipped", {int64_t{7}, int64_t{7}, true, std::string()}))
        << "a process that is no text";
    EXPECT_FALSE(of(protocol::trace::kName, "SensorSwitched",
                    {std::string("sb"), std::string("gyro"), true}));
    EXPECT_FALSE(of(protocol::trace::kName, "Teleported", {std::string("sb")}));
    EXPECT_FALSE(of(protocol::trace::kName, protocol::trace::Log::kMember,
                    {std::string("sb"), std::string("x")}));
    EXPECT_FALSE(of(protocol::hardware::kName, "SlideFinished", {std::string("sb")}));
    EXPECT_TRUE(
        of(protocol::trace::kName, "SlideFinished", {std::string("sb"), std::string("extra")}))
        << "arguments added later are ignored";
}

// The events of one pass cross the bus daemon together: as few signals as the 255-character
// signature limit allows, in order, a lone one as its own signal; a signal with one malformed
// event gives none.
TEST(TraceSignals, EventsOfOnePassTravelTogetherInOrder) {
    std::vector<TraceEvent> all;
    for (int round = 0; round < 4; ++round)
        for (const auto& [event, line] : everyEvent()) all.push_back(event);
    const std::vector<BusSignal> signals = traceSignals("springboard", all);
    ASSERT_GT(signals.size(), 1u) << "more fields than one signature holds";
    EXPECT_LT(signals.size(), all.size() / 10);
    std::vector<TraceEvent> back;
    for (const BusSignal& s : signals) {
        EXPECT_EQ(s.member, protocol::trace::Events::kMember);
        size_t signature = 0;
        for (const BusArg& a : s.args)
            signature += std::holds_alternative<std::vector<std::string>>(a) ? 2 : 1;
        EXPECT_LE(signature, 255u);
        for (TraceEvent& e : traceEventsOf(s)) back.push_back(std::move(e));
    }
    ASSERT_EQ(back.size(), all.size());
    for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(describe(back[i]), describe(all[i])) << i;

    const std::vector<BusSignal> lone = traceSignals("springboard", {ev::SlideFinished{}});
    ASSERT_EQ(lone.size(), 1u);
    EXPECT_EQ(lone[0].member, "SlideFinished");
    EXPECT_EQ(traceEventsOf(lone[0]).size(), 1u);
    EXPECT_TRUE(traceSignals("springboard", {}).empty());

    BusSignal broken = traceSignals("sb", {ev::SlideFinished{}, ev::InCallButtonTapped{3}})[0];
    ASSERT_EQ(broken.args.size(), 4u);
    EXPECT_EQ(traceEventsOf(broken).size(), 2u);
    broken.args[3] = std::string("three");
    EXPECT_TRUE(traceEventsOf(broken).empty()) << "a field of the wrong type";
    broken.args.resize(3);
    EXPECT_TRUE(traceEventsOf(broken).empty()) << "a field missing";
    broken.args[2] = std::string("Teleported");
    EXPECT_TRUE(traceEventsOf(broken).empty()) << "no such event";
}
