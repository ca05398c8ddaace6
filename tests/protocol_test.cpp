// The phone's protocol on a running phone: who is believed for what and with which values, and
// what each process says of itself when asked (Introspect). Real processes on a private bus.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "OrvellaNames.h"
#include "phone_clock.h"
#include "platform/bus/bus.h"
#include "platform/loop/runloop.h"
#include "private_bus.h"
#include "protocol/interfaces.h"
#include "protocol/subscribe.h"
#include "protocol/trace.h"
#include "senders.h"
#include "test_support.h"

namespace fs = std::filesystem;
using platform::BusSignal;
using testing_support::readFile;
using testing_support::ScratchDir;
using testing_support::writeFile;
namespace turns = protocol::clock;  // the phone clock's signals
namespace hw = protocol::hardware;

namespace {

// Turns of the main run loop until done() or the wall-clock bound (an upper bound only: the
// verdicts below do not depend on how long anything takes).
bool turnUntil(const std::function<bool()>& done, double seconds = 120) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        platform::RunLoop::main().waitForSources(0.02);
        platform::RunLoop::main().runDue();
    }
    return true;
}

// A program started with its output and errors in files of dir.
struct Started {
    pid_t pid = -1;
    std::string out, err;
    int status = -1;
    bool ended() {
        int s = 0;
        if (status >= 0 || ::waitpid(pid, &s, WNOHANG) != pid) return status >= 0;
        status = WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s);
        return true;
    }
};

Started start(const ScratchDir& dir, const std::string& name, std::vector<std::string> args) {
    Started p{-1, dir.file(name + ".out"), dir.file(name + ".err")};
    const int out = ::open(p.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err = ::open(p.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    p.pid = sim::spawnProcess(args, {out, err});
    ::close(out);
    ::close(err);
    return p;
}

std::unique_ptr<platform::Bus> connect(const std::string& address) {
    std::unique_ptr<platform::Bus> bus;
    turnUntil(
        [&] {
            auto opened = platform::Bus::open(address);
            if (opened) bus = std::move(*opened);
            return bus != nullptr;
        },
        60);
    return bus;
}

// --- a stranger on the bus -------------------------------------------------------------------

// A connection the simulator did not start, which forges every kind of signal the phone's
// processes believe: the simulator's (clock turns, hardware, a user in Settings) and the hosts'
// (clock reports, readiness, trace events, log lines, modem requests), with values that broke
// the phone when they were believed.
class Stranger {
  public:
    explicit Stranger(platform::Bus& bus) : bus_(bus) {
        protocol::on<turns::Run>(bus_, [this](const turns::Run& r, const BusSignal& s) {
            if (s.sender != bus_.uniqueName()) answer(r);
        });
        protocol::on<protocol::host::Ready>(
            bus_, [this](const protocol::host::Ready& r, const BusSignal& s) {
                if (s.sender != bus_.uniqueName()) ready.insert(r.process);
            });
    }
    std::set<std::string> ready;  // the hosts it heard say so

    void forgeAll(double now, int64_t turn) {
        namespace settings = protocol::settings;
        namespace ev = platform::events;
        const platform::TracedView hint{"UILabel", orvella::kHintTag, 0, 0, 1, 1, "forged"};
        std::vector<BusSignal> forged = {
            turns::Run{"springboard", 1e300, 99999}.signal(),
            turns::Run{"springboard", now + 0.5, turn + 1}.signal(),
            turns::Hello{"mobilephone"}.signal(),
            turns::Scripted{1e300}.signal(),
            turns::Late{"springboard", now, 5}.signal(),
            hw::Pose{1e308, 0, 0}.signal(),
            hw::Pose{0, 0, 1}.signal(),
            hw::CallStatus{5, false}.signal(),
            hw::Proximity{true}.signal(),
            hw::LockButton{}.signal(),
            hw::Locked{false}.signal(),
            hw::Logging{true}.signal(),
            hw::AudioOutputs{{"Headphones"}}.signal(),
            hw::Speaker{true}.signal(),
            settings::Operate{"tap", "locked setup"}.signal(),
            settings::Operate{"spin", "wave protocol picker:1:2"}.signal(),
            settings::Operate{"tap", "done"}.signal(),
            settings::Operate{"switch", "enabled switch=off"}.signal(),
            settings::Operate{"alert", "0"}.signal(),
            protocol::modem::AnswerRequest{}.signal(),
            protocol::modem::SpeakerRequest{false}.signal(),
            protocol::host::Ready{"springboard"}.signal(),
            protocol::host::Done{"springboard"}.signal(),
            protocol::trace::Log{"springboard", "forged"}.signal(),
            protocol::traceSignal("springboard", ev::ViewAdded{hint}),
        };
        for (BusSignal& s : protocol::traceSignals(
                 "springboard", {ev::ViewAdded{hint}, ev::CallAnswered{ev::AnswerControl::Slide}}))
            forged.push_back(std::move(s));
        bus_.emit(forged);
    }

  private:
    // Answers a turn before the host can, with a next due time that stopped a host for good or
    // would spin the simulator; now and then forges everything else again.
    void answer(const turns::Run& r) {
        static constexpr double kDues[] = {NAN, -1, 1e18};
        ++runs_;
        bus_.emit(turns::Report{r.process, r.turn, kDues[runs_ % 3], 0}.signal());
        if (runs_ % 25 == 0) forgeAll(r.now, r.turn);
    }
    platform::Bus& bus_;
    int64_t runs_ = 0;
};

// Three calls, the wave protocol changed in Settings between them, the speaker on.
const char* const kThreeCalls =
    "at 0 locked yes\nat 0 pose up\nat 0.5 call incoming\nat 6 waves 2\nat 9 call ended\n"
    "at 10 settings waves locked 1 unlocked 1 speed medium\n"
    "at 12 call incoming\nat 18 wave\nat 21 call ended\n"
    "at 22 locked no\nat 23 call incoming\nat 29 wave\nat 32 call ended\n"
    "expect hint \"Wave twice to answer\"\nexpect hint \"Wave once to answer\"\n"
    "expect answered at wave 2\nexpect answered at wave 1\nexpect speaker on\n"
    "expect no event \"forged\"\n";

// The bus socket of the one simulator whose runtime directory is in tmp, once it is there.
std::string busSocketIn(const std::string& tmp) {
    std::string socket;
    turnUntil(
        [&] {
            std::error_code ec;
            for (const auto& e : fs::directory_iterator(tmp, ec))
                if (fs::is_socket(e.path() / "bus", ec)) socket = (e.path() / "bus").string();
            return !socket.empty();
        },
        60);
    return socket;
}

}  // namespace

// A stranger forges every kind of signal before the scenario's first step (the simulator waits
// at its address file, a FIFO, until the forgeries are with the bus daemon's receivers) and
// throughout the run. The run is the same, byte for byte, as one nobody disturbed; the
// simulator says once that it ignored what the stranger sent.
TEST(Strangers, ForgeriesOfEveryKindChangeNothingInASimulatedRun) {
    ScratchDir dir;
    writeFile(dir.file("calls.scn"), kThreeCalls);
    Started honest = start(dir, "honest", {ORVELLA_SIM, dir.file("calls.scn")});
    ASSERT_TRUE(turnUntil([&] { return honest.ended(); }, 240));
    ASSERT_EQ(honest.status, 0) << readFile(honest.out) << readFile(honest.err);

    fs::create_directories(dir.file("tmp"));
    const std::string tmpdir = ::getenv("TMPDIR") ? ::getenv("TMPDIR") : "";
    ::setenv("TMPDIR", dir.file("tmp").c_str(), 1);
    ASSERT_EQ(::mkfifo(dir.file("address").c_str(), 0600), 0);
    Started run =
        start(dir, "run",
              {ORVELLA_SIM, dir.file("calls.scn"), "--bus-address-file", dir.file("address")});
    const std::string socket = busSocketIn(dir.file("tmp"));
    ASSERT_FALSE(socket.empty()) << readFile(run.err);
    std::unique_ptr<platform::Bus> bus = connect("unix:path=" + socket);
    ASSERT_NE(bus, nullptr);
    Stranger stranger(*bus);
    // Once the hosts are ready (the simulator then waits at the gate), every subscription they
    // make exists. A stranger that joined too late to hear them say so forges ten seconds on,
    // when they are ready unless the machine is very slow; either way the run must not change.
    turnUntil([&] { return stranger.ready.size() == 3; }, 10);
    stranger.forgeAll(0, 1);
    bus->processOf(bus->uniqueName());  // a round trip: the daemon has routed the forgeries
    const int gate = ::open(dir.file("address").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(gate, 0);
    EXPECT_TRUE(turnUntil([&] { return run.ended(); }, 240));
    ::close(gate);
    if (tmpdir.empty())
        ::unsetenv("TMPDIR");
    else
        ::setenv("TMPDIR", tmpdir.c_str(), 1);

    EXPECT_EQ(run.status, 0) << readFile(run.err);
    EXPECT_EQ(readFile(run.out), readFile(honest.out));
    const std::string err = readFile(run.err);
    EXPECT_NE(err.find("orvella-sim: ignored org.orvella."), std::string::npos) << err;
    EXPECT_EQ(err.find("ignored"), err.rfind("ignored")) << "said once\n" << err;
}

// The simulator's own signals with values out of range are refused by the host: a turn that
// would move its clock backwards, to no time, beyond where a millisecond moves it, or more than
// two days on, or that is not its next turn; a pose no accelerometer measures. The first refusal
// is said on its standard error.
TEST(Strangers, AHostRefusesTheSimulatorsSignalsOutOfRange) {
    ScratchDir dir;
    auto daemon = sim::PrivateBus::start(dir.path());
    ASSERT_TRUE(daemon) << daemon.error();
    std::unique_ptr<platform::Bus> me = connect((*daemon)->address());
    ASSERT_NE(me, nullptr);
    fs::create_directories(dir.file("root"));
    fs::copy(ORVELLA_PACKAGE_DIR, dir.file("root"), fs::copy_options::recursive);
    std::vector<turns::Report> reports;
    bool hello = false;
    protocol::on<turns::Report>(*me, [&](const turns::Report& r) { reports.push_back(r); });
    protocol::on<turns::Hello>(*me, [&](const turns::Hello&) { hello = true; });
    const double t0 = 800000000;
    const std::vector<std::string> springboard = {
        ORVELLA_SPRINGBOARD, "--bus",     (*daemon)->address(), "--root",        dir.file("root"),
        "--simulated",       "800000000", "--simulator",        me->uniqueName()};
    Started host = start(dir, "host", springboard);
    ASSERT_TRUE(turnUntil([&] { return hello; }, 60)) << readFile(host.err);
    auto turn = [&](double t, int64_t n) {
        me->emit(turns::Run{"springboard", t, n}.signal());
        return turnUntil([&] { return reports.size() >= static_cast<size_t>(n); });
    };
    me->emit(hw::Pose{1e308, 0, -1}.signal());
    ASSERT_TRUE(turn(t0, 1)) << readFile(host.err);
    // A call rings: the tweak samples the accelerometer, so a report tells where the clock is.
    me->emit(hw::CallStatus{4, false}.signal());
    ASSERT_TRUE(turn(t0 + 0.01, 2)) << readFile(host.err);
    ASSERT_GT(reports[1].nextDue, t0) << "the accelerometer's next sample";
    for (const double t : {1e300, std::nan(""), t0 - 1, t0 + 3 * 86400.0})
        me->emit(turns::Run{"springboard", t, 3}.signal());
    me->emit(turns::Run{"springboard", t0 + 0.02, 7}.signal());
    ASSERT_TRUE(turn(t0 + 0.02, 3)) << readFile(host.err);
    EXPECT_EQ(reports[2].turn, 3);
    EXPECT_GT(reports[2].nextDue, t0 + 0.02);
    EXPECT_LT(reports[2].nextDue, t0 + 1) << "the clock moved only to the turn given last";
    EXPECT_NE(readFile(host.err).find("springboard: ignored org.orvella.Hardware.Pose from the "
                                      "simulator: a pose beyond what an accelerometer measures"),
              std::string::npos)
        << readFile(host.err);
    sim::stopProcess(host.pid);

    // Each kind alone, to a host of its own, is refused and said: a turn back in time, a pose
    // beyond the measurable the other way and on the last axis, a call status below the first.
    struct Bad {
        BusSignal signal;
        const char* said;
    };
    for (const Bad& bad : {Bad{turns::Run{"springboard", t0 - 1, 2}.signal(),
                               "is not a time the clock may move to from"},
                           Bad{hw::Pose{0, 0, -1e308}.signal(), "a pose beyond what"},
                           Bad{hw::CallStatus{0, false}.signal(), "no call status 0"}}) {
        SCOPED_TRACE(bad.said);
        reports.clear();
        hello = false;
        Started one = start(dir, "one", springboard);
        ASSERT_TRUE(turnUntil([&] { return hello; }, 60)) << readFile(one.err);
        ASSERT_TRUE(turn(t0, 1)) << readFile(one.err);
        me->emit(bad.signal);
        ASSERT_TRUE(turn(t0 + 0.01, 2)) << readFile(one.err);
        sim::stopProcess(one.pid);
        EXPECT_NE(readFile(one.err).find(bad.said), std::string::npos) << readFile(one.err);
    }
}

// A report from the host itself is believed only for the turn in progress and with a next due
// time that is none (negative) or a time from the turn's on, at most 1e12 s; other values end
// the turn with a failure that names them, rather than stopping the host or spinning the
// simulator.
TEST(Strangers, TheSimulatorRefusesAHostsReportOutOfRange) {
    ScratchDir dir;
    auto daemon = sim::PrivateBus::start(dir.path());
    ASSERT_TRUE(daemon) << daemon.error();
    std::unique_ptr<platform::Bus> simulator = connect((*daemon)->address());
    std::unique_ptr<platform::Bus> host = connect((*daemon)->address());
    ASSERT_TRUE(simulator && host);
    // Both are this process: the host by its process id.
    sim::Senders senders(
        *simulator,
        [](int64_t pid) {
            return pid == ::getpid() ? std::optional<std::string>("springboard") : std::nullopt;
        },
        "test");
    sim::BusHostLink link(*simulator, platform::RunLoop::main(), "springboard", 60, {}, senders);
    double due = 0;
    int64_t sent = 0;
    protocol::on<turns::Run>(*host, [&](const turns::Run& r) {
        if (r.process != "springboard") {  // springboard answers for another host
            host->emit(turns::Report{r.process, r.turn, -1, 0}.signal());
            host->emit(turns::Hello{"marker"}.signal());
            return;
        }
        host->emit(turns::Report{"springboard", r.turn - 1, r.now + 1, 0}.signal());  // stale
        host->emit(turns::Report{"springboard", r.turn + 1, r.now + 1, 0}.signal());  // early
        host->emit(turns::Report{"springboard", r.turn, due, sent}.signal());
    });
    const double t = 800000000;
    struct Case {
        double due;
        bool believed;
        int64_t sent = 0;
    };
    for (const Case c : {Case{-1, true}, Case{t, true}, Case{t + 5, true}, Case{1e12, true},
                         Case{NAN, false}, Case{INFINITY, false}, Case{1e18, false},
                         Case{t - 1, false}, Case{-INFINITY, false}, Case{t + 5, false, -1}}) {
        due = c.due;
        sent = c.sent;
        platform::Result<sim::TurnReport> r = link.turn(t);
        EXPECT_EQ(r.ok(), c.believed) << c.due << " " << r.error();
        if (r) {
            EXPECT_EQ(r->nextDue, c.due);
        } else {
            EXPECT_NE(r.error().find("springboard reported a next due time of"), std::string::npos);
        }
    }
    // Nor is one host believed for another. What the host sends after its report arriving
    // means the report was heard.
    bool heard = false;
    protocol::on<turns::Hello>(*simulator, [&](const turns::Hello& h) {
        if (h.process == "marker") heard = true;
    });
    sim::BusHostLink other(
        *simulator, platform::RunLoop::main(), "mobilephone", 60,
        [&] { return heard ? std::optional<std::string>("no report") : std::nullopt; }, senders);
    platform::Result<sim::TurnReport> r = other.turn(t);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), "no report");
}

namespace {

// interface -> member -> signature
using Signals = std::map<std::string, std::map<std::string, std::string>>;

// Every interface's signals, from the XML as it is installed.
Signals describedInXml() {
    Signals described;
    const std::regex interfaceRe("<interface name=\"([^\"]+)\">"),
        signalRe("<signal name=\"([^\"]+)\"/?>"), argRe("<arg name=\"[^\"]+\" type=\"([^\"]+)\"/>");
    for (const char* folder : {ORVELLA_PROTOCOL_XML_DIR, ORVELLA_PLATFORM_XML_DIR}) {
        for (const auto& e : fs::directory_iterator(folder)) {
            if (e.path().extension() != ".xml") continue;
            std::istringstream lines(readFile(e.path()));
            std::string interface, member;
            std::smatch m;
            for (std::string line; std::getline(lines, line);) {
                if (std::regex_search(line, m, interfaceRe)) interface = m[1];
                if (std::regex_search(line, m, signalRe)) described[interface][member = m[1]] = "";
                if (std::regex_search(line, m, argRe)) described[interface][member] += m[1];
            }
        }
    }
    return described;
}

// The phone's interfaces in what `busctl introspect --no-legend` printed.
Signals shownByBusctl(const std::string& text) {
    Signals shown;
    std::istringstream lines(text);
    std::string interface;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name, type, signature;
        fields >> name >> type >> signature;
        if (type == "interface") interface = name;
        if (type == "signal" && interface.rfind("org.orvella.", 0) == 0)
            shown[interface][name.substr(1)] = signature == "-" ? "" : signature;
    }
    return shown;
}

}  // namespace

// What each process sends or receives, it declares on its connection: busctl introspect shows
// every signal of each interface's XML, with its signature, on every process that uses it.
TEST(Introspection, EachProcessShowsTheInterfacesItUsesAsTheirXmlDescribesThem) {
    const Signals described = describedInXml();
    ASSERT_EQ(described.size(), 8u);
    std::set<std::string> host = {
        "org.orvella.Hardware", "org.orvella.Clock",  "org.orvella.Trace",      "org.orvella.Host",
        "org.orvella.Modem",    "org.orvella.Darwin", "org.orvella.Distributed"};
    std::map<std::string, std::set<std::string>> expected = {
        {"springboard", host}, {"mobilephone", host}, {"preferences", host}, {"orvella-sim", host}};
    expected["preferences"].insert("org.orvella.Settings");
    expected["orvella-sim"].insert("org.orvella.Settings");
    expected["orvella-sim"].erase("org.orvella.Darwin");

    ScratchDir dir;
    writeFile(dir.file("s.scn"), "at 0 pose up\nend 600\n");
    Started run = start(
        dir, "run",
        {ORVELLA_SIM, dir.file("s.scn"), "--realtime", "--bus-address-file", dir.file("address")});
    std::string address;
    turnUntil([&] {
        address = readFile(dir.file("address"));
        return address.find('\n') != std::string::npos || run.ended();
    });
    address = address.substr(0, address.find('\n'));
    ASSERT_FALSE(address.empty()) << readFile(run.err);
    auto busctl = [&](const std::string& args) {
        std::string out;
        std::FILE* p = ::popen(("busctl --address='" + address + "' " + args).c_str(), "r");
        char buf[512];
        while (p != nullptr && std::fgets(buf, sizeof buf, p)) out += buf;
        if (p != nullptr) ::pclose(p);
        return out;
    };
    // busctl list: NAME PID PROCESS ...
    std::istringstream names(busctl("list --no-legend"));
    std::map<std::string, std::string> nameOf;
    for (std::string line; std::getline(names, line);) {
        std::istringstream fields(line);
        std::string name, pid, process;
        fields >> name >> pid >> process;
        if (expected.count(process) != 0 && name[0] == ':') nameOf[process] = name;
    }
    ASSERT_EQ(nameOf.size(), expected.size()) << busctl("list");
    for (const auto& [process, interfaces] : expected) {
        Signals got = shownByBusctl(
            busctl("introspect --no-legend " + nameOf[process] + " /org/orvella/Phone"));
        std::set<std::string> declared;
        for (const auto& [name, signals] : got) declared.insert(name);
        EXPECT_EQ(declared, interfaces) << process;
        for (const std::string& name : interfaces)
            EXPECT_EQ(got[name], described.at(name)) << process << " " << name;
    }
    ::kill(run.pid, SIGTERM);
    EXPECT_TRUE(turnUntil([&] { return run.ended(); }, 60));
}

// The generator of the interfaces' code, given XML it cannot use, names the file, the line and
// what is wrong, and fails the build.
TEST(InterfaceCode, BadXmlIsRefusedNamingFileLineAndProblem) {
    ScratchDir dir;
    const std::pair<const char*, const char*> cases[] = {
        {"<node>\n  <interface name=\"org.x.Y\">\n    <signal name=\"S\">\n      <arg "
         "name=\"a\" type=\"a{sv}\"/>\n    </signal>\n  </interface>\n</node>\n",
         "bad.xml:4: S: type 'a{sv}' of a is not one of s b i x d as"},
        {"<node>\n  <interface name=\"org.x.Y\">\n    <method name=\"M\"/>\n  </interface>\n"
         "</node>\n",
         "bad.xml:3: <method> in org.x.Y: only signals are described"},
        {"<node>\n  <interface name=\"org.x.Y\">\n", "bad.xml:3: not XML: no element found"},
        {"<node>\n  <interface name=\"Y\"/>\n</node>\n", "bad.xml:2: 'Y' is not an interface name"},
        {"<node><interface name=\"org.x.Y\">\n<signal name=\"S\"><arg name=\"a\" type=\"s\"/>\n"
         "<arg name=\"a\" type=\"s\"/></signal></interface></node>",
         "bad.xml:3: S: a second argument named 'a'"},
        {"<node><interface name=\"org.x.Y\">\n<signal name=\"S\">\n<arg name=\"of\" type=\"s\"/>"
         "</signal></interface></node>",
         "bad.xml:3: S: a second argument named 'of' (or a name the generated code takes)"},
        {"<node><interface name=\"org.x.Y\"><signal name=\"S\"/>\n<signal name=\"S\"/>"
         "</interface></node>",
         "bad.xml:2: org.x.Y: a second signal named 'S'"},
        {"<node><interface name=\"org.x.Y\"/>\n<interface name=\"org.z.y\"/></node>",
         "bad.xml:2: org.z.y: another interface of the file ends in the same word"},
    };
    for (const auto& [xml, message] : cases) {
        writeFile(dir.file("bad.xml"), xml);
        const std::string command = "python3 " ORVELLA_INTERFACE_CODE
                                    " --namespace n --header n.h --out-header " +
                                    dir.file("n.h") + " --out-source " + dir.file("n.cpp") + " " +
                                    dir.file("bad.xml") + " 2>" + dir.file("err");
        EXPECT_NE(testing_support::run(command), 0) << xml;
        EXPECT_NE(readFile(dir.file("err")).find(message), std::string::npos)
            << readFile(dir.file("err"));
    }
}
