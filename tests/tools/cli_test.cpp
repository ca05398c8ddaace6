// orvella-sim and the host programs as a user meets them: the command line, scenario files,
// failed expectations, the JSON document and the timeline's words, each from the exact command
// that shows it. Every run is in simulated time, so no verdict depends on the machine's load.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::ScratchDir;
using testing_support::writeFile;

namespace {

struct Ran {
    int status = -1;
    std::string out, err;
};

// Runs the program with these arguments, standard input from `input` (a path; empty: none).
Ran run(const std::vector<std::string>& args, const std::string& input = "/dev/null",
        double seconds = 240) {
    ScratchDir dir;
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open(input.c_str(), O_RDONLY);
        const int out = ::open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(dir.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(in, 0), ::dup2(out, 1), ::dup2(err, 2);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        std::_Exit(127);
    }
    Ran r;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (int status = 0;;) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    r.out = readFile(dir.file("out"));
    r.err = readFile(dir.file("err"));
    return r;
}

Ran sim(std::vector<std::string> args, const std::string& input = "/dev/null") {
    args.insert(args.begin(), ORVELLA_SIM);
    return run(args, input);
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The exit status and stderr of a scenario given as text.
Ran scenario(const std::string& text, std::vector<std::string> args = {}) {
    ScratchDir dir;
    writeFile(dir.file("s.scn"), text);
    args.insert(args.begin(), dir.file("s.scn"));
    Ran r = sim(args);
    // Messages name the file; make them comparable.
    for (std::string* s : {&r.out, &r.err}) {
        for (size_t at; (at = s->find(dir.file("s.scn"))) != std::string::npos;)
            s->replace(at, dir.file("s.scn").size(), "s.scn");
    }
    return r;
}

}  // namespace

// --- the command line ------------------------------------------------------------------------

TEST(CommandLine, HelpDescribesEveryOptionOnStandardOutput) {
    Ran r = sim({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    for (const char* option : {"--json", "--log", "--realtime", "--speed=F", "--root=DIR",
                               "--package=DIR", "--bus-address-file=FILE", "--help", "--version",
                               "SCENARIO | -", "Exit status", "130", "143"}) {
        EXPECT_TRUE(has(r.out, option)) << option << "\n" << r.out;
    }
    EXPECT_EQ(sim({"-h"}).out, r.out);
    for (const char* host : {ORVELLA_SPRINGBOARD, ORVELLA_MOBILEPHONE, ORVELLA_PREFERENCES}) {
        Ran h = run({host, "--help"});
        EXPECT_EQ(h.status, 0) << host;
        for (const char* option :
             {"--bus=ADDRESS", "--root=DIR", "--simulated=START", "--speed=F", "--clock-origin",
              "--screen-height=H", "--language=CODE", "--version"}) {
            EXPECT_TRUE(has(h.out, option)) << host << " " << option << "\n" << h.out;
        }
    }
}

TEST(CommandLine, VersionOfEachProgram) {
    Ran r = sim({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("orvella-sim ") + ORVELLA_VERSION + "\n");
    Ran h = run({ORVELLA_SPRINGBOARD, "--version"});
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.out, std::string("springboard ") + ORVELLA_VERSION + "\n");
}

TEST(CommandLine, BadOptionsAndNumbersNameTheOptionAndExitTwo) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"--realtime", "--speed=fast"}, "--speed: 'fast' is not a number"},
        {{"--realtime", "--speed", "fast"}, "--speed: 'fast' is not a number"},
        {{"--realtime", "--speed=inf"}, "--speed: needs a finite number, not 'inf'"},
        {{"--realtime", "--speed=nan"}, "--speed: needs a finite number, not 'nan'"},
        {{"--realtime", "--speed=0"}, "--speed: needs a number above 0 and at most 1000, not 0"},
        {{"--realtime", "--speed", "-3"},
         "--speed: needs a number above 0 and at most 1000, not -3"},
        {{"--realtime", "--speed=1001"},
         "--speed: needs a number above 0 and at most 1000, not 1001"},
        {{"--realtime", "--speed=1e999"}, "--speed: needs a finite number, not '1e999'"},
        {{"--realtime", "--speed"}, "--speed: needs a value"},
        {{"--speed=10"}, "--speed: applies only with --realtime"},
        {{"--json=yes"}, "--json: takes no value"},
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--screnshots", "shots"},
         "unknown option '--screnshots' (did you mean '--screenshots'?)"},
        {{"--jsno"}, "unknown option '--jsno' (did you mean '--json'?)"},
        {{"--plot=call.pgn"},
         "--plot: 'call.pgn' is not a .png, .svg or .json file (did you mean 'call.png'?)"},
        {{"-x"}, "unknown option '-x'"},
        {{"--root="}, "--root: needs a value"},
        {{"a.scn", "b.scn"}, "only one scenario at a time ('a.scn' and 'b.scn')"},
    };
    for (const Case& c : cases) {
        Ran r = sim(c.args);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_TRUE(has(r.err, "orvella-sim: " + c.message)) << r.err;
        EXPECT_TRUE(has(r.err, "Try 'orvella-sim --help'")) << r.err;
        EXPECT_EQ(r.out, "");
    }
    const Case hostCases[] = {
        {{"--bus=unix:path=/x", "--root=/tmp", "--speed=inf"}, "--speed: needs a finite number"},
        {{"--bus=unix:path=/x", "--root=/tmp", "--simulated=-1"},
         "--simulated: needs a start of at least 0"},
        {{"--bus=unix:path=/x", "--root=/tmp", "--simulated=5"}, "--simulated needs --simulator"},
        {{"--bus=unix:path=/x", "--root=/tmp", "--screen-height", "500"},
         "--screen-height: is 480 or 568, not 500"},
        {{"--bus=unix:path=/x", "--root=/tmp", "--clock-origin=5"},
         "--clock-origin: needs NOW:MONOTONIC"},
        {{"--root=/tmp"}, "--bus and --root are required"},
        {{"--bus=unix:path=/x", "--root=/tmp", "extra"}, "unexpected argument 'extra'"},
        {{"--bus=unix:path=/x", "--rot=/tmp"},
         "unknown option '--rot=/tmp' (did you mean '--root'?)"},
    };
    for (const Case& c : hostCases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), ORVELLA_SPRINGBOARD);
        Ran r = run(args);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_TRUE(has(r.err, "springboard: " + c.message)) << r.err;
    }
}

// --- scenario files --------------------------------------------------------------------------

TEST(ScenarioFiles, BadNumbersAndLinesNameFileLineAndProblem) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"at inf pose up\n", "s.scn:1: the time must be a finite number, not 'inf'"},
        {"at nan pose up\n", "s.scn:1: the time must be a finite number, not 'nan'"},
        {"at 0 pose up\nend inf\n", "s.scn:2: the end time must be a finite number, not 'inf'"},
        {"at 1e10 pose up\n", "s.scn:1: the time must be at most 86400, not 1e10"},
        {"at -1 pose up\n", "s.scn:1: the time must not be negative, not -1"},
        {"at 0 waves 1e10\n",
         "s.scn:1: the number of waves must be a whole number from 1 to 20, not 1e10"},
        {"at 0 waves 2.5\n",
         "s.scn:1: the number of waves must be a whole number from 1 to 20, not 2.5"},
        {"at 0 wave 0.25 1e9\n", "s.scn:1: the pause between waves must be at most 60, not 1e9"},
        {"at 0 pose 0 0 inf\n", "s.scn:1: z must be a finite number, not 'inf'"},
        {"at 0 pose 0 0 -99\n", "s.scn:1: z must be from -16 to 16, not -99"},
        {"speed inf\nat 0 pose up\n", "s.scn:1: the speed must be a finite number, not 'inf'"},
        {"at 0 pose up\nend 3\nat 10 call incoming\n",
         "s.scn:3: an event at 10 s comes after the end of the scenario at 3 s (line 2)"},
        {"end 3\nat 2 waves 5\n",
         "s.scn:2: an event at 3.25 s comes after the end of the scenario at 3 s (line 1)"},
        {"at 0 pose up\nexpect hint Wave twice to answer\n",
         "s.scn:2: unknown expectation 'expect hint Wave twice to answer': put the text in double "
         "quotes, as in 'expect hint \"Wave twice to answer\"'"},
        {"at 0 pose up\nexpect no event hand covers\n",
         "s.scn:2: unknown expectation 'expect no event hand covers': put the text in double "
         "quotes, as in 'expect no event \"hand covers\"'"},
        {"at 0 pose up\nexpect call 0 answered\n",
         "s.scn:2: the call's number must be a whole number from 1 to 1000, not 0"},
        {"at 0 pose up\nexpect call 1 speaker on\n",
         "s.scn:2: 'expect call 1 speaker on': a call can be expected answered, not answered or "
         "answered at wave N"},
        {"10 call incoming\n",
         "s.scn:1: unknown line '10 call incoming': events start with 'at', as in 'at 10 call "
         "incoming'"},
        {"at 6 waves 2\nat 0.5 call incoming\n",
         "s.scn:2: an event at 0.5 s comes before the one at 6 s on line 1: write the events in "
         "time order"},
        {"at 0 lockd yes\n", "s.scn:1: unknown event 'lockd' (did you mean 'locked'?)"},
    };
    for (const Case& c : cases) {
        Ran r = scenario(c.text);
        EXPECT_EQ(r.status, 2) << c.text;
        EXPECT_TRUE(has(r.err, std::string("orvella-sim: ") + c.message)) << c.text << r.err;
    }
}

// A device root given with --root whose Library leads out of it: the package is not installed
// there, and the message says why.
TEST(CommandLine, ARootWithALinkOutOfItIsRefusedSayingSo) {
    ScratchDir root, outside;
    fs::create_symlink(outside.path(), root.file("Library"));
    Ran r = sim({"--root", root.path()});
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_TRUE(has(r.err, "cannot install the package into " + root.path() + ": " +
                               root.file("Library") +
                               ": refused: a link leads outside the device root (to " +
                               fs::canonical(outside.path()).string() + ")"))
        << r.err;
    EXPECT_TRUE(fs::is_empty(outside.path())) << "nothing written outside";
}

TEST(ScenarioFiles, UnreadablePathsSayWhy) {
    ScratchDir dir;
    Ran missing = sim({dir.file("missing.scn")});
    EXPECT_EQ(missing.status, 2);
    EXPECT_TRUE(has(missing.err, dir.file("missing.scn") +
                                     ": cannot read the scenario: No such file or directory"))
        << missing.err;
    Ran folder = sim({dir.path()});
    EXPECT_EQ(folder.status, 2);
    EXPECT_TRUE(has(folder.err, dir.path() + ": is a folder, not a scenario file")) << folder.err;
    Ran zero = sim({"/dev/zero"});
    EXPECT_EQ(zero.status, 2);
    EXPECT_TRUE(has(zero.err, "/dev/zero: is larger than a scenario can be (1 MiB)")) << zero.err;
    writeFile(dir.file("big.scn"), std::string((1 << 20) + 1, '#'));
    Ran big = sim({dir.file("big.scn")});
    EXPECT_EQ(big.status, 2);
    EXPECT_TRUE(has(big.err, "big.scn: is larger than a scenario can be (1 MiB)")) << big.err;
}

TEST(ScenarioFiles, StandardInputIsTheScenarioWhenNamedDash) {
    ScratchDir dir;
    writeFile(dir.file("bad"), "at 0 pose up\nat 1 wavee\n");
    Ran bad = sim({"-"}, dir.file("bad"));
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(has(bad.err, "(standard input):2: unknown event 'wavee'")) << bad.err;
    writeFile(
        dir.file("good"),
        "title From a pipe\nat 0 locked yes\nat 0 pose up\nat 0.5 call incoming\nat 6 waves 2\n"
        "expect answered at wave 2\n");
    Ran good = sim({"-"}, dir.file("good"));
    EXPECT_EQ(good.status, 0) << good.out << good.err;
    EXPECT_TRUE(has(good.out, "Scenario: From a pipe")) << good.out;
}

// --- expectations ----------------------------------------------------------------------------

// Two calls to a locked phone: the first answered at its second wave, the second at its third
// (its first wave comes before the sensor is armed).
const char* const kTwoCalls =
    "at 0 locked yes\nat 0 pose up\n"
    "at 0.5 call incoming\nat 6 waves 2\nat 12 call ended\n"
    "at 20 call incoming\nat 21 wave\nat 26 waves 2\nat 32 call ended\n";

TEST(Expectations, EveryFailedOneIsReportedWithItsLine) {
    Ran r = scenario(std::string(kTwoCalls) +
                     "expect call 1 answered at wave 2\n"     // line 10: holds
                     "expect call 2 answered at wave 3\n"     // line 11: holds
                     "expect call 2 answered at wave 2\n"     // line 12
                     "expect call 3 answered\n"               // line 13
                     "expect speaker off\n"                   // line 14
                     "expect hint \"Wave once to answer\"\n"  // line 15
                     "expect answered\n"                      // line 16: holds
                     "expect no hint\n"                       // line 17
                     "expect event \"hand waves\"\n"          // line 18
                     "expect no event \"call answered\"\n");  // line 19
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "ok     line 10: expect call 1 answered at wave 2")) << r.out;
    EXPECT_TRUE(has(r.out, "ok     line 11: expect call 2 answered at wave 3")) << r.out;
    EXPECT_TRUE(has(r.out, "ok     line 16: expect answered")) << r.out;
    for (const char* failed :
         {"s.scn:12: expectation failed: expect call 2 answered at wave 2 (answered at wave 3)",
          "s.scn:13: expectation failed: expect call 3 answered (2 calls came in)",
          "s.scn:14: expectation failed: expect speaker off (the speaker went on at 8.75 s)",
          "s.scn:15: expectation failed: expect hint \"Wave once to answer\" (hint \"Wave twice "
          "to answer\" was shown)",
          "s.scn:17: expectation failed: expect no hint (hint \"Wave twice to answer\" was shown)",
          "s.scn:18: expectation failed: expect event \"hand waves\" (no line of the timeline "
          "says it)",
          "s.scn:19: expectation failed: expect no event \"call answered\" (the timeline says "
          "\"call answered\")"}) {
        EXPECT_TRUE(has(r.err, std::string("orvella-sim: ") + failed)) << failed << "\n" << r.err;
    }
    EXPECT_FALSE(has(r.err, ":10:") || has(r.err, ":11:") || has(r.err, ":16:")) << r.err;
}

// --- JSON ------------------------------------------------------------------------------------

namespace {

// The JSON checker's verdict on a run's standard output.
std::string jsonProblems(const Ran& r) {
    ScratchDir dir;
    writeFile(dir.file("out.json"), r.out);
    const std::string command = "/usr/bin/python3 " + std::string(ORVELLA_CHECK_JSON) + " " +
                                std::to_string(r.status) + " < " + dir.file("out.json") + " 2> " +
                                dir.file("why");
    return testing_support::run(command) == 0 ? "" : readFile(dir.file("why")) + r.out;
}

std::vector<std::string> scenarioFiles() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(ORVELLA_SCENARIOS))
        if (e.path().extension() == ".scn") names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class JsonOfEveryScenario : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(JsonOfEveryScenario, IsOneValidDocumentPythonReads) {
    Ran r = sim({std::string(ORVELLA_SCENARIOS) + "/" + GetParam(), "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(jsonProblems(r), "");
}

INSTANTIATE_TEST_SUITE_P(Scenarios, JsonOfEveryScenario, ::testing::ValuesIn(scenarioFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string n = info.param.substr(0, info.param.size() - 4);
                             for (auto& c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

TEST(Json, TheBuiltInScenarioWithLogAndAFailureAndBrokenBytesStaysValid) {
    Ran builtIn = sim({"--json", "--log"});
    EXPECT_EQ(builtIn.status, 0) << builtIn.err;
    EXPECT_EQ(jsonProblems(builtIn), "");
    EXPECT_TRUE(has(builtIn.out,
                    "{\"type\":\"modem\",\"time\":6.75,\"process\":\"sim\",\"what\":"
                    "\"call answered\",\"details\":{\"call\":1,\"answered\":true,"
                    "\"wave\":2}}"))
        << builtIn.out;
    EXPECT_TRUE(has(builtIn.out, "\"type\":\"log\"")) << builtIn.out;
    // A note that is not UTF-8, and a failed expectation: still one valid document.
    Ran broken = scenario("at 0 note \"caf\xe9 \xff\x1b[2J\"\nexpect answered\n", {"--json"});
    EXPECT_EQ(broken.status, 1);
    EXPECT_EQ(jsonProblems(broken), "");
    EXPECT_TRUE(has(broken.out, "\"what\":\"caf\xef\xbf\xbd \xef\xbf\xbd\\u001b[2J\""))
        << broken.out;
    EXPECT_TRUE(has(broken.out, "\"held\":false,\"instead\":\"no call came in\"")) << broken.out;
    EXPECT_TRUE(has(broken.out, "\"failed\":1,\"status\":1}")) << broken.out;
}

// --- the timeline's words --------------------------------------------------------------------

TEST(Timeline, SwitchesAndPickerColumnsByTheirShownNames) {
    Ran off = sim({std::string(ORVELLA_SCENARIOS) + "/switched-off.scn"});
    EXPECT_EQ(off.status, 0) << off.err;
    EXPECT_TRUE(has(off.out, "user turns the master switch off in Settings")) << off.out;
    EXPECT_TRUE(has(off.out, "settings: switch \"Enabled\" turned off")) << off.out;
    Ran headset = sim({std::string(ORVELLA_SCENARIOS) + "/headset-speaker-allowed.scn"});
    EXPECT_EQ(headset.status, 0) << headset.err;
    EXPECT_TRUE(has(headset.out, "user turns speaker with headset on in Settings")) << headset.out;
    EXPECT_TRUE(has(headset.out, "settings: switch \"Speaker with headset\" turned on"))
        << headset.out;
    Ran r = sim({std::string(ORVELLA_SCENARIOS) + "/settings-between-calls.scn"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "settings: picker column \"waves when locked\" turned to")) << r.out;
    EXPECT_TRUE(has(r.out, "settings: picker column \"wave speed\" turned to")) << r.out;
    EXPECT_FALSE(has(r.out, "tag 0")) << r.out;
    // The JSON names the column as docs/json.md does.
    Ran json = sim({std::string(ORVELLA_SCENARIOS) + "/settings-between-calls.scn", "--json"});
    EXPECT_TRUE(has(json.out, "\"event\":\"PickerTurned\",\"column\":0,\"title\":\"Medium\"}"))
        << json.out;
}

TEST(Timeline, AWaveThatTakesTooLongIsToldWithoutTheLog) {
    const std::string file = std::string(ORVELLA_SCENARIOS) + "/wave-too-slow.scn";
    Ran r = sim({file});
    EXPECT_EQ(r.status, 0) << r.err;
    // Fast: 0.7 s, as the tweak keeps it (a float, 0.699999988).
    EXPECT_TRUE(has(r.out,
                    "springboard  wave too slow: 1.00 s since the wave began, over the "
                    "0.7 s time limit of the wave speed"))
        << r.out;
    EXPECT_TRUE(has(r.out, "counting starts again at the first wave")) << r.out;
    EXPECT_FALSE(has(r.out, "log: ")) << "the log itself stays out without --log\n" << r.out;
    // The JSON gives the float as its shortest decimal too, in the time-out and the recognizer.
    Ran json = sim({file, "--json"});
    EXPECT_TRUE(has(json.out, "\"details\":{\"elapsed\":1.0,\"timeLimit\":0.7}}")) << json.out;
    EXPECT_TRUE(has(json.out, "\"timeLimit\":0.7,\"timedSince\":8.0}")) << json.out;
    EXPECT_FALSE(has(json.out, "0.6999")) << json.out;
    // The last of three waves too slow is told as well: timed from the second uncovering at
    // 8.75 s to the third at 10 s.
    Ran third = scenario(
        "at 0 locked yes\nat 0 pose up\nat 0.5 settings waves locked 3 unlocked 1 speed fast\n"
        "at 2 call incoming\nat 8 waves 2\nat 9 wave 1.0\nat 14 call ended\n");
    EXPECT_EQ(third.status, 0) << third.err;
    EXPECT_TRUE(has(third.out, "wave too slow: 1.25 s since the wave began")) << third.out;
}

TEST(ScenarioFiles, ControlCharactersInAnErrorAreShownNotObeyed) {
    Ran r = scenario("at 0 \x1b[2J\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(has(r.err, "s.scn:1: unknown event '\\x1b[2J'")) << r.err;
    EXPECT_FALSE(has(r.err, "\x1b")) << r.err;
}

TEST(Timeline, ControlCharactersFromAScenarioAreShownNotObeyed) {
    Ran r = scenario("title Bell\x07 and \x1b[2J clear\nat 0 note \"\x1b]0;owned\x07 \xc2\x9b\"\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(has(r.out, "\x1b")) << r.out;
    EXPECT_FALSE(has(r.out, "\x07")) << r.out;
    EXPECT_TRUE(has(r.out, "Scenario: Bell\\x07 and \\x1b[2J clear")) << r.out;
    EXPECT_TRUE(has(r.out, "\\x1b]0;owned\\x07 \\u009b")) << r.out;
}
