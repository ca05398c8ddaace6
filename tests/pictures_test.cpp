// Pictures from the running phone, through the real simulator and its hosts: the screenshots
// the hosts write as what a person sees changes, and the plot of a call with the data it is
// drawn from. Every picture is read back from its file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "picture_support.h"
#include "test_support.h"

namespace fs = std::filesystem;
using nlohmann::json;
using platform::CGRect;
using platform::CGRectMake;
using testing_support::Picture;
using testing_support::readFile;
using testing_support::ScratchDir;

namespace {

struct SimRun {
    int status = -1;
    std::string out, err;
};

// The simulator with these arguments (no shell words with blanks), bounded in wall time.
SimRun simulate(const std::vector<std::string>& args) {
    ScratchDir dir;
    std::string command = std::string("timeout -s KILL 240 ") + ORVELLA_SIM;
    for (const auto& a : args) command += " " + a;
    command += " >" + dir.file("out") + " 2>" + dir.file("err");
    SimRun r;
    r.status = testing_support::run(command);
    r.out = readFile(dir.file("out"));
    r.err = readFile(dir.file("err"));
    return r;
}

// The files of a folder, by name, with their bytes.
std::map<std::string, std::string> filesIn(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(dir))
        files[e.path().filename().string()] = readFile(e.path().string());
    return files;
}

std::vector<std::string> namesIn(const std::map<std::string, std::string>& files) {
    std::vector<std::string> names;
    for (const auto& [name, bytes] : files) names.push_back(name);
    return names;
}

const std::string kLogo = "/Library/Application Support/Orvella/orvellaLogo@2x.png";
// The answer bar: 96 points high at the bottom of a 568-point screen; the tweak's views stand
// 235 points above its top edge (the hint 23 below the logo), 7 and logo-width + 7 from the left.
constexpr double kBarTop = 568 - 96;
CGRect hintFrame(double logoWidth) { return CGRectMake(logoWidth + 7, kBarTop - 212, 150, 23); }

double at(const json& j) { return j["at"].get<double>(); }

// The words of an SVG's text elements, in document order, with where each starts.
struct SvgText {
    double x = 0, y = 0;
    std::string text;
};
std::vector<SvgText> svgTexts(const std::string& svg) {
    std::vector<SvgText> texts;
    const std::regex element("<text x=\"([0-9.e+-]+)\" y=\"([0-9.e+-]+)\"[^>]*>([^<]*)</text>");
    for (std::sregex_iterator it(svg.begin(), svg.end(), element), end; it != end; ++it)
        texts.push_back({std::stod((*it)[1]), std::stod((*it)[2]), (*it)[3]});
    return texts;
}

}  // namespace

// --- The plot ------------------------------------------------------------------------------------

TEST(Plot, TheBuiltInScenarioIsAnsweredAfterItsSecondUncovering) {
    ScratchDir dir;
    const SimRun r = simulate({"--plot", dir.file("call.json"), "--plot", dir.file("call.png"),
                               "--plot", dir.file("call.svg")});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const json d = json::parse(readFile(dir.file("call.json")));

    std::vector<std::string> states;
    for (const auto& s : d["states"]) states.push_back(s["name"]);
    EXPECT_EQ(states, (std::vector<std::string>{
                          "kBEGIN_STATE", "kACCELEROMETER_READY_STATE", "kPROXIMITY_READY_STATE",
                          "kPROXIMITY_COVERED_WAVE_1", "kPROXIMITY_UNCOVERED_WAVE_1",
                          "kCOVERED_BEFORE_ANSWER_CALL", "kCALL_ANSWERED", "kBEGIN_STATE"}));

    // Two waves from 6 s, a quarter of a second covered and a quarter uncovered each.
    ASSERT_EQ(d["covered"].size(), 2u);
    const double secondUncover = d["covered"][1]["to"];
    EXPECT_DOUBLE_EQ(secondUncover, 6.75);
    std::map<std::string, double> moment;
    for (const auto& m : d["moments"]) moment.emplace(m["kind"], at(m));
    ASSERT_TRUE(moment.count("answer")) << d.dump(2);
    EXPECT_GE(moment["answer"], secondUncover) << "not before the second uncovering";
    EXPECT_LT(moment["answer"], secondUncover + 0.1) << "but right at it";
    EXPECT_GE(at(d["states"][6]), secondUncover) << "the recognizer answers then too";
    EXPECT_LT(at(d["states"][5]), secondUncover);
    EXPECT_DOUBLE_EQ(moment["speaker"], moment["answer"] + 2);
    EXPECT_DOUBLE_EQ(moment["incoming"], 0.5);
    EXPECT_DOUBLE_EQ(moment["call end"], 12);
    EXPECT_EQ(moment.count("failed expectation"), 0u);

    // Medium speed: each wave has a second and a half, counted from the first covering, then
    // from the first uncovering.
    ASSERT_EQ(d["waveLimits"].size(), 2u);
    EXPECT_DOUBLE_EQ(d["waveLimits"][0]["from"], 6.0);
    EXPECT_DOUBLE_EQ(d["waveLimits"][1]["from"], 6.25);
    for (const auto& band : d["waveLimits"]) {
        EXPECT_DOUBLE_EQ(band["to"].get<double>() - band["from"].get<double>(), 1.5);
        EXPECT_LT(band["ended"].get<double>(), band["to"].get<double>()) << "each in time";
    }
    // The gate: sampling from the ringing on, screen up decided, the sensor armed half a
    // second later; the phone lay screen up all along.
    EXPECT_DOUBLE_EQ(d["accelerometer"][0]["from"], 0.5);
    EXPECT_DOUBLE_EQ(d["screenUp"][0]["from"], 4.5) << "the timeline's time, to the microsecond";
    EXPECT_DOUBLE_EQ(d["armed"][0]["from"], 5.0);
    EXPECT_LT(d["z"][0]["z"].get<double>(), -0.9);
    EXPECT_DOUBLE_EQ(d["end"], 16);

    const Picture png = Picture::read(dir.file("call.png"));
    EXPECT_EQ(png.width, 1000);
    EXPECT_EQ(png.height, 580);
    const std::string svg = readFile(dir.file("call.svg"));
    std::smatch root;
    ASSERT_TRUE(std::regex_search(svg, root, std::regex("<svg\\b[^>]*>"))) << svg.substr(0, 200);
    std::smatch width, height;
    const std::string element = root.str();
    ASSERT_TRUE(std::regex_search(element, width, std::regex("\\bwidth=\"([0-9.]+)(pt|px)?\"")));
    ASSERT_TRUE(std::regex_search(element, height, std::regex("\\bheight=\"([0-9.]+)(pt|px)?\"")));
    EXPECT_EQ(std::stod(width[1]), 1000);
    EXPECT_EQ(std::stod(height[1]), 580);
}

TEST(Plot, ATimedOutWaveAndAFailedExpectationShow) {
    ScratchDir dir;
    testing_support::writeFile(dir.file("slow.scn"), R"(title A slow wave, then a quick one
at 0 locked no
at 0 pose up
at 0.5 settings waves locked 2 unlocked 1 speed fast
at 2 call incoming
at 8 wave 1.0 0.5
at 10 wave
at 14 call ended
expect not answered
expect speaker off
expect no hint
expect hint "Wave thrice to answer"
expect event "a text no line of the timeline has, long enough that its report needs two lines under the plot to be read whole"
expect answered at wave 3
)");
    const SimRun r = simulate({dir.file("slow.scn"), "--plot", dir.file("slow.json"), "--plot",
                               dir.file("slow.svg"), "--plot", dir.file("slow.png")});
    ASSERT_EQ(r.status, 1) << "the expectation fails: " << r.out << r.err;
    const json d = json::parse(readFile(dir.file("slow.json")));
    ASSERT_GE(d["waveLimits"].size(), 2u);
    const json& slow = d["waveLimits"][0];
    EXPECT_DOUBLE_EQ(slow["from"], 8.0);
    EXPECT_NEAR(slow["to"].get<double>(), 8.7, 1e-6) << "fast: 0.7 s";
    EXPECT_DOUBLE_EQ(slow["ended"], 9.0) << "uncovered after its limit";
    bool backToReady = false;
    for (const auto& s : d["states"])
        backToReady = backToReady || (at(s) == 9.0 && s["name"] == "kPROXIMITY_READY_STATE");
    EXPECT_TRUE(backToReady) << "timed out, the recognizer starts over";
    std::vector<std::string> failed;
    for (const auto& m : d["moments"]) {
        if (m["kind"] != "failed expectation") continue;
        failed.push_back(m["label"]);
        EXPECT_DOUBLE_EQ(at(m), d["end"].get<double>());
    }
    ASSERT_EQ(failed.size(), 6u);
    EXPECT_EQ(failed[0], "line 9: expect not answered (answered at wave 2)");

    // Every failed expectation listed under the picture, as text, a long one wrapped onto a
    // second line; one label for all of them above the lanes, left of their line at the right
    // edge rather than cut off; a key for them in the legend.
    const std::vector<SvgText> texts = svgTexts(readFile(dir.file("slow.svg")));
    std::string all;
    std::map<std::string, SvgText> byText;
    for (const auto& t : texts) all += t.text, byText.emplace(t.text, t);
    for (const std::string& report : failed)
        EXPECT_NE(all.find("failed: " + report), std::string::npos) << report << "\n" << all;
    ASSERT_TRUE(byText.count("6 expectations failed")) << all;
    EXPECT_LT(byText["6 expectations failed"].x, 980 - 100) << "right-aligned to its line";
    EXPECT_TRUE(byText.count("failed expectation")) << "the legend's key";
    const SvgText& lastLine = texts.back();
    EXPECT_EQ(lastLine.text, "failed: " + failed.back());
    const Picture png = Picture::read(dir.file("slow.png"));
    EXPECT_EQ(png.width, 1000);
    EXPECT_GT(png.height, 580) << "taller, to list them all";
    EXPECT_GT(png.height, lastLine.y);
    // The last report's red, below where a picture of the old fixed height would have ended.
    EXPECT_GT(png.count(CGRectMake(230, lastLine.y - 9, 750, 10), testing_support::red, 1), 20);
}

// Said before the phone runs, with the system's reason, and no other plot file (nor a screenshot
// folder made for the run) is left behind. The screenshot folder itself may take the plot.
TEST(Plot, AFileThatCannotBeWrittenIsNamed) {
    ScratchDir dir;
    const SimRun r =
        simulate({"--plot", dir.file("call.json"), "--plot", dir.file("no/such/folder/call.png"),
                  "--screenshots", dir.file("s")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(dir.file("no/such/folder/call.png") +
                         ": cannot write the plot: No such file or directory"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out, "") << "no run";
    EXPECT_FALSE(fs::exists(dir.file("call.json")));
    EXPECT_FALSE(fs::exists(dir.file("s")));
    testing_support::writeFile(dir.file("kept.svg"), "mine");
    fs::permissions(dir.file("kept.svg"), fs::perms::owner_read);
    if (::access(dir.file("kept.svg").c_str(), W_OK) != 0) {  // root may write anyway
        EXPECT_EQ(simulate({"--plot", dir.file("kept.svg")}).status, 2);
        EXPECT_EQ(readFile(dir.file("kept.svg")), "mine");
    }
    EXPECT_EQ(simulate({"--plot", dir.file("call.gif")}).status, 2);

    const SimRun beside =
        simulate({"--plot", dir.file("shots/call.png"), "--screenshots", dir.file("shots")});
    EXPECT_EQ(beside.status, 0) << beside.err;
    EXPECT_EQ(Picture::read(dir.file("shots/call.png")).width, 1000);
    EXPECT_TRUE(fs::exists(dir.file("shots/0000.500-springboard.png")));
}

// --- Screenshots ---------------------------------------------------------------------------------

TEST(Screenshots, TheBuiltInCallPicturedTheSameOnEveryRun) {
    ScratchDir dir;
    const SimRun first = simulate({"--screenshots", dir.file("a")});
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    const SimRun second = simulate({"--json", "--screenshots", dir.file("b")});
    ASSERT_EQ(second.status, 0) << second.err;
    const auto a = filesIn(dir.file("a")), b = filesIn(dir.file("b"));
    EXPECT_EQ(namesIn(a), (std::vector<std::string>{
                              "0000.000-preferences.png",    // the pane, as Settings opened it
                              "0000.500-springboard.png",    // ringing: logo and hint
                              "0006.750-springboard-2.png",  // answered: the in-call screen
                              "0006.750-springboard.png",    // the bar without its views
                              "0008.750-springboard.png"}))  // the speaker on
        << first.out;
    EXPECT_TRUE(a == b) << "file for file, byte for byte";
    std::multiset<std::string> listed;
    const json doc = json::parse(second.out);
    for (const auto& r : doc["timeline"])
        if (r["type"] == "screenshot") listed.insert(r["details"]["file"].get<std::string>());
    EXPECT_EQ(listed.size(), b.size());
    for (const auto& [name, bytes] : a) {
        EXPECT_NE(first.out.find("screenshot " + dir.file("a/" + name)), std::string::npos)
            << name << " in the timeline";
        EXPECT_EQ(listed.count(dir.file("b/" + name)), 1u) << name << " in the JSON";
    }

    // Ringing: the logo file's pixels 7 points right of the bar's left edge and 235 above its
    // top edge; the hint in white beside it, nothing light beyond it.
    const Picture ringing = Picture::read(dir.file("a/0000.500-springboard.png"));
    ASSERT_EQ(ringing.width, 640);
    ASSERT_EQ(ringing.height, 1136);
    const Picture logo = Picture::read(std::string(ORVELLA_PACKAGE_DIR) + kLogo);
    int opaque = 0;
    EXPECT_EQ(testing_support::logoMismatches(ringing, logo, 7 * 2,
                                              static_cast<int>((kBarTop - 235) * 2), &opaque),
              0);
    EXPECT_GT(opaque, 1000);
    const CGRect hint = hintFrame(logo.width / 2.0);
    EXPECT_GT(ringing.count(hint, testing_support::light), 40);
    EXPECT_EQ(ringing.count(CGRectMake(hint.origin.x + hint.size.width, hint.origin.y,
                                       320 - hint.origin.x - hint.size.width, hint.size.height),
                            testing_support::light),
              0);
    const Picture answered = Picture::read(dir.file("a/0006.750-springboard.png"));
    EXPECT_EQ(answered.count(CGRectMake(0, 0, 320, kBarTop), testing_support::green), 0)
        << "the logo is gone once the call is answered";

    // In the call: the six controls, the speaker's lit once the speaker is on.
    const Picture inCall = Picture::read(dir.file("a/0006.750-springboard-2.png"));
    const Picture speaker = Picture::read(dir.file("a/0008.750-springboard.png"));
    const CGRect speakerCorner = CGRectMake(222, 196, 12, 12);  // away from its title
    auto lit = [](const Picture& p, CGRect r) { return p.count(r, testing_support::white); };
    EXPECT_EQ(lit(inCall, speakerCorner), 0);
    EXPECT_EQ(lit(speaker, speakerCorner), 24 * 24) << "lit";
    EXPECT_GT(inCall.count(CGRectMake(20, 194, 280, 180), testing_support::white), 500)
        << "the controls' titles";
}

TEST(Screenshots, SettingsPicturedWithTheAlertThePickerAndTheWarning) {
    ScratchDir dir;
    testing_support::writeFile(dir.file("tour.scn"), R"(title Settings, as the user sees them
at 0.5 settings info how-it-works
at 3 settings waves locked 1 unlocked 2 speed fast
end 5
)");
    const SimRun r = simulate({dir.file("tour.scn"), "--screenshots", dir.file("s")});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> pane;
    for (const auto& name : namesIn(filesIn(dir.file("s"))))
        if (name.find("preferences") != std::string::npos) pane.push_back(name);
    EXPECT_EQ(pane, (std::vector<std::string>{
                        "0000.000-preferences.png",    // as opened
                        "0000.500-preferences.png",    // the alert over it
                        "0002.500-preferences.png",    // the alert closed with OK
                        "0003.000-preferences.png",    // the picker panel open
                        "0003.600-preferences.png",    // the speed column turned to Fast
                        "0003.700-preferences.png",    // the locked column to one wave
                        "0003.800-preferences.png",    // the unlocked column to two waves
                        "0004.000-preferences.png"}))  // Done: the panel down, the warning
        << r.out;
    auto shot = [&](const std::string& time) {
        return Picture::read(dir.file("s/" + time + "-preferences.png"));
    };
    const Picture opened = shot("0000.000"), alert = shot("0000.500");
    EXPECT_LT(alert.at(8, 8).r, opened.at(8, 8).r - 40) << "dimmed behind the alert";
    EXPECT_TRUE(shot("0002.500").rgba == opened.rgba) << "closed, the pane as before";

    // The panel 382 points above the bottom: Cancel and Done in blue, the chosen rows in black.
    const Picture picker = shot("0003.000");
    const double panel = 568 - 382;
    EXPECT_GT(picker.count(CGRectMake(10, panel, 80, 44), testing_support::blue), 30);
    EXPECT_GT(picker.count(CGRectMake(230, panel, 80, 44), testing_support::blue), 30);
    const CGRect chosenRows = CGRectMake(0, panel + 44 + 108 - 16, 320, 32);
    EXPECT_GT(picker.count(chosenRows, testing_support::dark), 300);
    EXPECT_FALSE(picker.crop(chosenRows) == opened.crop(chosenRows)) << "not there before";

    // Done: one wave when locked brings the warning, in place of the information button.
    const CGRect warningSign = CGRectMake(20, 360, 31, 31);
    EXPECT_EQ(opened.count(warningSign, testing_support::yellow), 0);
    EXPECT_GT(shot("0004.000").count(warningSign, testing_support::yellow), 100);
    EXPECT_NE(r.out.find("settings: tapped \"Done\""), std::string::npos) << r.out;
}

TEST(Screenshots, AMissingOrCorruptLogoPicturesTheHintAlone) {
    for (const std::string spoil : {"missing", "corrupt"}) {
        SCOPED_TRACE(spoil);
        ScratchDir dir;
        fs::copy(ORVELLA_PACKAGE_DIR, dir.file("package"), fs::copy_options::recursive);
        if (spoil == "missing")
            fs::remove(dir.file("package") + kLogo);
        else
            testing_support::writeFile(dir.file("package") + kLogo, "\x89PNG\r\n\x1a\n cut short");
        const SimRun r = simulate({"--package", dir.file("package"), "--screenshots", dir.file("s"),
                                   "--plot", dir.file("p.json")});
        EXPECT_EQ(r.status, 0) << "answered all the same: " << r.out << r.err;
        const Picture ringing = Picture::read(dir.file("s/0000.500-springboard.png"));
        ASSERT_EQ(ringing.width, 640);
        EXPECT_EQ(ringing.count(CGRectMake(0, 0, 320, kBarTop), testing_support::green), 0)
            << "no logo";
        EXPECT_GT(ringing.count(hintFrame(0), testing_support::light), 40)
            << "the hint at x = 7 instead";
        EXPECT_TRUE(fs::exists(dir.file("s/0008.750-springboard.png"))) << "the call went on";
    }
}

TEST(Screenshots, AFolderThatCannotBeMadeIsNamed) {
    ScratchDir dir;
    testing_support::writeFile(dir.file("file"), "");
    const SimRun r = simulate({"--screenshots", dir.file("file/shots")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(dir.file("file/shots")), std::string::npos) << r.err;
}
