// The simulator and its host processes, run for real on a private D-Bus.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

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

int waitFor(pid_t pid, double seconds) {
    for (int i = 0; i < seconds * 100; ++i) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

SimRun simulate(std::vector<std::string> args, double timeout = 90) {
    ScratchDir dir;
    args.insert(args.begin(), ORVELLA_SIM);
    pid_t pid = start(args, dir.file("out"), dir.file("err"));
    SimRun r;
    r.status = waitFor(pid, timeout);
    r.out = readFile(dir.file("out"));
    r.err = readFile(dir.file("err"));
    return r;
}

bool waitForFile(const std::string& path, double seconds) {
    for (int i = 0; i < seconds * 100; ++i) {
        std::error_code ec;
        if (fs::is_socket(path, ec) ||
            (fs::is_regular_file(path, ec) && fs::file_size(path, ec) > 0))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

// Processes whose command line mentions the text.
int processesMentioning(const std::string& text) {
    int n = 0;
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos ||
            name == std::to_string(::getpid()))
            continue;
        std::string cmdline = readFile(e.path().string() + "/cmdline");
        for (auto& c : cmdline)
            if (c == '\0') c = ' ';
        n += cmdline.find(text) != std::string::npos;
    }
    return n;
}

class Scenarios : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(Scenarios, PlaysGreenOnTheRealProcesses) {
    SimRun r = simulate({std::string(ORVELLA_SCENARIOS) + "/" + GetParam(), "--speed", "10"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("FAILED"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Integration, Scenarios,
    ::testing::Values("one-wave-unlocked-fast.scn", "two-waves-locked-medium.scn",
                      "three-waves-locked-slow.scn", "two-waves-unlocked-slow.scn",
                      "headset-keeps-speaker-off.scn", "headset-speaker-allowed.scn",
                      "bluetooth-keeps-speaker-off.scn", "wave-too-slow.scn",
                      "turned-over-during-call.scn", "lock-button.scn", "switched-off.scn",
                      "settings-between-calls.scn", "small-screen.scn"),
    [](const ::testing::TestParamInfo<std::string>& info) {
        std::string n = info.param.substr(0, info.param.size() - 4);
        for (auto& c : n)
            if (c == '-') c = '_';
        return n;
    });

TEST(Simulator, DefaultScenarioAsJsonLinesWithTheTweaksLog) {
    SimRun r = simulate({"--speed", "10", "--json", "--log"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ScratchDir dir;
    writeFile(dir.file("out.jsonl"), r.out);
    EXPECT_EQ(testing_support::run(
                  "python3 -c 'import json,sys\nfor l in open(sys.argv[1]): json.loads(l)' " +
                  dir.file("out.jsonl")),
              0)
        << r.out;
    EXPECT_NE(
        r.out.find("\"event\": \"answer bar shows logo and hint \\\"Wave twice to answer\\\"\""),
        std::string::npos)
        << r.out;
    EXPECT_NE(
        r.out.find(
            "log: *** HandleProximityFeedback - FROM READY_STATE to kPROXIMITY_COVERED_WAVE_1 ***"),
        std::string::npos);
    EXPECT_NE(
        r.out.find("{\"expectation\": \"line 9: expect answered at wave 2\", \"held\": true}"),
        std::string::npos);
}

TEST(Simulator, AFailedExpectationIsNamedAndExitsOne) {
    ScratchDir dir;
    writeFile(dir.file("fail.scn"),
              "at 0 pose up\nat 0.5 call incoming\nat 6 wave\nat 8 call ended\nexpect "
              "answered\nexpect not answered\n");
    SimRun r = simulate({dir.file("fail.scn"), "--speed", "10"});
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
    SimRun r = simulate({"--speed", "zero"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--speed needs a number"), std::string::npos);
}

TEST(Simulator, DbusSendIntoARunningPhoneAnswersTheRingingCall) {
    ScratchDir dir;
    writeFile(dir.file("ring.scn"),
              "title Ringing, answered from outside\nat 0 pose down\nat 0.5 call incoming\nat 12 "
              "call ended\n"
              "expect answered\nexpect no event \"hand covers\"\n");
    const std::string addressFile = dir.file("address");
    pid_t sim = start(
        {ORVELLA_SIM, dir.file("ring.scn"), "--speed", "4", "--bus-address-file", addressFile},
        dir.file("out"), dir.file("err"));
    ASSERT_TRUE(waitForFile(addressFile, 30)) << readFile(dir.file("err"));
    const std::string address = trimmed(readFile(addressFile));
    std::this_thread::sleep_for(
        std::chrono::milliseconds(1000));  // four seconds of phone time: ringing
    EXPECT_EQ(testing_support::run(
                  "dbus-send --bus='" + address +
                  "' --type=signal /org/orvella/Phone org.orvella.Distributed.Notification "
                  "string:com.brelkin.dev.slideopen string:"),
              0);
    EXPECT_EQ(waitFor(sim, 60), 0) << readFile(dir.file("out")) << readFile(dir.file("err"));
    EXPECT_NE(readFile(dir.file("out")).find("answer bar answers the call"), std::string::npos);
}

TEST(Simulator, SigtermEndsEveryProcessAndRemovesTheRuntimeDirectory) {
    ScratchDir dir;
    writeFile(dir.file("long.scn"), "at 0 pose up\nat 100 call incoming\n");
    const std::string addressFile = dir.file("address");
    pid_t sim = start({ORVELLA_SIM, dir.file("long.scn"), "--bus-address-file", addressFile},
                      dir.file("out"), dir.file("err"));
    ASSERT_TRUE(waitForFile(addressFile, 30)) << readFile(dir.file("err"));
    // "unix:path=/tmp/orvella-sim-XXXXXX/bus,guid=..."
    std::string address = trimmed(readFile(addressFile));
    const auto from = address.find('=') + 1;
    const std::string runtime =
        fs::path(address.substr(from, address.find(',') - from)).parent_path().string();
    ASSERT_TRUE(fs::is_directory(runtime)) << runtime;
    EXPECT_EQ(processesMentioning(runtime), 4) << "three hosts and the bus daemon";
    ::kill(sim, SIGTERM);
    EXPECT_EQ(waitFor(sim, 20), 128 + SIGTERM);
    EXPECT_FALSE(fs::exists(runtime));
    EXPECT_EQ(processesMentioning(runtime), 0);
}

TEST(Hosts, AHostThatLosesItsBusSaysSoAndExits) {
    ScratchDir dir;
    sim::PrivateBus bus(dir.path());
    ASSERT_FALSE(bus.address().empty()) << bus.error();
    fs::create_directories(dir.file("root"));
    pid_t host = start({ORVELLA_SPRINGBOARD, "--bus", bus.address(), "--root", dir.file("root")},
                       dir.file("host.out"), dir.file("host.err"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ::kill(bus.pid(), SIGKILL);
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
