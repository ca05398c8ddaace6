// Whole calls through the call monitor, orientation gate, wave recognizer and answering, in
// virtual time, driven and observed only through the platform.
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <limits>
#include <optional>
#include <tuple>

#include "binary_list.h"
#include "phone_fixture.h"
#include "watched_fifo.h"

using platform::Dictionary;
using platform::Value;
using testing_support::PhoneTest;

namespace {

Dictionary waveSettings(int locked, int unlocked, int speed) {
    return Dictionary{{"WaveProtocolLocked", Value(locked)},
                      {"WaveProtocolUnlocked", Value(unlocked)},
                      {"WaveProtocolSpeed", Value(speed)}};
}

const float kDelays[] = {2.5f, 1.5f, 0.7f};

}  // namespace

class Engine : public PhoneTest {};

TEST_F(Engine, EveryWaveCountAnswersAtTheRightUncoveringForEveryLockStateAndSpeed) {
    struct Case {
        bool locked;
        int index;
        int waves;
    };
    const Case cases[] = {{true, 0, 1}, {true, 1, 2}, {true, 2, 3}, {false, 0, 1}, {false, 1, 2}};
    startTweak();
    for (int speed = 0; speed <= 2; ++speed) {
        for (const Case& c : cases) {
            SCOPED_TRACE("speed " + std::to_string(speed) + (c.locked ? " locked " : " unlocked ") +
                         std::to_string(c.waves) + " waves");
            // The other side is set to a different count, so the wrong side would show.
            changeSettings(c.locked ? waveSettings(c.index, c.index == 0 ? 1 : 0, speed)
                                    : waveSettings(c.index == 0 ? 2 : 0, c.index, speed));
            EXPECT_FLOAT_EQ(Orvella_ProximityDelay, kDelays[speed]);
            posted().clear();
            ring(c.locked);
            EXPECT_TRUE(accelerometerOn());
            ASSERT_LT(layFaceUp(), 10.0);
            for (int w = 1; w <= c.waves; ++w) {
                cover();
                pass(0.2);
                uncover();
                EXPECT_EQ(answered(), w == c.waves) << "after wave " << w;
                pass(0.2);
            }
            EXPECT_EQ(count("com.brelkin.dev.slideopen"), 1);
            EXPECT_EQ(TelFlag(), kCALL_ANSWERED);
            callStatus(platform::kCTCallStatusActive);
            EXPECT_FALSE(proximityOn());
            EXPECT_FALSE(accelerometerOn());
            EXPECT_EQ(TelFlag(), kBEGIN_STATE);
            pass(3);
        }
    }
}

TEST_F(Engine, AWaveTakingExactlyTheLimitTimesOutAndOneJustUnderDoesNot) {
    startTweak();
    for (int speed = 0; speed <= 1; ++speed) {  // slow and medium limits are exact in binary
        SCOPED_TRACE("speed " + std::to_string(speed));
        const double limit = kDelays[speed];
        changeSettings(waveSettings(1, 0, speed));
        posted().clear();
        ring(false);
        layFaceUp();
        cover();
        pass(limit);
        uncover();
        EXPECT_FALSE(answered());
        EXPECT_EQ(TelFlag(), kPROXIMITY_READY_STATE) << "back to waiting for wave 1";
        EXPECT_TRUE(proximityOn()) << "the sensor stays armed";
        wave();
        EXPECT_TRUE(answered()) << "the count restarted at wave 1";
        callStatus(platform::kCTCallStatusEnded);

        posted().clear();
        ring(false);
        layFaceUp();
        cover();
        pass(limit - 0.01);
        uncover();
        EXPECT_TRUE(answered());
        callStatus(platform::kCTCallStatusEnded);
    }
}

TEST_F(Engine, LaterWavesAreTimedFromThePreviousUncoveringPauseIncluded) {
    writeSettings(waveSettings(1, 1, 1));  // two waves, 1.5 s
    startTweak();
    ring(true);
    layFaceUp();
    wave(0.2, 0.0);
    pass(1.0);  // a long pause before wave 2
    cover();
    EXPECT_EQ(TelFlag(), kCOVERED_BEFORE_ANSWER_CALL)
        << "the second covering of two waves goes to state 6 at once";
    pass(0.5);  // uncovering exactly 1.5 s after the first uncovering
    uncover();
    EXPECT_FALSE(answered());
    EXPECT_EQ(TelFlag(), kPROXIMITY_READY_STATE);
    wave();
    wave();
    EXPECT_TRUE(answered());
}

TEST_F(Engine, ThePhoneTurnedOverMidWaveRestartsTheCountAndAfterTheAnswerDisarms) {
    writeSettings(waveSettings(1, 1, 0));  // two waves, slow
    startTweak();
    ring(false);
    layFaceUp();
    wave();
    cover();  // second wave under way
    ASSERT_EQ(TelFlag(), kCOVERED_BEFORE_ANSWER_CALL);
    turnUpsideDown();
    pass(3.3);  // four upside-down samples: not yet
    EXPECT_TRUE(proximityOn());
    pass(0.8);  // the fifth
    EXPECT_EQ(TelFlag(), kACCELEROMETER_READY_STATE);
    EXPECT_FALSE(proximityOn());
    uncover();  // unseen: monitoring is off
    EXPECT_FALSE(answered());
    layFaceUp();
    EXPECT_EQ(TelFlag(), kPROXIMITY_READY_STATE);
    wave();
    EXPECT_FALSE(answered()) << "the count starts over";
    wave();
    EXPECT_TRUE(answered());
    EXPECT_EQ(TelFlag(), kCALL_ANSWERED);
    // Turned over after the answer, before the call becomes active.
    turnUpsideDown();
    pass(4.0);
    EXPECT_EQ(TelFlag(), kACCELEROMETER_READY_STATE);
    EXPECT_FALSE(proximityOn());
}

TEST_F(Engine, LockButtonEndsTheWatchOnlyWhileWaitingForThePoseOrTheFirstWave) {
    startTweak();
    for (int32_t state = -2; state <= 6; ++state) {
        SCOPED_TRACE("flag " + std::to_string(state));
        ring(true);
        layFaceUp();
        TelSetFlag(state);
        posted().clear();
        model().pressLockButton();
        settle();
        const bool ends = state == kACCELEROMETER_READY_STATE || state == kPROXIMITY_READY_STATE;
        EXPECT_EQ(TelFlag(), ends ? kBEGIN_STATE : state);
        EXPECT_EQ(proximityOn(), !ends);
        EXPECT_EQ(accelerometerOn(), !ends);
        EXPECT_EQ(count("com.brelkin.dev.removeActiveLabels"), ends ? 1 : 0);
        callStatus(platform::kCTCallStatusEnded);
    }
    // Pressed while the phone still lies wrong side up (flag -1, sensor never armed).
    ring(false);
    model().pressLockButton();
    settle();
    EXPECT_EQ(TelFlag(), kBEGIN_STATE);
    EXPECT_FALSE(accelerometerOn());
}

TEST_F(Engine, SpeakerFollowsTheAudioRouteAndTheHeadsetSetting) {
    using platform::AVAudioSessionPortBluetoothHFP;
    using platform::AVAudioSessionPortHeadphones;
    struct Case {
        std::vector<std::string> outputs;
        bool speakerWithHeadset;
        bool speaker;
        int routeQueries;
    };
    const Case cases[] = {
        {{}, false, true, 2},
        {{}, true, true, 1},
        {{AVAudioSessionPortHeadphones}, false, false, 2},
        {{AVAudioSessionPortHeadphones}, true, true, 1},
        {{AVAudioSessionPortBluetoothHFP}, false, false, 1},
        {{AVAudioSessionPortBluetoothHFP}, true, false, 1},
        {{AVAudioSessionPortHeadphones, AVAudioSessionPortBluetoothHFP}, false, false, 1},
        {{AVAudioSessionPortHeadphones, AVAudioSessionPortBluetoothHFP}, true, false, 1},
    };
    startTweak();
    LOGGER_ON = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.outputs.size()) + " outputs, setting " +
                     (c.speakerWithHeadset ? "on" : "off"));
        Dictionary d = waveSettings(1, 0, 1);
        d["UseSpeakerWithHeadsetPlugedIn"] = Value(c.speakerWithHeadset);
        changeSettings(d);
        model().setExternalOutputs(c.outputs);
        posted().clear();
        ring(false);
        layFaceUp();
        testing_support::LogCapture log;
        wave(0.2, 0);
        ASSERT_TRUE(answered());
        ASSERT_EQ(posted().size(), 2u);
        EXPECT_EQ(posted()[0].name, "com.brelkin.dev.slideopen");
        EXPECT_EQ(posted()[1].name, "com.brelkin.dev.removeActiveLabels");
        int queries = 0;
        for (const auto& l : log.lines())
            queries += l.find("AUDIO ROUTES -route outputs:") != std::string::npos;
        EXPECT_EQ(queries, c.routeQueries);
        EXPECT_EQ(log.contains("***** SensorLogic - HEADPHONES ARE PLUGGED IN! *****\r\n"),
                  !c.speaker);
        const double answeredAt = *firstTime("com.brelkin.dev.slideopen");
        pass(1.99);
        EXPECT_EQ(count("com.brelkin.dev.turnonspeaker"), 0);
        pass(0.01);
        EXPECT_EQ(count("com.brelkin.dev.turnonspeaker"), c.speaker ? 1 : 0);
        if (c.speaker) {
            EXPECT_NEAR(*firstTime("com.brelkin.dev.turnonspeaker") - answeredAt, 2.0, 1e-6);
        }
        callStatus(platform::kCTCallStatusActive);
        pass(5);
        EXPECT_EQ(count("com.brelkin.dev.turnonspeaker"), c.speaker ? 1 : 0);
    }
}

TEST_F(Engine, LatestDetectionSystemArmsOnTheFifthScreenUpSampleInARow) {
    startTweak();
    ring(false);
    model().setPose(0, 0, -0.99f);
    pass(3.2);  // four samples
    EXPECT_EQ(TelFlag(), kACCELEROMETER_READY_STATE);
    model().setPose(0, 0, -0.05f);  // one sample that is not screen-up resets the count
    pass(0.8);
    model().setPose(0, 0, -0.99f);
    pass(3.2);
    EXPECT_EQ(TelFlag(), kACCELEROMETER_READY_STATE);
    pass(0.8);  // fifth in a row
    EXPECT_EQ(TelFlag(), kPROXIMITY_READY_STATE);
    EXPECT_FALSE(proximityOn()) << "the sensor follows half a second later";
    pass(0.49);
    EXPECT_FALSE(proximityOn());
    pass(0.01);
    EXPECT_TRUE(proximityOn());
    pass(4.0);  // more screen-up samples do not arm again
    EXPECT_EQ(TelFlag(), kPROXIMITY_READY_STATE);
}

TEST_F(Engine, EarlierDetectionSystemMeasuresTimeAndItsBaseSurvivesIntoTheNextCall) {
    writeSettings(Dictionary{{"UseLatestDetectionSystem", Value(false)}});
    startTweak();
    ASSERT_FALSE(Orvella_UseLatestDetectionSystem);
    ring(false);
    model().setPose(0.0f, -0.05f, -0.99f);
    pass(0.8);  // first sample only sets the base
    EXPECT_EQ(TelFlag(), kACCELEROMETER_READY_STATE);
    pass(0.8);  // 0.8 s >= 0.7 s later: armed
    EXPECT_EQ(TelFlag(), kPROXIMITY_READY_STATE);
    pass(0.5);
    EXPECT_TRUE(proximityOn());
    callStatus(platform::kCTCallStatusEnded);
    EXPECT_FALSE(proximityOn());

    pass(30);
    ring(false);
    pass(0.8);  // the base from the last call is long past: the first sample arms
    EXPECT_EQ(TelFlag(), kPROXIMITY_READY_STATE);
    // Upside down: flag back at once, sensor off on the next pass.
    model().setPose(0.0f, 0.1f, 0.98f);
    pass(0.5);
    EXPECT_TRUE(proximityOn());
    pass(0.3);
    EXPECT_EQ(TelFlag(), kACCELEROMETER_READY_STATE);
    EXPECT_FALSE(proximityOn());
}

// A glitching sensor (a component NaN or infinite) used to count as upside down: one glitch in
// the middle of a wave switched proximity off in the earlier detection system, and five in a row
// did in the latest. A glitch now only breaks the screen-up run: with a NaN z compared as "not
// above -0.1" it would arm a phone lying face down, so it must never count as screen-up either.
TEST_F(Engine, MendedAGlitchOnlyBreaksTheScreenUpRunInBothDetectionSystems) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        bool latest;
        float x, y, z;
    };
    std::vector<Case> cases;
    for (const bool latest : {true, false}) {
        for (auto [x, y, z] : {std::tuple{0.0f, 0.0f, nan}, std::tuple{nan, 0.0f, -0.99f},
                               std::tuple{0.0f, inf, -0.99f}, std::tuple{0.0f, 0.0f, -inf}})
            cases.push_back({latest, x, y, z});
    }
    const double every = 0.2;  // samples this often: the earlier system arms 0.8 s after its base
    const auto screenUp = [] { model().setPose(0.02f, -0.05f, -0.99f); };
    const auto samplesUntilArmed = [&] {
        for (int n = 1; n <= 20; ++n) {
            pass(every);
            if (TelFlag() == kPROXIMITY_READY_STATE) return n;
        }
        return 0;
    };
    startTweak();
    objc::msgSend(tel->_SBSAccelerometerInstance, SEL_("setUpdateInterval:"), every);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.latest ? "latest" : "earlier") + " system, sample " +
                     std::to_string(c.x) + " " + std::to_string(c.y) + " " + std::to_string(c.z));
        changeSettings(Dictionary{{"UseLatestDetectionSystem", Value(c.latest)}});  // 1 wave
        posted().clear();
        ring(false);
        turnUpsideDown();  // out of a pocket: clears the earlier system's base of the last call
        pass(every);
        model().setPose(c.x, c.y, c.z);
        pass(10 * every);
        EXPECT_EQ(TelFlag(), kACCELEROMETER_READY_STATE) << "glitches alone never arm";
        // Four screen-up samples, one glitch: the run starts again and needs five more.
        screenUp();
        pass(4 * every);
        model().setPose(c.x, c.y, c.z);
        pass(every);
        EXPECT_EQ(TelFlag(), kACCELEROMETER_READY_STATE);
        screenUp();
        EXPECT_EQ(samplesUntilArmed(), 5);
        pass(0.5);
        ASSERT_TRUE(proximityOn());
        // Mid-wave, six glitches in a row: the wave goes on and answers.
        cover();
        model().setPose(c.x, c.y, c.z);
        pass(6 * every);
        EXPECT_EQ(TelFlag(), kPROXIMITY_COVERED_WAVE_1);
        EXPECT_TRUE(proximityOn());
        uncover();
        EXPECT_TRUE(answered());
        EXPECT_EQ(TelFlag(), kCALL_ANSWERED);
        pass(every);
        EXPECT_TRUE(proximityOn()) << "nor after the answer";
        callStatus(platform::kCTCallStatusEnded);
        EXPECT_FALSE(proximityOn());
    }
}

// Each of these stopped SpringBoard from starting (a hang, a crash, or minutes of work) or read
// a file outside the device root. Each must give the no-file values, and calls go on as ever.
TEST_F(Engine, HostileSettingsFilesGiveTheDefaultsAndTheTweakStillAnswers) {
    testing_support::ScratchDir outside;
    testing_support::writeFile(outside.file("elsewhere.plist"),
                               platform::plist::toXml(Value(Dictionary{{"IsOn", Value(false)}})));
    const auto replaceWith = [&](const std::function<void(const std::string&)>& make) {
        std::filesystem::remove(settingsPath());
        make(settingsPath());
    };
    std::optional<testing_support::WatchedFifo> fifo;
    testing_support::BinaryList deep;
    for (size_t i = 0; i < 100000; ++i) deep.array({i + 1});
    deep.array({});
    testing_support::BinaryList shared;
    for (size_t i = 0; i < 40; ++i) shared.array({i + 1, i + 1});
    shared.integer(1);
    const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> cases = {
        {"a FIFO",
         [&](const std::string& p) {
             fifo.emplace(p);
             ASSERT_TRUE(fifo->made());
         }},
        {"a link out of the root",
         [&](const std::string& p) {
             std::filesystem::create_symlink(outside.file("elsewhere.plist"), p);
         }},
        {"100,000 nested arrays",
         [&](const std::string& p) { testing_support::writeFile(p, deep.bytes(0)); }},
        {"arrays sharing references",
         [&](const std::string& p) { testing_support::writeFile(p, shared.bytes(0)); }},
    };
    startTweak();
    for (const auto& [what, make] : cases) {
        SCOPED_TRACE(what);
        changeSettings(Dictionary{{"IsOn", Value(false)}, {"WaveProtocolLocked", Value(2)}});
        ASSERT_FALSE(Orvella_IsOn);
        replaceWith(make);
        platform::CFNotificationCenterPostNotification(
            platform::CFNotificationCenterGetDarwinNotifyCenter(),
            "com.brelkin.Orvella.settingschanged", nullptr, nullptr, true);
        settle();
        EXPECT_TRUE(Orvella_IsOn);
        EXPECT_EQ(Orvella_LockedStateIndex, 1);
        EXPECT_FLOAT_EQ(Orvella_ProximityDelay, 1.5f);
        posted().clear();
        ring(false);
        ASSERT_LT(layFaceUp(), 5.0);
        wave();
        EXPECT_TRUE(answered());
        callStatus(platform::kCTCallStatusEnded);
        fifo.reset();
    }
}

// The earlier system's wait, with samples at chosen moments: the accelerometer delivers at
// whatever interval it is set to, so the test sets the interval (after the call monitor set
// its own) to put the second screen-up sample 0.6 s or exactly 0.7 s after the first.
class EarlierDetectionWait : public PhoneTest {
  protected:
    void startWithSamplesEvery(double interval) {
        // A clock near the reference date keeps these steps exact: 0.7 s after the base then
        // narrows to the very float the wait is stored as.
        platform::useVirtualClock().set(1000);
        writeSettings(Dictionary{{"UseLatestDetectionSystem", Value(false)}});
        startTweak();
        objc::msgSend(tel->_SBSAccelerometerInstance, SEL_("setUpdateInterval:"), interval);
        model().setPose(0.0f, -0.05f, -0.99f);
        ring(false);
        pass(interval);  // the first sample only sets the base
        ASSERT_EQ(TelFlag(), kACCELEROMETER_READY_STATE);
    }
};

TEST_F(EarlierDetectionWait, ASample0_6SecondsAfterTheBaseDoesNotArm) {
    startWithSamplesEvery(0.6);
    pass(0.6);
    EXPECT_EQ(TelFlag(), kACCELEROMETER_READY_STATE);
    pass(0.6);  // 1.2 s after the base, which stayed
    EXPECT_EQ(TelFlag(), kPROXIMITY_READY_STATE);
}

TEST_F(EarlierDetectionWait, ASampleExactly0_7SecondsAfterTheBaseArms) {
    startWithSamplesEvery(0.7);
    pass(0.7);
    EXPECT_EQ(TelFlag(), kPROXIMITY_READY_STATE) << "equality arms";
    pass(0.5);
    EXPECT_TRUE(proximityOn());
}

TEST(OrientationClassifier, RulesAndTheMovementTest) {
    prevX = 0;
    prevY = 0;
    prevRetValue = -1;
    EXPECT_EQ(getPhoneOrientationState(0, 0.5f, 0), 3) << "first rule";
    EXPECT_EQ(getPhoneOrientationState(0, 1.5f, -0.5f), 3) << "second rule";
    EXPECT_EQ(getPhoneOrientationState(0, 1.5f, -0.7f), 1)
        << "falls through; moving before any still sample";
    EXPECT_EQ(getPhoneOrientationState(0.1f, 1.6f, -0.7f), 1) << "still";
    EXPECT_EQ(getPhoneOrientationState(0.9f, 1.6f, -0.7f), -1) << "moving after a still sample";
    EXPECT_EQ(prevRetValue, 1);
    EXPECT_FLOAT_EQ(prevX, 0.9f);
    EXPECT_EQ(getPhoneOrientationState(0.9f, -0.9f, -0.2f), -1) << "y moved by 2.5";
    EXPECT_EQ(getPhoneOrientationState(0.9f, -0.8f, -0.14f), 3) << "z just above -0.15";
    EXPECT_EQ(getPhoneOrientationState(0.9f, -0.9f, -0.14f), 1)
        << "y at or below -0.85 is no first-rule case";
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(getPhoneOrientationState(nan, -0.9f, -0.7f), 3) << "a bad sample never arms";
    EXPECT_FLOAT_EQ(prevX, 0.9f) << "and is not remembered as the last position";
}

TEST_F(Engine, SettingsFileReadings) {
    struct Case {
        const char* what;
        std::optional<Dictionary> file;
        bool isOn, headset, latest;
        int32_t locked, unlocked;
        float delay;
    };
    platform::Data bytes{1, 2};
    const Case cases[] = {
        {"no file", std::nullopt, true, false, true, 1, 0, 1.5f},
        {"only IsOn", Dictionary{{"IsOn", Value(false)}}, false, false, true, 0, 0, 2.5f},
        {"-1 everywhere", waveSettings(-1, -1, -1), true, false, true, 1, 0, 1.5f},
        {"out of range", waveSettings(7, 2, 2), true, false, true, 7, 2, 0.7f},
        {"speed out of range keeps the last delay", waveSettings(0, 0, 3), true, false, true, 0, 0,
         0.7f},
        {"numeric texts",
         Dictionary{{"IsOn", Value("NO")},
                    {"UseSpeakerWithHeadsetPlugedIn", Value("yes")},
                    {"UseLatestDetectionSystem", Value("0")},
                    {"WaveProtocolLocked", Value(" 2")},
                    {"WaveProtocolUnlocked", Value("1abc")},
                    {"WaveProtocolSpeed", Value("0")}},
         false, true, false, 2, 1, 2.5f},
        {"numbers for booleans and reals for integers",
         Dictionary{{"IsOn", Value(0)},
                    {"UseSpeakerWithHeadsetPlugedIn", Value(2)},
                    {"WaveProtocolLocked", Value(1.9)},
                    {"WaveProtocolSpeed", Value(true)}},
         false, true, true, 1, 0, 1.5f},
        {"wrong types count as missing",
         Dictionary{{"IsOn", Value(platform::Date{5})},
                    {"UseLatestDetectionSystem", Value(bytes)},
                    {"WaveProtocolLocked", Value(platform::Array{Value(2)})},
                    {"WaveProtocolSpeed", Value(Dictionary{})}},
         true, false, true, 0, 0, 2.5f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(settingsPath());
        if (c.file) writeSettings(*c.file);
        LoadPrefs();
        EXPECT_EQ(Orvella_IsOn, c.isOn);
        EXPECT_EQ(Orvella_UseSpeakerWithHeadsetPlugedIn, c.headset);
        EXPECT_EQ(Orvella_UseLatestDetectionSystem, c.latest);
        EXPECT_EQ(Orvella_LockedStateIndex, c.locked);
        EXPECT_EQ(Orvella_UnlockedStateIndex, c.unlocked);
        EXPECT_FLOAT_EQ(Orvella_ProximityDelay, c.delay);
    }
    // Unreadable files fall back to the no-file values.
    for (const char* bad :
         {"", "<plist><dict><key>IsOn</key><false/>", "(1, 2)", "\x00\x01garbage"}) {
        testing_support::writeFile(settingsPath(), bad);
        LoadPrefs();
        EXPECT_TRUE(Orvella_IsOn);
        EXPECT_EQ(Orvella_LockedStateIndex, 1);
        EXPECT_EQ(Orvella_UnlockedStateIndex, 0);
        EXPECT_FLOAT_EQ(Orvella_ProximityDelay, 1.5f);
    }
}

TEST_F(Engine, LoadingLogsTheFileAndTheDetectionSystem) {
    writeSettings(Dictionary{{"IsOn", Value(true)}});
    LOGGER_ON = true;
    testing_support::LogCapture log;
    LoadPrefs();
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "** Orvella ** LoadPrefs", "** Orvella ** LoadPrefs: {\n    IsOn = 1;\n}",
                  "** Orvella ** LoadPrefs, Orvella_UseLatestDetectionSystem = YES"}));
}

// A speed outside the table with no earlier delay used to leave the limit at 0, so every wave
// timed out; the medium limit applies instead.
TEST_F(Engine, MendedSpeedOutOfRangeOnTheFirstLoadGivesTheMediumLimit) {
    writeSettings(waveSettings(0, 0, 9));
    startTweak();
    EXPECT_FLOAT_EQ(Orvella_ProximityDelay, 1.5f);
    ring(false);
    layFaceUp();
    wave();
    EXPECT_TRUE(answered());
    changeSettings(waveSettings(0, 0, 0));
    EXPECT_FLOAT_EQ(Orvella_ProximityDelay, 2.5f);
    changeSettings(waveSettings(0, 0, 42));
    EXPECT_FLOAT_EQ(Orvella_ProximityDelay, 2.5f) << "an earlier load's delay is kept";
}

// An arm scheduled just before the call ends used to switch the sensor on after the call.
TEST_F(Engine, MendedArmScheduledBeforeTheCallEndsDoesNothingAfterIt) {
    startTweak();
    ring(false);
    model().setPose(0, 0, -0.99f);
    pass(4.0);
    ASSERT_EQ(TelFlag(), kPROXIMITY_READY_STATE);
    ASSERT_FALSE(proximityOn());
    pass(0.2);
    callStatus(platform::kCTCallStatusEnded);  // 0.3 s before the arm runs
    pass(1.0);
    EXPECT_FALSE(proximityOn());
    EXPECT_EQ(TelFlag(), kBEGIN_STATE);
    // The next call still arms normally.
    ring(false);
    EXPECT_LT(layFaceUp(), 5.0);
}

// Switching the tweak off during a ringing call used to leave both sensors on after the call.
TEST_F(Engine, MendedSwitchTurnedOffDuringACallStillEndsTheWatch) {
    startTweak();
    ring(false);
    layFaceUp();
    changeSettings(Dictionary{{"IsOn", Value(false)}});
    ASSERT_FALSE(Orvella_IsOn);
    posted().clear();
    callStatus(platform::kCTCallStatusActive);
    EXPECT_FALSE(proximityOn());
    EXPECT_FALSE(accelerometerOn());
    EXPECT_EQ(TelFlag(), kBEGIN_STATE);
    EXPECT_EQ(count("com.brelkin.dev.removeActiveLabels"), 1);
    // With the switch off and nothing watched, the statuses still do nothing.
    posted().clear();
    callStatus(platform::kCTCallStatusIncoming);
    EXPECT_EQ(TelFlag(), kBEGIN_STATE);
    EXPECT_FALSE(accelerometerOn());
    callStatus(platform::kCTCallStatusEnded);
    EXPECT_EQ(count("com.brelkin.dev.removeActiveLabels"), 0);
}

// The hint used to read "Wave  to answer" for an index the recognizer takes as three waves.
TEST_F(Engine, MendedHintSaysThriceForEveryIndexThatMeansThreeWaves) {
    struct Case {
        int32_t locked, unlocked;
        const char* lockedHint;
        const char* unlockedHint;
    };
    const Case cases[] = {{0, 0, "Wave once to answer", "Wave once to answer"},
                          {1, 1, "Wave twice to answer", "Wave twice to answer"},
                          {2, 2, "Wave thrice to answer", "Wave thrice to answer"},
                          {7, -5, "Wave thrice to answer", "Wave thrice to answer"}};
    for (const Case& c : cases) {
        Orvella_LockedStateIndex = c.locked;
        Orvella_UnlockedStateIndex = c.unlocked;
        EXPECT_EQ(getConfiguredWaveProtocol(true), c.lockedHint);
        EXPECT_EQ(getConfiguredWaveProtocol(false), c.unlockedHint);
    }
    // And an unlocked index of 2 does answer after the third wave.
    writeSettings(waveSettings(0, 2, 1));
    startTweak();
    ring(false);
    layFaceUp();
    wave();
    wave();
    EXPECT_FALSE(answered());
    wave();
    EXPECT_TRUE(answered());
}

TEST_F(Engine, CallStatusEdgeCases) {
    startTweak();
    LOGGER_ON = true;
    testing_support::LogCapture log;
    // Statuses other than 4, 1 and 5 only log.
    ring(false);
    model().setPose(0, 0, -0.99f);
    pass(2.4);  // three samples counted
    callStatus(platform::kCTCallStatusHeld);
    callStatus(platform::kCTCallStatusOutgoing);
    EXPECT_TRUE(log.contains("***** telephonyEventCallback - kCTCall State: 2 *****"));
    EXPECT_TRUE(accelerometerOn());
    // A second ringing status restarts the count and reads the lock state again.
    model().setLocked(true);
    callStatus(platform::kCTCallStatusIncoming);
    EXPECT_TRUE(
        log.contains("***** telephonyEventCallback - tel.wasLockedOnIncomingCall: YES *****"));
    pass(3.2);
    EXPECT_EQ(TelFlag(), kACCELEROMETER_READY_STATE) << "four samples since the restart";
    pass(0.8);
    EXPECT_EQ(TelFlag(), kPROXIMITY_READY_STATE);
    // The alternate channel is handled alike; ending twice posts twice and switches off twice.
    posted().clear();
    model().setCallStatus(platform::kCTCallStatusActive, /*alternate=*/true);
    settle();
    callStatus(platform::kCTCallStatusEnded);
    EXPECT_EQ(count("com.brelkin.dev.removeActiveLabels"), 2);
    EXPECT_FALSE(proximityOn());
    // Master switch off: a ringing call leaves only the status line.
    changeSettings(Dictionary{{"IsOn", Value(false)}});
    log.clear();
    callStatus(platform::kCTCallStatusIncoming);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"***** telephonyEventCallback - kCTCall State: 4 *****"});
    EXPECT_EQ(TelFlag(), kBEGIN_STATE);
}

TEST_F(Engine, OutsideSpringBoardCallStatusIsIgnoredButProximityAndLockAreHandled) {
    startTweak();
    platform::bundle::setMainBundleIdentifier("com.apple.mobilephone");
    callStatus(platform::kCTCallStatusIncoming);
    EXPECT_EQ(TelFlag(), kBEGIN_STATE);
    TelSetFlag(kPROXIMITY_READY_STATE);
    platform::UIDevice::currentDevice()->proximityMonitoringEnabled = true;
    cover();
    EXPECT_EQ(TelFlag(), kPROXIMITY_COVERED_WAVE_1);
    TelSetFlag(kPROXIMITY_READY_STATE);
    model().pressLockButton();
    settle();
    EXPECT_EQ(TelFlag(), kBEGIN_STATE);
}

TEST_F(Engine, ProximityChangesOutsideAWatchAndOddInputsChangeNothing) {
    startTweak();
    LOGGER_ON = true;
    testing_support::LogCapture log;
    for (int32_t state : {kBEGIN_STATE, kACCELEROMETER_READY_STATE, kCALL_ANSWERED}) {
        TelSetFlag(state);
        log.clear();
        HandleProximityFeedback(1);
        HandleProximityFeedback(0);
        EXPECT_EQ(TelFlag(), state);
        EXPECT_EQ(log.lines().size(), 4u) << "only the opening and closing lines";
    }
    TelSetFlag(kPROXIMITY_READY_STATE);
    log.clear();
    HandleProximityFeedback(2);
    EXPECT_EQ(TelFlag(), kPROXIMITY_READY_STATE);
    EXPECT_EQ(log.lines()[0],
              "\r\n*** *** *** HandleProximityFeedback - Tel.flag : kPROXIMITY_READY_STATE, "
              "proximityState : kCONVERED *** *** ***");
    HandleProximityFeedback(0);  // uncovering while waiting for a covering
    EXPECT_EQ(TelFlag(), kPROXIMITY_READY_STATE);
    EXPECT_FALSE(isTimedOut(kPROXIMITY_READY_STATE)) << "no base time: not timed out";
    EXPECT_STREQ(GetFlagToString(-1), "");
    EXPECT_STREQ(GetFlagToString(6), "");
    EXPECT_STREQ(GetFlagToString(5), "kPROXIMITY_UNCOVERED_WAVE_2");
}

TEST_F(Engine, AOneWaveCallLogsEachStep) {
    writeSettings(waveSettings(0, 0, 1));
    LOGGER_ON = true;
    startTweak();
    testing_support::LogCapture log;
    ring(true);
    layFaceUp();
    wave();
    const std::vector<std::string> expected = {
        "***** telephonyEventCallback - kCTCall State: 4 *****",
        "***** telephonyEventCallback - tel.wasLockedOnIncomingCall: YES *****",
        "\r\n ***** POSITIVE (proximity sensor is ACTIVATED) *****\r\n",
        "\r\n ***** accelerometer - setting flag to kPROXIMITY_READY_STATE *****\r\n",
        "\r\n ***** startProximitySensor: YES *****\r\n",
        "*** HandleProximityFeedback - FROM READY_STATE to kPROXIMITY_COVERED_WAVE_1 ***",
        "*** isTimedOut - Time elapsed: 0.200000 - CONTINUING FLOW ***",
        "*** WasLocked: YES, LockedState wave number: 1, UnlockedState wave number: 1, Current  "
        "wave number: 1, "
        "isAllowedToAnswerCall: YES ***",
        "*** HandleProximityFeedback - FROM kPROXIMITY_COVERED_WAVE_1 to CALL_ANSWERED ***",
        "***** SensorLogic - Sending Slide open Notification *****",
        "***** SensorLogic - Sending Open speaker Notification in 2 sec *****\r\n",
    };
    size_t at = 0;
    for (const auto& line : log.lines()) {
        if (at < expected.size() && line == expected[at]) ++at;
    }
    EXPECT_EQ(at, expected.size())
        << "missing, or out of order: " << (at < expected.size() ? expected[at] : "");
    EXPECT_TRUE(log.contains("x: 0.02, y:-0.05, z: -0.99"));
}

TEST_F(Engine, InterruptSignalIsLoggedSafelyAndTheProcessGoesOn) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    platform::setSignalLogFd(fds[1]);
    startTweak();
    LOGGER_ON = true;
    ::raise(SIGINT);
    char buf[128] = {};
    ssize_t n = ::read(fds[0], buf, sizeof buf - 1);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)),
              "\r\n ***** signalHandler - Interrupted. *****\r\n\n");
    platform::setSignalLogFd(2);
}

TEST_F(Engine, AFailedSignalInstallationIsOnlyLogged) {
    LOGGER_ON = true;
    testing_support::LogCapture log;
    platform::failNextSignalInstallation();
    startTweak();
    EXPECT_TRUE(log.contains("\r\n ***** Could not establish new signal handler *****\r\n"));
    EXPECT_FALSE(
        log.contains("\r\n ***** Starting run loop and watching for notification. *****\r\n"));
    ring(false);
    EXPECT_LT(layFaceUp(), 10.0) << "everything else works";
}

TEST_F(Engine, WithoutTheAccelerometerClassNoCallIsAnsweredAndNothingBreaks) {
    // A process without SpringBoard services: the accelerometer field stays empty.
    startTweak();
    tel->_SBSAccelerometerInstance = nullptr;  // releases it
    ring(false);
    EXPECT_EQ(TelFlag(), kACCELEROMETER_READY_STATE);
    EXPECT_GT(layFaceUp(5), 4.9) << "never armed";
    EXPECT_FALSE(answered());
}
