// The phone simulator: a whole phone as separate processes on a private D-Bus.
//
//   orvella-sim [SCENARIO] [--speed F] [--json] [--log] [--root DIR] [--package DIR]
//               [--bus-address-file FILE]
//
// Starts a private dbus-daemon and the springboard, mobilephone and preferences hosts on a
// device root with the package installed, plays the scenario (the built-in one when none is
// given), prints a timeline of what happened and checks the scenario's expectations.
// Exit status: 0 every expectation held, 1 one failed (named), 2 bad scenario or arguments,
// 3 the phone could not be run. Ctrl-C or SIGTERM ends every process it started and removes its
// runtime directory.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/bus.h"
#include "platform/device.h"
#include "platform/devices.h"
#include "platform/files.h"
#include "platform/runloop.h"
#include "private_bus.h"
#include "scenario.h"

namespace fs = std::filesystem;
using platform::BusSignal;

namespace {

// --- options -------------------------------------------------------------------------------------

struct Options {
    std::string scenarioFile;
    std::optional<double> speed;
    bool json = false;
    bool log = false;
    std::string root;
    std::string package = ORVELLA_PACKAGE_DIR;
    std::string addressFile;
};

[[noreturn]] void usage(const std::string& problem) {
    if (!problem.empty()) std::fprintf(stderr, "orvella-sim: %s\n", problem.c_str());
    std::fprintf(
        stderr,
        "usage: orvella-sim [SCENARIO] [--speed F] [--json] [--log] [--root DIR] [--package DIR]\n"
        "                   [--bus-address-file FILE]\n");
    std::exit(2);
}

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage(a + " needs a value");
            return argv[++i];
        };
        if (a == "--json")
            o.json = true;
        else if (a == "--log")
            o.log = true;
        else if (a == "--root")
            o.root = value();
        else if (a == "--package")
            o.package = value();
        else if (a == "--bus-address-file")
            o.addressFile = value();
        else if (a == "--speed") {
            std::string v = value();
            char* end = nullptr;
            double d = std::strtod(v.c_str(), &end);
            if (end == v.c_str() || *end != '\0' || !(d > 0) || d > 1000)
                usage("--speed needs a number above 0 and at most 1000");
            o.speed = d;
        } else if (a == "--help" || a == "-h")
            usage("");
        else if (!a.empty() && a[0] == '-')
            usage("unknown option '" + a + "'");
        else if (o.scenarioFile.empty())
            o.scenarioFile = a;
        else
            usage("only one scenario at a time");
    }
    return o;
}

// --- the timeline
// ------------------------------------------------------------------------------------

std::string jsonEscape(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

class Timeline {
  public:
    explicit Timeline(bool json) : json_(json) {}
    void setStart(double t) { start_ = t; }
    void add(const std::string& process, const std::string& event) {
        const double t = start_ < 0 ? 0 : platform::processClock().now() - start_;
        events_.push_back(event);
        if (json_) {
            std::printf("{\"time\": %.3f, \"process\": \"%s\", \"event\": \"%s\"}\n", t,
                        jsonEscape(process).c_str(), jsonEscape(event).c_str());
        } else {
            std::printf("%8.3f  %-12s %s\n", t, process.c_str(), event.c_str());
        }
        std::fflush(stdout);
    }
    void result(const std::string& expectation, bool held) {
        if (json_) {
            std::printf("{\"expectation\": \"%s\", \"held\": %s}\n",
                        jsonEscape(expectation).c_str(), held ? "true" : "false");
        } else {
            std::printf("%s %s\n", held ? "  ok    " : "  FAILED", expectation.c_str());
        }
        std::fflush(stdout);
    }
    void heading(const std::string& text) {
        if (!json_)
            std::printf("%s\n", text.c_str());
        else
            std::printf("{\"scenario\": \"%s\"}\n", jsonEscape(text).c_str());
        std::fflush(stdout);
    }
    bool contains(const std::string& text) const {
        for (const auto& e : events_)
            if (e.find(text) != std::string::npos) return true;
        return false;
    }

  private:
    bool json_;
    double start_ = -1;
    std::vector<std::string> events_;
};

// Host traces in plain words.
class Narrator {
  public:
    explicit Narrator(Timeline& t) : timeline_(t) {}
    std::vector<std::string> hints;

    void trace(const std::string& process, const std::string& line) {
        auto starts = [&](const char* p) { return line.rfind(p, 0) == 0; };
        auto quoted = [&]() {
            auto open = line.find(" text \"");
            return open == std::string::npos ? std::string()
                                             : line.substr(open + 7, line.size() - open - 8);
        };
        if (starts("view added: UIImageView tag 101")) {
            logoShown_ = true;
        } else if (starts("view added: UILabel tag 103")) {
            hints.push_back(quoted());
            say(process, std::string("answer bar shows ") + (logoShown_ ? "logo and " : "") +
                             "hint \"" + quoted() + "\"");
            logoShown_ = false;
        } else if (starts("view removed: UIImageView tag 101")) {
            logoRemoved_ = true;
        } else if (starts("view removed: UILabel tag 103")) {
            say(process,
                std::string("answer bar removes ") + (logoRemoved_ ? "logo and " : "") + "hint");
            logoRemoved_ = false;
        } else if (starts("view added: ") || starts("view removed: ")) {
            // the platform's own controls coming and going
        } else if (starts("call answered by the answer bar (button)")) {
            say(process, "answer bar presses its answer button");
            say(process, "answer bar answers the call");
        } else if (line == "answer bar slide finished") {
            say(process, "answer bar finishes its slide");
        } else if (starts("call answered by the answer bar")) {
            say(process, "answer bar answers the call");
        } else if (starts("in-call speaker button tapped")) {
            say(process, "in-call controller taps the speaker button");
        } else if (starts("button tapped: ")) {
            say(process, "settings: tapped " + quotedOr(quoted(), line));
        } else if (starts("switch flipped ")) {
            say(process, "settings: " + line);
        } else if (starts("picker column ")) {
            say(process, "settings: " + line);
        } else {
            say(process, line);
        }
    }

  private:
    static std::string quotedOr(const std::string& q, const std::string& fallback) {
        return q.empty() ? fallback : "\"" + q + "\"";
    }
    void say(const std::string& process, const std::string& text) { timeline_.add(process, text); }
    Timeline& timeline_;
    bool logoShown_ = false;
    bool logoRemoved_ = false;
};

// --- processes
// ------------------------------------------------------------------------------------

volatile sig_atomic_t interrupted = 0;
int stopPipe[2] = {-1, -1};

void onSignal(int sig) {
    interrupted = sig;
    const char b = 1;
    (void)!::write(stopPipe[1], &b, 1);
}

std::string selfDirectory() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : exe.parent_path().string();
}

// Everything the simulator started, ended in reverse order when it goes.
struct Phone {
    std::string runtimeDir;
    std::unique_ptr<sim::PrivateBus> bus;
    std::map<std::string, pid_t> hosts;

    ~Phone() {
        for (auto& [name, pid] : hosts) sim::stopProcess(pid);
        bus.reset();
        std::error_code ec;
        if (!runtimeDir.empty()) fs::remove_all(runtimeDir, ec);
    }
};

bool installPackage(const std::string& package, const std::string& root, std::string* error) {
    std::error_code ec;
    if (!fs::is_directory(package, ec)) {
        *error = "no package at " + package + " (build it first: ./run sim)";
        return false;
    }
    // Beneath the root: a link in an existing root never leads the copy out of it.
    auto copied = platform::files::copyTree(package, root);
    if (!copied) *error = "cannot install the package into " + root + ": " + copied.error();
    return copied.ok();
}

// --- the phone's own state, as the modem and audio system see it
// -------------------------------------

struct Modem {
    int32_t status = 0;
    bool answered = false;
    std::vector<int> answeredAtWaves;  // per answered call, the waves made in that call
    bool speakerEverOn = false;
    bool speaker = false;
    int uncovers = 0;  // in the current call
    bool headset = false;
    bool bluetooth = false;
    bool locked = false;
    std::vector<std::string> outputs() const {
        std::vector<std::string> o;
        if (headset) o.push_back(platform::AVAudioSessionPortHeadphones);
        if (bluetooth) o.push_back(platform::AVAudioSessionPortBluetoothHFP);
        return o;
    }
};

std::string stepWords(const sim::Step& s) {
    using K = sim::Step::Kind;
    char buf[96];
    switch (s.kind) {
        case K::CallIncoming:
            return "incoming call";
        case K::CallActive:
            return "call becomes active";
        case K::CallEnded:
            return "call ended";
        case K::CallHeld:
            return "call held";
        case K::Locked:
            return s.on ? "phone locked" : "phone unlocked";
        case K::Pose:
            if (s.z <= -0.5) return "phone lies screen-up";
            if (s.z >= 0.5) return "phone lies screen-down";
            std::snprintf(buf, sizeof buf, "phone moved to x %.2f, y %.2f, z %.2f", s.x, s.y, s.z);
            return buf;
        case K::Cover:
            return "hand covers the sensor";
        case K::Uncover:
            return "hand uncovers the sensor";
        case K::LockButton:
            return "lock button pressed";
        case K::Headset:
            return s.on ? "headphones plugged in" : "headphones unplugged";
        case K::Bluetooth:
            return s.on ? "Bluetooth hands-free connected" : "Bluetooth hands-free disconnected";
        case K::SettingsSwitch:
            return "user flips \"" + s.text + "\" " + (s.on ? "on" : "off") + " in Settings";
        case K::SettingsWaves: {
            static const char* speeds[] = {"slow", "medium", "fast"};
            std::snprintf(buf, sizeof buf,
                          "user sets %d wave(s) locked, %d unlocked, %s in Settings", s.locked,
                          s.unlocked, speeds[s.speed]);
            return buf;
        }
        case K::Note:
            return s.text;
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);

    std::string text = sim::kDefaultScenario;
    std::string file = "(built-in scenario)";
    if (!options.scenarioFile.empty()) {
        std::ifstream in(options.scenarioFile);
        if (!in) {
            std::fprintf(stderr, "orvella-sim: %s: cannot read the scenario file\n",
                         options.scenarioFile.c_str());
            return 2;
        }
        std::stringstream ss;
        ss << in.rdbuf();
        text = ss.str();
        file = options.scenarioFile;
    }
    auto parsed = sim::parseScenario(text, file);
    if (auto* err = std::get_if<sim::ScenarioError>(&parsed)) {
        std::fprintf(stderr, "orvella-sim: %s\n", err->message.c_str());
        return 2;
    }
    const sim::Scenario scenario = std::get<sim::Scenario>(parsed);
    const double speed = options.speed.value_or(scenario.speed.value_or(1.0));

    if (::pipe2(stopPipe, O_CLOEXEC) != 0) return 3;
    struct sigaction sa {};
    sa.sa_handler = &onSignal;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    Timeline timeline(options.json);
    Narrator narrator(timeline);
    platform::setClock(std::make_unique<platform::RealClock>(speed));

    Phone phone;
    {
        std::string tmpl = (fs::temp_directory_path() / "orvella-sim-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) {
            std::fprintf(stderr, "orvella-sim: cannot make a runtime directory\n");
            return 3;
        }
        phone.runtimeDir = tmpl;
    }
    const std::string root = options.root.empty() ? phone.runtimeDir + "/root" : options.root;
    std::string error;
    auto failRun = [&](const std::string& why) {
        std::fprintf(stderr, "orvella-sim: %s\n", why.c_str());
        return 3;
    };
    fs::create_directories(root);
    if (!platform::device::setRoot(root))
        return failRun("cannot use " + root + " as the device root");
    if (!installPackage(options.package, root, &error)) return failRun(error);
    phone.bus = std::make_unique<sim::PrivateBus>(phone.runtimeDir);
    const std::string address = phone.bus->address();
    if (address.empty()) return failRun(phone.bus->error());
    auto bus = platform::Bus::open(address, &error);
    if (!bus) return failRun(error);
    bool busLost = false;
    bus->setDisconnectHandler([&](const std::string& reason) {
        std::fprintf(stderr, "orvella-sim: %s\n", reason.c_str());
        busLost = true;
        platform::RunLoop::main().stop();
    });

    timeline.heading(
        "Scenario: " + (scenario.title.empty() ? file : scenario.title) +
        (speed != 1 ? " (clock speed x" + std::to_string(static_cast<int>(speed)) + ")" : ""));

    Modem modem;
    std::map<std::string, bool> ready;
    std::map<std::string, std::string> processOf;  // unique bus name -> host
    auto emit = [&](const char* member, std::vector<platform::BusArg> args) {
        bus->emit({"org.orvella.Hardware", member, std::move(args), {}});
    };
    bus->subscribe("org.orvella.Host", "Ready", std::nullopt, [&](const BusSignal& s) {
        if (const std::string* p = s.text(0)) {
            ready[*p] = true;
            processOf[s.sender] = *p;
        }
    });
    bus->subscribe("org.orvella.Trace", "Events", std::nullopt, [&](const BusSignal& s) {
        if (s.text(0) == nullptr || s.args.size() < 2) return;
        if (auto* lines = std::get_if<std::vector<std::string>>(&s.args[1])) {
            for (const auto& line : *lines) narrator.trace(*s.text(0), line);
        }
    });
    // Posts are narrated from the notifications themselves, named after the process that sent them.
    bus->subscribe("org.orvella.Distributed", "Notification", std::nullopt,
                   [&](const BusSignal& s) {
                       const std::string* name = s.text(0);
                       if (name == nullptr) return;
                       static const std::map<std::string, std::string> words = {
                           {"com.brelkin.dev.slideopen", "slide-open posted"},
                           {"com.brelkin.dev.removeActiveLabels", "remove-labels posted"},
                           {"com.brelkin.dev.turnonspeaker", "speaker notification posted"}};
                       auto w = words.find(*name);
                       auto who = processOf.find(s.sender);
                       timeline.add(who == processOf.end() ? s.sender : who->second,
                                    w == words.end() ? "posted " + *name : w->second);
                   });
    bus->subscribe("org.orvella.Trace", "Log", std::nullopt, [&](const BusSignal& s) {
        if (!s.text(0) || !s.text(1)) return;
        std::string line = *s.text(1);
        for (auto& ch : line)
            if (ch == '\r' || ch == '\n') ch = ' ';
        timeline.add(*s.text(0), "log: " + line);
    });
    bus->subscribe("org.orvella.Modem", "AnswerRequest", std::nullopt, [&](const BusSignal&) {
        if (modem.status != platform::kCTCallStatusIncoming) return;
        modem.status = platform::kCTCallStatusActive;
        modem.answeredAtWaves.push_back(modem.uncovers);
        modem.answered = true;
        timeline.add("sim", "call answered");
        emit("CallStatus", {modem.status, false});
    });
    bus->subscribe("org.orvella.Modem", "SpeakerRequest", std::nullopt, [&](const BusSignal& s) {
        const bool on =
            !s.args.empty() && std::holds_alternative<bool>(s.args[0]) && std::get<bool>(s.args[0]);
        if (on == modem.speaker) return;
        modem.speaker = on;
        modem.speakerEverOn = modem.speakerEverOn || on;
        timeline.add("sim", on ? "speaker on" : "speaker off");
        emit("Speaker", {on});
    });
    platform::RunLoop::main().addSource(stopPipe[0], [] { platform::RunLoop::main().stop(); });

    const std::string dir = selfDirectory();
    char speedText[32];
    std::snprintf(speedText, sizeof speedText, "%g", speed);
    char heightText[32];
    std::snprintf(heightText, sizeof heightText, "%g", scenario.screenHeight);
    for (const char* host : {"springboard", "mobilephone", "preferences"}) {
        phone.hosts[host] = sim::spawnProcess({dir + "/" + host, "--bus", address, "--root", root,
                                               "--speed", speedText, "--screen-height", heightText,
                                               "--language", scenario.language});
    }
    // Wait for the three hosts, at most ten seconds of host time.
    auto& loop = platform::RunLoop::main();
    for (int i = 0; i < 1000 && ready.size() < 3 && !interrupted && !busLost; ++i) {
        loop.advance(0.01 * speed);
        for (auto& [name, pid] : phone.hosts) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return failRun(name + " stopped while starting");
            }
        }
    }
    if (interrupted) return 128 + interrupted;
    if (ready.size() < 3) return failRun("the hosts did not all start within ten seconds");
    if (options.log) emit("Logging", {true});
    if (!options.addressFile.empty()) std::ofstream(options.addressFile) << address << "\n";

    // Play.
    timeline.setStart(platform::processClock().now());
    for (const sim::Step& step : scenario.steps) {
        loop.schedule(step.at, [&, step] {
            using K = sim::Step::Kind;
            std::string words = stepWords(step);
            switch (step.kind) {
                case K::CallIncoming:
                    modem.status = platform::kCTCallStatusIncoming;
                    modem.uncovers = 0;
                    words += modem.locked ? ", phone locked" : ", phone unlocked";
                    emit("CallStatus", {modem.status, false});
                    break;
                case K::CallActive:
                case K::CallEnded:
                case K::CallHeld:
                    modem.status = step.kind == K::CallActive  ? platform::kCTCallStatusActive
                                   : step.kind == K::CallEnded ? platform::kCTCallStatusEnded
                                                               : platform::kCTCallStatusHeld;
                    if (step.kind == K::CallEnded && modem.speaker) {
                        modem.speaker = false;
                        emit("Speaker", {false});
                    }
                    emit("CallStatus", {modem.status, false});
                    break;
                case K::Locked:
                    modem.locked = step.on;
                    emit("Locked", {step.on});
                    break;
                case K::Pose:
                    emit("Pose", {step.x, step.y, step.z});
                    break;
                case K::Cover:
                    emit("Proximity", {true});
                    break;
                case K::Uncover:
                    ++modem.uncovers;
                    emit("Proximity", {false});
                    break;
                case K::LockButton:
                    modem.locked = true;  // the button locks the phone
                    emit("LockButton", {});
                    break;
                case K::Headset:
                    modem.headset = step.on;
                    emit("AudioOutputs", {modem.outputs()});
                    break;
                case K::Bluetooth:
                    modem.bluetooth = step.on;
                    emit("AudioOutputs", {modem.outputs()});
                    break;
                case K::SettingsSwitch:
                    bus->emit({"org.orvella.Settings",
                               "Operate",
                               {std::string("switch"), step.text + (step.on ? "=on" : "=off")},
                               {}});
                    break;
                case K::SettingsWaves:
                    for (std::vector<platform::BusArg> op :
                         std::vector<std::vector<platform::BusArg>>{
                             {std::string("tap"), std::string("locked setup")},
                             {std::string("spin"),
                              "wave protocol picker:1:" + std::to_string(step.locked - 1)},
                             {std::string("spin"),
                              "wave protocol picker:2:" + std::to_string(step.unlocked - 1)},
                             {std::string("spin"),
                              "wave protocol picker:0:" + std::to_string(step.speed)},
                             {std::string("tap"), std::string("done")}}) {
                        bus->emit({"org.orvella.Settings", "Operate", std::move(op), {}});
                    }
                    break;
                case K::Note:
                    break;
            }
            timeline.add("sim", words);
        });
    }
    loop.schedule(scenario.endTime(), [&loop] { loop.stop(); });
    // Watch the hosts while playing.
    std::function<void()> watchHosts = [&] {
        for (auto& [name, pid] : phone.hosts) {
            int status = 0;
            if (pid > 0 && ::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                timeline.add("sim", name + " stopped unexpectedly");
                loop.stop();
                return;
            }
        }
        loop.schedule(0.1 * speed, watchHosts);
    };
    loop.schedule(0.1 * speed, watchHosts);
    loop.run();
    if (interrupted) {
        std::fprintf(stderr, "orvella-sim: interrupted; stopping the phone\n");
        return 128 + interrupted;
    }
    if (busLost) return 3;
    for (auto& [name, pid] : phone.hosts) {
        if (pid < 0) return failRun(name + " stopped during the scenario");
    }

    // Expectations.
    int failed = 0;
    for (const sim::Expectation& e : scenario.expectations) {
        using K = sim::Expectation::Kind;
        bool held = false;
        switch (e.kind) {
            case K::Answered:
                held = modem.answered;
                break;
            case K::NotAnswered:
                held = !modem.answered;
                break;
            case K::AnsweredAtWave:
                held = std::find(modem.answeredAtWaves.begin(), modem.answeredAtWaves.end(),
                                 e.wave) != modem.answeredAtWaves.end();
                break;
            case K::SpeakerOn:
                held = modem.speakerEverOn;
                break;
            case K::SpeakerOff:
                held = !modem.speakerEverOn;
                break;
            case K::Hint:
                held = std::find(narrator.hints.begin(), narrator.hints.end(), e.text) !=
                       narrator.hints.end();
                break;
            case K::NoHint:
                held = narrator.hints.empty();
                break;
            case K::Event:
                held = timeline.contains(e.text);
                break;
            case K::NoEvent:
                held = !timeline.contains(e.text);
                break;
        }
        std::string what = "line " + std::to_string(e.line) + ": " + e.source;
        if (e.kind == K::AnsweredAtWave && modem.answered && !held) {
            what += " (answered at wave " + std::to_string(modem.answeredAtWaves.front()) + ")";
        }
        timeline.result(what, held);
        if (!held && failed == 0) failed = e.line;
    }
    if (failed != 0) {
        std::fprintf(stderr, "orvella-sim: %s:%d: expectation failed\n", file.c_str(), failed);
        return 1;
    }
    return 0;
}
