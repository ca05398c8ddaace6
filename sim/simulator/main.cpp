// The phone simulator: a whole phone as separate processes on a private D-Bus.
//
//   orvella-sim [OPTION...] [SCENARIO | -]      (options.cpp lists them)
//
// Starts a private dbus-daemon and the springboard, mobilephone and preferences hosts on a
// device root with the package installed, plays the scenario (the built-in one when none is
// given), prints a timeline of what happened and checks the scenario's expectations.
// By default the phone runs in simulated time, on the simulator's one clock (phone_clock.h):
// as fast as the machine allows, and with the same timeline on every run. --realtime runs it
// on the wall clock, scaled by --speed, for watching it live and driving it with dbus-send.
// --screenshots DIR keeps a picture of what the person sees each time it changes (listed in the
// timeline); --plot draws the call's time line (plot.h).
// Exit status: 0 every expectation held, 1 some failed (each named), 2 bad scenario or arguments,
// 3 the phone could not be run. Ctrl-C or SIGTERM ends every process it started and removes its
// runtime directory.
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "listener.h"
#include "narrator.h"
#include "options.h"
#include "phone.h"
#include "platform/bus/bus.h"
#include "platform/core/warn.h"
#include "platform/loop/runloop.h"
#include "player.h"
#include "plot.h"
#include "program/signal_pipe.h"
#include "run.h"
#include "scenario.h"
#include "screenshots.h"

namespace fs = std::filesystem;

namespace {

std::string selfDirectory() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : exe.parent_path().string();
}

// What an installed simulator has beside it: PATH relative to its own folder, when that exists.
std::string installed(const char* path) {
    std::error_code ec;
    const fs::path p = (fs::path(selfDirectory()) / path).lexically_normal();
    return fs::exists(p, ec) ? p.string() : std::string();
}

// Where the hosts are: beside the simulator in the build tree, in libexec/orvella once installed.
std::string hostDirectory() {
    const std::string self = selfDirectory();
    std::error_code ec;
    if (fs::exists(self + "/springboard", ec)) return self;
    return (fs::path(self) / ORVELLA_INSTALLED_HOSTS).lexically_normal().string();
}

// The package: the installed one beside an installed simulator, else the build's staged tree.
std::string defaultPackage() {
    const std::string package = installed(ORVELLA_INSTALLED_PACKAGE);
    if (!package.empty()) return package;
    return (fs::path(selfDirectory()) / "../package").lexically_normal().string();
}

// A scenario named without a folder that is not in the current one is looked for among the
// installed scenarios, so `orvella-sim wave-too-slow.scn` plays the one installed beside it.
platform::Result<sim::Scenario> loadScenario(const sim::Options& o) {
    if (o.scenarioFile.empty())
        return sim::parseScenario(sim::kDefaultScenario, "(built-in scenario)");
    std::error_code ec;
    const std::string folder = installed(ORVELLA_INSTALLED_SCENARIOS);
    if (o.scenarioFile != "-" && o.scenarioFile.find('/') == std::string::npos &&
        !fs::exists(o.scenarioFile, ec) && !folder.empty() &&
        fs::exists(folder + "/" + o.scenarioFile, ec))
        return sim::loadScenario(folder + "/" + o.scenarioFile);
    return sim::loadScenario(o.scenarioFile);
}

// The help names its documents as docs/NAME in the source tree; an installed simulator names
// them where they were installed.
int showHelp() {
    std::string text = sim::kSimulator.help();
    const std::string docs = installed(ORVELLA_INSTALLED_DOCS);
    for (size_t at = 0; !docs.empty() && (at = text.find("docs/", at)) != std::string::npos;) {
        text.replace(at, 5, docs + "/");
        at += docs.size() + 1;
    }
    std::fputs(text.c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

// Says why not (the text quotes files, which may hold anything) and gives the exit status.
int refused(const std::string& why, int status) {
    platform::warn(sim::kSimulator.name(), sim::printable(why));
    return status;
}

// The screenshot folder first, for a plot may go into it; then every plot file is checked
// writable. The folder, if there is to be one, or why not.
platform::Result<std::optional<sim::Screenshots>> openOutputs(const sim::Options& o) {
    std::optional<sim::Screenshots> screenshots;
    if (!o.screenshots.empty()) {
        auto opened = sim::Screenshots::open(o.screenshots);
        if (!opened) return platform::Failure{opened.error()};
        screenshots.emplace(std::move(*opened));
    }
    for (const std::string& file : o.plots) {
        if (auto writable = sim::plotWritable(file); !writable) {
            if (screenshots) screenshots->removeIfMade();
            return platform::Failure{writable.error()};
        }
    }
    return screenshots;
}

// The plots of a run that played (status 0 or 1); the status, 2 when one cannot be written.
int writePlots(const sim::Options& o, sim::PlotRecorder& plot, double end, int status) {
    if (status != 0 && status != 1) return status;
    const sim::PlotData data = plot.finish(end);
    for (const std::string& file : o.plots)
        if (auto written = sim::writePlot(data, file); !written) return refused(written.error(), 2);
    return status;
}

// Starts the phone, plays the scenario on it and checks its expectations: the exit status.
int play(const sim::Options& o, const sim::Scenario& scenario,
         std::optional<sim::Screenshots>& screenshots) {
    const program::Program& me = sim::kSimulator;
    const double speed = o.speed.value_or(scenario.speed.value_or(1.0));
    auto& loop = platform::RunLoop::main();
    sim::Timeline timeline(o.json);
    sim::Narrator narrator(timeline, o.log);
    auto phone =
        sim::Phone::start({o.package, o.root, hostDirectory(), scenario.language,
                           scenario.screenHeight, screenshots ? screenshots->absoluteDir() : ""});
    if (!phone) return refused(phone.error(), 3);
    sim::PlotRecorder plot(scenario.title.empty() ? scenario.file : scenario.title);
    sim::Senders senders((*phone)->bus(), [&](int64_t pid) { return (*phone)->hostOf(pid); },
                         me.name());
    sim::Listener listener(senders, timeline, plot, screenshots ? &*screenshots : nullptr);
    listener.listen((*phone)->bus(), narrator);
    sim::Player player((*phone)->bus(), loop, timeline, o.realtime, senders);
    std::optional<double> speakerOnAt;  // for an expectation of the speaker off
    player.setObserver([&](sim::ModemChange change) {
        plot.modem(timeline.now(), change);
        if (change == sim::ModemChange::SpeakerOn && !speakerOnAt) speakerOnAt = timeline.now();
    });
    sim::Json about = {{"file", scenario.file},
                       {"title", scenario.title},
                       {"clock", o.realtime ? "real time" : "simulated"}};
    if (o.realtime) about["speed"] = speed;
    timeline.heading(sim::heading(scenario, o, speed), about);

    sim::Run run{o, scenario, **phone, timeline, player, listener, plot, senders};
    // Waits end on a signal, a host that ended (SIGCHLD) or a lost bus; the real-time loop
    // stops then. A closed terminal (SIGHUP) and Ctrl-\ (SIGQUIT) end the run as Ctrl-C does.
    if (!program::handleSignals({SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}, [&run](int) {
            if (program::stopSignal() != 0 || run.phone.endedHost()) run.loop.stop();
        }))
        return 3;
    std::signal(SIGPIPE, SIG_IGN);
    (*phone)->bus().setDisconnectHandler([&run](const std::string& reason) {
        run.lostBus = reason;
        run.loop.stop();
    });
    int status = o.realtime ? run.realtime(speed) : run.simulated();
    if (screenshots) {
        phone->reset();  // its hosts stopped, none is writing a picture any more
        screenshots->removeLeftovers();
    }
    if (status == 0)
        status = sim::checkExpectations(scenario, player, narrator, timeline, plot, speakerOnAt);
    status = writePlots(o, plot, timeline.now(), status);
    timeline.finish(status);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const program::Program& me = sim::kSimulator;
    auto options = sim::parseOptions(argc, argv, defaultPackage());
    if (!options) return me.refuse(options.error());
    if (options->help) return showHelp();
    if (options->version) return me.showVersion();
    auto scenario = loadScenario(*options);
    if (!scenario) return refused(scenario.error(), 2);
    auto screenshots = openOutputs(*options);
    if (!screenshots) return refused(screenshots.error(), 2);
    return play(*options, *scenario, *screenshots);
}
