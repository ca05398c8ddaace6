// The simulator and its host processes, run for real on a private D-Bus: in simulated time
// (the default, whose results may not depend on the machine's load) and in real time.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>

#include "platform/bus/bus.h"
#include "platform/bus/client.h"
#include "platform/loop/runloop.h"
#include "private_bus.h"
#include "test_support.h"

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::ScratchDir;
using testing_support::writeFile;

namespace {

struct SimRun {
    int status = -1;
    std::string out;
    std::string err;
};

pid_t start(const std::vector<std::string>& args, const std::string& outFile,
            const std::string& errFile) {
    pid_t pid = ::fork();
    if (pid == 0) {
        FILE* o = std::freopen(outFile.c_str(), "w", stdout);
        FILE* e = std::freopen(errFile.c_str(), "w", stderr);
        (void)o;
        (void)e;
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        std::_Exit(127);
    }
    return pid;
}

int statusOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The exit status, or -1 when it did not end within the bound (it is killed then).
int waitFor(pid_t pid, double seconds) {
    for (int i = 0; i < seconds * 100; ++i) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) return statusOf(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

SimRun simulate(std::vector<std::string> args, double timeout = 240) {
    ScratchDir dir;
    args.insert(args.begin(), ORVELLA_SIM);
    pid_t pid = start(args, dir.file("out"), dir.file("err"));
    SimRun r;
    r.status = waitFor(pid, timeout);
    r.out = readFile(dir.file("out"));
    r.err = readFile(dir.file("err"));
    return r;
}

bool waitUntil(const std::function<bool()>& done, double seconds) {
    for (int i = 0; i < seconds * 100; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

bool waitForFile(const std::string& path, double seconds) {
    return waitUntil(
        [&] {
            std::error_code ec;
            return fs::is_regular_file(path, ec) && fs::file_size(path, ec) > 0;
        },
        seconds);
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

// The runtime directory of a phone, from its bus address
// ("unix:path=/tmp/orvella-sim-XXXXXX/bus,guid=...").
std::string runtimeOf(const std::string& addressFile) {
    const std::string address = trimmed(readFile(addressFile));
    const auto from = address.find('=') + 1;
    return fs::path(address.substr(from, address.find(',') - from)).parent_path().string();
}

// A simulator playing a scenario in the background, once its bus is up.
struct Running {
    pid_t pid = -1;
    std::string runtime;  // its runtime directory
    std::string address;  // its bus
    std::string out;      // the file its standard output goes to

    // Until its timeline says text.
    bool says(const std::string& text, double seconds) const {
        return waitUntil([&] { return readFile(out).find(text) != std::string::npos; }, seconds);
    }
    // Sends a signal into the phone from outside, as dbus-send would from a shell: member and
    // arguments in dbus-send's words. dbus-send's exit status.
    int send(const std::string& memberAndArguments) const {
        return testing_support::run("dbus-send --bus='" + address +
                                    "' --type=signal /org/orvella/Phone " + memberAndArguments);
    }
};

// Writes the scenario into dir, starts the simulator on it with these options (its output in
// dir's "out" and "err") and waits for its bus. A simulator whose bus never came up is ended,
// the test fails and pid is -1.
Running startOn(const ScratchDir& dir, const std::string& scenario,
                const std::vector<std::string>& options = {}) {
    writeFile(dir.file("s.scn"), scenario);
    std::vector<std::string> args{ORVELLA_SIM, dir.file("s.scn")};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"--bus-address-file", dir.file("address")});
    Running r;
    r.out = dir.file("out");
    r.pid = start(args, r.out, dir.file("err"));
    if (!waitForFile(dir.file("address"), 60)) {
        ADD_FAILURE() << "the simulator's bus never came up: " << readFile(dir.file("err"));
        ::kill(r.pid, SIGKILL);
        waitFor(r.pid, 60);
        r.pid = -1;
        return r;
    }
    r.runtime = runtimeOf(dir.file("address"));
    r.address = trimmed(readFile(dir.file("address")));
    return r;
}

// Until a client besides the one asking is connected to the bus at address.
bool waitForAClient(const std::string& address, double seconds) {
    const std::string ask = "dbus-send --bus='" + address +
                            "' --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "
                            "org.freedesktop.DBus.ListNames 2>/dev/null";
    return waitUntil(
        [&] {
            std::FILE* p = ::popen(ask.c_str(), "r");
            if (p == nullptr) return false;
            std::string names;
            char buf[256];
            while (std::fgets(buf, sizeof buf, p)) names += buf;
            ::pclose(p);
            int clients = 0;
            for (size_t at = names.find("\":"); at != std::string::npos;
                 at = names.find("\":", at + 1))
                ++clients;
            return clients >= 2;
        },
        seconds);
}

// Processes whose command line mentions every one of the texts.
std::vector<pid_t> processesMentioning(const std::vector<std::string>& texts) {
    std::vector<pid_t> found;
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos ||
            name == std::to_string(::getpid()))
            continue;
        std::string cmdline = readFile(e.path().string() + "/cmdline");
        for (auto& c : cmdline)
            if (c == '\0') c = ' ';
        bool all = !cmdline.empty();
        for (const auto& t : texts) all = all && cmdline.find(t) != std::string::npos;
        if (all) found.push_back(std::stoi(name));
    }
    return found;
}

std::vector<std::string> scenarioFiles() {
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(ORVELLA_SCENARIOS))
        if (e.path().extension() == ".scn") files.push_back(e.path().filename().string());
    std::sort(files.begin(), files.end());
    return files;
}

std::string testName(const ::testing::TestParamInfo<std::string>& info) {
    std::string n = info.param.substr(0, info.param.size() - 4);
    for (auto& c : n)
        if (c == '-') c = '_';
    return n;
}

// The tweak's log lines may quote an object's address, which is the host's memory layout: the
// simulator switches address randomisation off for its hosts so these usually repeat too, but
// what a host allocates can still depend on how its I/O happened to be timed. They are the one
// thing compared loosely.
std::string comparable(const std::string& timeline) {
    return std::regex_replace(timeline, std::regex("0x[0-9a-f]{6,}"), "0x(address)");
}

// A call that rings until the end of a very long scenario, the phone screen-down: the
// simulator keeps giving the springboard turns (one per accelerometer sample) for minutes.
const char* const kRingingForever = "at 0 pose down\nat 0.5 call incoming\nend 86400\n";

class Scenarios : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(Scenarios, PlaysGreenOnTheRealProcesses) {
    SimRun r = simulate({std::string(ORVELLA_SCENARIOS) + "/" + GetParam()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("FAILED"), std::string::npos) << r.out;
}

// Simulated time makes every run the same, whatever else the machine is doing: each host acts
// only in its turn, on exactly the signals sent before the turn began.
TEST_P(Scenarios, TenRunsGiveOneTimeline) {
    const std::string file = std::string(ORVELLA_SCENARIOS) + "/" + GetParam();
    const SimRun first = simulate({file, "--json", "--log"});
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    ASSERT_NE(first.out.find("\"time\""), std::string::npos);
    for (int i = 1; i < 10; ++i) {
        const SimRun again = simulate({file, "--json", "--log"});
        ASSERT_EQ(again.status, 0) << again.err;
        ASSERT_EQ(comparable(again.out), comparable(first.out)) << "run " << i + 1;
    }
    // Without the tweak's log, byte for byte.
    const SimRun text = simulate({file});
    const SimRun json = simulate({file, "--json"});
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(simulate({file}).out, text.out);
        EXPECT_EQ(simulate({file, "--json"}).out, json.out);
    }
}

INSTANTIATE_TEST_SUITE_P(Integration, Scenarios, ::testing::ValuesIn(scenarioFiles()), testName);

TEST(Simulator, DefaultScenarioAsOneJsonDocumentWithTheTweaksLog) {
    SimRun r = simulate({"--json", "--log"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ScratchDir dir;
    writeFile(dir.file("out.json"), r.out);
    EXPECT_EQ(testing_support::run("/usr/bin/python3 -m json.tool " + dir.file("out.json") +
                                   " > /dev/null"),
              0)
        << r.out;
    EXPECT_NE(
        r.out.find("{\"type\":\"screen\",\"time\":0.5,\"process\":\"springboard\","
                   "\"what\":\"answer bar shows logo and hint \\\"Wave twice to answer\\\"\""),
        std::string::npos)
        << r.out;
    EXPECT_NE(
        r.out.find(
            "log: *** HandleProximityFeedback - FROM READY_STATE to kPROXIMITY_COVERED_WAVE_1 ***"),
        std::string::npos);
    EXPECT_NE(r.out.find("{\"type\":\"modem\",\"time\":6.75,\"process\":\"sim\",\"what\":\"call "
                         "answered\""),
              std::string::npos)
        << "answered as the second wave's hand leaves the sensor\n"
        << r.out;
    EXPECT_NE(
        r.out.find("{\"type\":\"expectation\",\"line\":9,\"report\":\"line 9: expect answered "
                   "at wave 2\",\"held\":true}"),
        std::string::npos)
        << r.out;
}

TEST(Simulator, FiftyCallsAreEachAnsweredAtTheirSecondWave) {
    std::string scn = "at 0 locked yes\nat 0 pose up\n";
    for (int i = 0; i < 50; ++i) {
        const int base = 13 * i;
        scn += "at " + std::to_string(base) + ".5 call incoming\nat " + std::to_string(base + 6) +
               " waves 2\nat " + std::to_string(base + 12) + " call ended\n";
    }
    scn += "expect answered at wave 2\n";
    ScratchDir dir;
    writeFile(dir.file("fifty.scn"), scn);
    SimRun r = simulate({dir.file("fifty.scn")});
    ASSERT_EQ(r.status, 0) << r.err;
    // Per call: the waves made before it was answered.
    std::vector<int> wavesAtAnswer;
    int uncovers = 0;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("sim          incoming call") != std::string::npos) uncovers = 0;
        if (line.find("sim          hand uncovers the sensor") != std::string::npos) ++uncovers;
        if (line.find("sim          call ") != std::string::npos &&
            line.find(" answered") != std::string::npos)
            wavesAtAnswer.push_back(uncovers);
    }
    EXPECT_EQ(wavesAtAnswer, std::vector<int>(50, 2)) << r.out;
}

TEST(Simulator, AFailedExpectationIsNamedAndExitsOne) {
    ScratchDir dir;
    writeFile(dir.file("fail.scn"),
              "at 0 pose up\nat 0.5 call incoming\nat 6 wave\nat 8 call ended\nexpect "
              "answered\nexpect not answered\n");
    SimRun r = simulate({dir.file("fail.scn")});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("FAILED line 6: expect not answered"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(dir.file("fail.scn") + ":6: expectation failed"), std::string::npos)
        << r.err;
}

TEST(Simulator, BadScenariosAndArgumentsExitTwoNamingFileAndLine) {
    ScratchDir dir;
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"at 0 pose up\nat 1 wavee\n", ":2: unknown event 'wavee'"},
        {"at 0 pose up\nat x call incoming\n", ":2: the time must be a number, not 'x'"},
        {"at 0 call ringing\n", ":1: a call is incoming, active, held or ended, not 'ringing'"},
        {"at 0 waves 2 fast\n", ":1: the covering time must be a number, not 'fast'"},
        {"at 0 settings waves locked 4 unlocked 1 speed fast\n",
         ":1: the waves for a locked phone must be a whole number from 1 to 3"},
        {"at 0 pose up\nexpect miracles\n", ":2: unknown expectation 'expect miracles'"},
        {"at 0 note \"unclosed\n", ":1: a quoted text is not closed"},
        {"# nothing happens\n", ": no events"},
    };
    for (const Case& c : cases) {
        writeFile(dir.file("bad.scn"), c.text);
        SimRun r = simulate({dir.file("bad.scn")});
        EXPECT_EQ(r.status, 2) << c.text;
        EXPECT_NE(r.err.find(dir.file("bad.scn") + c.message), std::string::npos) << r.err;
    }
    EXPECT_EQ(simulate({dir.file("missing.scn")}).status, 2);
    SimRun r = simulate({"--realtime", "--speed", "zero"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--speed: 'zero' is not a number"), std::string::npos) << r.err;
    EXPECT_EQ(simulate({"--realtime", "--frobnicate"}).status, 2);
}

TEST(Simulator, SigtermEndsEveryProcessAndRemovesTheRuntimeDirectory) {
    ScratchDir dir;
    const Running sim = startOn(dir, kRingingForever);
    ASSERT_GT(sim.pid, 0);
    ASSERT_TRUE(fs::is_directory(sim.runtime)) << sim.runtime;
    EXPECT_EQ(processesMentioning({sim.runtime}).size(), 4u) << "three hosts and the bus daemon";
    ::kill(sim.pid, SIGTERM);
    EXPECT_EQ(waitFor(sim.pid, 60), 128 + SIGTERM);
    EXPECT_FALSE(fs::exists(sim.runtime));
    EXPECT_EQ(processesMentioning({sim.runtime}).size(), 0u);
}

// A closed terminal, Ctrl-\\ and Ctrl-C end the run as SIGTERM does.
class EndingSignals : public ::testing::TestWithParam<int> {};

TEST_P(EndingSignals, EndEveryProcessAndRemoveTheRuntimeDirectory) {
    ScratchDir dir;
    const Running sim = startOn(dir, kRingingForever);
    ASSERT_GT(sim.pid, 0);
    EXPECT_EQ(processesMentioning({sim.runtime}).size(), 4u) << "three hosts and the bus daemon";
    ::kill(sim.pid, GetParam());
    EXPECT_EQ(waitFor(sim.pid, 60), 128 + GetParam());
    EXPECT_FALSE(fs::exists(sim.runtime));
    EXPECT_EQ(processesMentioning({sim.runtime}).size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Simulator, EndingSignals, ::testing::Values(SIGHUP, SIGQUIT, SIGINT),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(sigabbrev_np(info.param));
                         });

// SIGKILL leaves the simulator no say: its children end with it, and the next run removes the
// runtime directory it left.
TEST(Simulator, AfterSigkillTheChildrenEndAndTheNextRunSweepsTheDirectory) {
    ScratchDir dir;
    // Runtime directories of its own: a simulator another test starts meanwhile would sweep the
    // killed one's directory before this test looks at it.
    fs::create_directories(dir.file("tmp"));
    ::setenv("TMPDIR", dir.file("tmp").c_str(), 1);
    const Running sim = startOn(dir, kRingingForever);
    ASSERT_GT(sim.pid, 0);
    const std::string& runtime = sim.runtime;
    ASSERT_EQ(processesMentioning({runtime}).size(), 4u);
    ::kill(sim.pid, SIGKILL);
    EXPECT_EQ(waitFor(sim.pid, 60), 128 + SIGKILL);
    bool gone = false;
    for (int i = 0; i < 6000 && !gone; ++i) {  // at most a minute
        gone = processesMentioning({runtime}).empty();
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone) << "hosts or bus daemon outlived the simulator";
    EXPECT_TRUE(fs::exists(runtime)) << "no one could remove it yet";
    SimRun next = simulate({"--version"});
    EXPECT_TRUE(fs::exists(runtime)) << "--version starts no phone";
    writeFile(dir.file("short.scn"), "at 0 note hello\n");
    next = simulate({dir.file("short.scn")});
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_FALSE(fs::exists(runtime)) << "the next run sweeps the stale directory";
}

// A Library link in a given device root made the install write the package's files outside it.
TEST(Simulator, APackageInstallNeverWritesOutsideTheDeviceRoot) {
    ScratchDir root, outside;
    fs::create_symlink(outside.path(), root.file("Library"));
    SimRun r = simulate({"--root", root.path()});
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_NE(r.err.find("cannot install the package into " + root.path()), std::string::npos)
        << r.err;
    EXPECT_TRUE(fs::is_empty(outside.path()));
    // A link that stays inside the root is followed, and the phone runs.
    fs::remove(root.file("Library"));
    fs::create_directories(root.file("var/Library"));
    fs::create_symlink("var/Library", root.file("Library"));
    r = simulate({"--root", root.path()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(
        fs::exists(root.file("var/Library/MobileSubstrate/DynamicLibraries/Orvella.dylib")));
}

// A host that stops answering the clock is named, and the simulator gives up after a bounded
// wait, ending every process and removing its runtime directory.
TEST(Simulator, AStoppedHostIsNamedAndTheSimulatorExitsThree) {
    ScratchDir dir;
    const Running sim = startOn(dir, kRingingForever);
    ASSERT_GT(sim.pid, 0);
    const std::vector<pid_t> springboard = processesMentioning({sim.runtime, "/springboard "});
    ASSERT_EQ(springboard.size(), 1u);
    ::kill(springboard[0], SIGSTOP);
    EXPECT_EQ(waitFor(sim.pid, 120), 3) << readFile(dir.file("err"));
    EXPECT_NE(readFile(dir.file("err")).find("springboard stopped answering the clock"),
              std::string::npos)
        << readFile(dir.file("err"));
    EXPECT_FALSE(fs::exists(sim.runtime));
    EXPECT_EQ(processesMentioning({sim.runtime}).size(), 0u);
}

// On the wall clock a busy machine delays every process: the waves come seconds of phone time
// after the sensor arms (at 5 s) and each step of a wave has over a second to spare at medium
// speed, which at four times real speed is a quarter of a second of the machine's time or more.
TEST(RealTime, ALockedPhoneIsAnsweredOnTheWallClockAtSpeedFour) {
    ScratchDir dir;
    writeFile(dir.file("wall.scn"),
              "title On the wall clock\nat 0 locked yes\nat 0 pose up\nat 0.5 call incoming\n"
              "at 10 waves 2\nat 14 call ended\nexpect answered at wave 2\n");
    SimRun r = simulate({"--realtime", "--speed", "4", dir.file("wall.scn")});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("(clock speed x4)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ok     line 7: expect answered at wave 2"), std::string::npos) << r.out;
}

// A host paused for a second at ten times real speed takes in the scenario's events some ten
// seconds of phone time late: the simulator says so, once.
TEST(RealTime, APausedHostMakesTheSimulatorWarnOfTheLag) {
    std::string scn = "at 0 pose up\n";
    for (int i = 1; i <= 600; ++i) scn += "at " + std::to_string(i) + " note tick\n";
    ScratchDir dir;
    const Running run = startOn(dir, scn, {"--realtime", "--speed", "10"});
    ASSERT_GT(run.pid, 0);
    const pid_t sim = run.pid;
    const std::vector<pid_t> springboard = processesMentioning({run.runtime, "/springboard "});
    ASSERT_EQ(springboard.size(), 1u);
    ::kill(springboard[0], SIGSTOP);
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the pause itself, not a wait
    ::kill(springboard[0], SIGCONT);
    const bool warned = waitUntil(
        [&] { return readFile(dir.file("err")).find("fell behind") != std::string::npos; }, 60);
    ::kill(sim, SIGTERM);
    waitFor(sim, 60);
    const std::string err = readFile(dir.file("err"));
    ASSERT_TRUE(warned) << err;
    // Which host is named, and how late, a busy machine may change: another host can fall
    // behind first. That the warning came, with its size, and once, it cannot.
    EXPECT_TRUE(std::regex_search(
        err, std::regex("(springboard|mobilephone|preferences) took in a scripted event "
                        "[0-9]+\\.[0-9] ms of phone time late")))
        << err;
    EXPECT_EQ(err.find("fell behind"), err.rfind("fell behind")) << "warned once";
}

// Nothing paused, and a speed slow enough that 10 ms of phone time is half a second of wall
// time: no warning, however busy the machine is.
TEST(RealTime, NoLagWarningWhenNothingIsPaused) {
    ScratchDir dir;
    writeFile(dir.file("slow.scn"),
              "at 0 pose up\nat 0.02 locked no\nat 0.04 note tick\nend 0.06\n");
    SimRun r = simulate({dir.file("slow.scn"), "--realtime", "--speed", "0.02"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("tick"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("fell behind"), std::string::npos) << r.err;
}

// dbus-send drives a phone in real time; in simulated time the phone would have finished
// before anyone outside could send.
// Anyone on the phone's bus can send anything. A trace event from a process the simulator did
// not start is not believed, a pose of the wrong shape is not applied as (0, 0, 0) (which would
// keep the sensor from arming), and a notification name full of escape sequences is shown, not
// obeyed by the terminal.
TEST(RealTime, ForgedAndMalformedSignalsFromOutsideChangeNothing) {
    ScratchDir dir;
    const Running run = startOn(dir,
                                "at 0 pose up\nat 3 call incoming\nat 9 wave\nat 12 call ended\n"
                                "expect answered at wave 1\nexpect no event \"forged\"\n",
                                {"--realtime", "--speed", "2"});
    ASSERT_GT(run.pid, 0);
    const pid_t sim = run.pid;
    ASSERT_TRUE(run.says("phone lies screen-up", 30));
    EXPECT_EQ(run.send("org.orvella.Hardware.Pose string:0 string:0 string:0"), 0);
    EXPECT_EQ(run.send("org.orvella.Trace.ViewAdded string:springboard string:UILabel int64:103 "
                       "double:0 double:0 double:1 double:1 string:forged"),
              0);
    EXPECT_EQ(run.send("org.orvella.Distributed.Notification "
                       "string:\"$(printf '\\033[2Jevil')\" string:"),
              0);
    EXPECT_EQ(waitFor(sim, 90), 0) << readFile(dir.file("out")) << readFile(dir.file("err"));
    const std::string out = readFile(dir.file("out"));
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
    EXPECT_NE(out.find("posted \\x1b[2Jevil"), std::string::npos) << out;
}

TEST(RealTime, DbusSendIntoARunningPhoneAnswersTheRingingCall) {
    ScratchDir dir;
    const Running run = startOn(dir,
                                "title Ringing, answered from outside\nat 0 pose down\n"
                                "at 0.5 call incoming\nat 12 call ended\n"
                                "expect answered\nexpect no event \"hand covers\"\n",
                                {"--realtime", "--speed", "4"});
    ASSERT_GT(run.pid, 0);
    const pid_t sim = run.pid;
    // Until the phone rings: the answer bar exists from then on.
    ASSERT_TRUE(run.says("answer bar shows", 30));
    EXPECT_EQ(run.send("org.orvella.Distributed.Notification string:com.brelkin.dev.slideopen "
                       "string:"),
              0);
    EXPECT_EQ(waitFor(sim, 60), 0) << readFile(dir.file("out")) << readFile(dir.file("err"));
    EXPECT_NE(readFile(dir.file("out")).find("answer bar answers the call"), std::string::npos);
}

TEST(Hosts, AHostThatLosesItsBusSaysSoAndExits) {
    ScratchDir dir;
    auto bus = sim::PrivateBus::start(dir.path());
    ASSERT_TRUE(bus) << bus.error();
    fs::create_directories(dir.file("root"));
    pid_t host =
        start({ORVELLA_SPRINGBOARD, "--bus", (*bus)->address(), "--root", dir.file("root")},
              dir.file("host.out"), dir.file("host.err"));
    ASSERT_TRUE(waitForAClient((*bus)->address(), 60)) << readFile(dir.file("host.err"));
    ::kill((*bus)->pid(), SIGKILL);
    EXPECT_EQ(waitFor(host, 10), 3) << "exits non-zero, never hangs";
    EXPECT_NE(readFile(dir.file("host.err")).find("springboard: lost the bus connection"),
              std::string::npos)
        << readFile(dir.file("host.err"));
    // And one that finds no bus at all.
    pid_t lonely = start({ORVELLA_SPRINGBOARD, "--bus", "unix:path=" + dir.file("nobus"), "--root",
                          dir.file("root")},
                         dir.file("l.out"), dir.file("l.err"));
    EXPECT_EQ(waitFor(lonely, 10), 3);
    EXPECT_NE(readFile(dir.file("l.err")).find("cannot connect to the bus"), std::string::npos);
}

// A bus that dies while a process is still subscribing is a lost bus, not a refused rule: a host
// starting up when the bus goes says so as a running one does.
TEST(Hosts, ABusThatDiesDuringASubscriptionIsALostBus) {
    ScratchDir dir;
    auto bus = sim::PrivateBus::start(dir.path());
    ASSERT_TRUE(bus) << bus.error();
    auto opened = platform::Bus::open((*bus)->address());
    ASSERT_TRUE(opened) << opened.error();
    platform::Bus& connection = **opened;
    std::string reason;
    connection.setDisconnectHandler([&](const std::string& r) { reason = r; });
    ::kill((*bus)->pid(), SIGKILL);
    siginfo_t ended{};
    ASSERT_EQ(::waitid(P_PID, (*bus)->pid(), &ended, WEXITED | WNOWAIT), 0);  // its socket is shut
    connection.subscribe("org.orvella.Test", "Anything", std::nullopt,
                         [](const platform::BusSignal&) {});
    platform::RunLoop::main().runDue();
    EXPECT_EQ(reason.rfind("lost the bus connection: ", 0), 0u) << reason;
    EXPECT_FALSE(connection.connected());
}

// The phone's bus and a connection as orvella-phoned opens one stand on one D-Bus client: a
// signal the one sends reaches the other's match by its rule, and when the bus dies each says
// once, in the same words, that it lost it, and sends nothing more.
TEST(BusClient, ItsUsersShareMatchesAndOneLostBusRule) {
    using platform::dbus::Connection;
    ScratchDir dir;
    auto bus = sim::PrivateBus::start(dir.path());
    ASSERT_TRUE(bus) << bus.error();
    ::setenv("DBUS_SESSION_BUS_ADDRESS", (*bus)->address().c_str(), 1);
    auto phone = platform::Bus::open((*bus)->address());
    auto session = Connection::open(Connection::Kind::Session);
    ASSERT_TRUE(phone && session) << (phone ? session.error() : phone.error());
    // Turns of the loop until done() or a minute has passed, however slow the machine.
    auto turnUntil = [](const std::function<bool()>& done) {
        for (int i = 0; i < 600 && !done(); ++i) {
            platform::RunLoop::main().waitForSources(0.1);
            platform::RunLoop::main().runDue();
        }
    };
    std::vector<std::string> heard;
    auto match = (*session)->match({.path = platform::kBusPath,
                                    .interface = "org.orvella.Test",
                                    .member = "Ping",
                                    .arg0 = "b"},
                                   [&](sd_bus_message* m) {
                                       const char* text = nullptr;
                                       if (sd_bus_message_read_basic(m, 's', &text) >= 0)
                                           heard.push_back(text);
                                   });
    for (const char* text : {"a", "b", "c"})
        ASSERT_TRUE((*phone)->emit({"org.orvella.Test", "Ping", {std::string(text)}, {}}));
    turnUntil([&] { return !heard.empty(); });
    EXPECT_EQ(heard, (std::vector<std::string>{"b"}));

    // Texts sd-bus refuses (bytes in another encoding, half a surrogate pair kept from a settings
    // file, a noncharacter) go with U+FFFD in place of each byte it cannot carry, and the
    // connection stays; a signal whose arguments are of a type the phone's signals never carry
    // (a stranger's uint32 before the text) is no Ping of theirs.
    std::vector<std::string> pings;
    (*phone)->subscribe("org.orvella.Test", "Pong", std::nullopt,
                        [&](const platform::BusSignal& s) {
                            if (s.text(0) != nullptr) pings.push_back(*s.text(0));
                        });
    (*phone)->pump();
    for (const auto& [signature, text] : {std::pair{"us", "shifted"}, std::pair{"s", "end"}}) {
        const int r = signature[0] == 'u'
                          ? sd_bus_emit_signal((*session)->raw(), platform::kBusPath,
                                               "org.orvella.Test", "Pong", "us", 1u, text)
                          : sd_bus_emit_signal((*session)->raw(), platform::kBusPath,
                                               "org.orvella.Test", "Pong", "s", text);
        ASSERT_GE(r, 0);
    }
    ASSERT_TRUE((*session)->flush());
    const std::string r = "\xEF\xBF\xBD";
    const std::vector<std::pair<std::string, std::string>> texts = {
        {"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
        {"caf\xE9", "caf" + r},
        {"\xED\xA0\xBD!", r + r + r + "!"},
        {"\xEF\xBF\xBF\xEF\xB7\x90", r + r + r + r + r + r},
        {"\xC0\xAF\xF0\x9F\x98", r + r + r + r + r},
    };
    std::vector<std::string> expected;
    for (const auto& [text, arrives] : texts) {
        expected.push_back(arrives);
        ASSERT_TRUE((*phone)->emit({"org.orvella.Test", "Pong", {text}, {}})) << text;
    }
    // The stranger's two signals keep their order, so "shifted", if it were taken, comes
    // before its "end".
    turnUntil([&] { return pings.size() > texts.size(); });
    std::erase(pings, "end");
    EXPECT_EQ(pings, expected);
    EXPECT_TRUE((*phone)->connected());

    std::vector<std::string> reasons;
    (*phone)->setDisconnectHandler([&](const std::string& r) { reasons.push_back("phone " + r); });
    (*session)->setDisconnectHandler(
        [&](const std::string& r) { reasons.push_back("session " + r); });
    ::kill((*bus)->pid(), SIGKILL);
    siginfo_t ended{};
    ASSERT_EQ(::waitid(P_PID, (*bus)->pid(), &ended, WEXITED | WNOWAIT), 0);
    turnUntil([&] { return reasons.size() >= 2; });
    (*phone)->pump();
    (*session)->pump();
    platform::RunLoop::main().runDue();
    ASSERT_EQ(reasons.size(), 2u) << "once each";
    std::sort(reasons.begin(), reasons.end());
    EXPECT_EQ(reasons[0].rfind("phone lost the bus connection: ", 0), 0u) << reasons[0];
    EXPECT_EQ(reasons[1].rfind("session lost the session bus: ", 0), 0u) << reasons[1];
    EXPECT_FALSE((*phone)->connected() || (*session)->connected());
    EXPECT_FALSE((*phone)->emit({"org.orvella.Test", "Ping", {std::string("b")}, {}}));
}

// A signal that interrupts the round trip of adding a rule (a daemon's SIGTERM, the tweak's
// SIGINT) is not a lost bus: the process goes on, subscribed.
TEST(Hosts, ASignalDuringASubscriptionIsNotALostBus) {
    ScratchDir dir;
    auto bus = sim::PrivateBus::start(dir.path());
    ASSERT_TRUE(bus) << bus.error();
    auto opened = platform::Bus::open((*bus)->address());
    ASSERT_TRUE(opened) << opened.error();
    platform::Bus& connection = **opened;
    std::string reason;
    connection.setDisconnectHandler([&](const std::string& r) { reason = r; });
    {
        testing_support::SignalStorm signals;
        for (int i = 0; i < 300 && connection.connected(); ++i)
            connection.subscribe("org.orvella.Test", "Signal" + std::to_string(i), std::nullopt,
                                 [](const platform::BusSignal&) {});
    }
    platform::RunLoop::main().runDue();
    EXPECT_TRUE(connection.connected());
    EXPECT_EQ(reason, "");
}

// A host on the simulator's clock that loses its bus while waiting for its turn ends too.
TEST(Hosts, ASimulatedHostThatLosesItsBusExits) {
    ScratchDir dir;
    auto bus = sim::PrivateBus::start(dir.path());
    ASSERT_TRUE(bus) << bus.error();
    fs::create_directories(dir.file("root"));
    pid_t host = start({ORVELLA_SPRINGBOARD, "--bus", (*bus)->address(), "--root", dir.file("root"),
                        "--simulated", "800000000", "--simulator", ":1.999"},
                       dir.file("host.out"), dir.file("host.err"));
    ASSERT_TRUE(waitForAClient((*bus)->address(), 60)) << readFile(dir.file("host.err"));
    ::kill((*bus)->pid(), SIGKILL);
    EXPECT_EQ(waitFor(host, 10), 3) << readFile(dir.file("host.err"));
}
