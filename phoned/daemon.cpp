// The daemon: plays SpringBoard on a Linux phone. The tweak is injected as on the phone, and
// the platform's device model, telephony centre and call screen are wired to the phone's own
// services, one adapter each.
#include "daemon.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "accelerometer.h"
#include "bluetooth.h"
#include "callaudio.h"
#include "dbus.h"
#include "hint.h"
#include "home.h"
#include "library/OrvellaNames.h"
#include "modem.h"
#include "platform/bus.h"
#include "platform/device.h"
#include "platform/devices.h"
#include "platform/foundation.h"
#include "platform/hosts.h"
#include "platform/log.h"
#include "platform/notifications.h"
#include "platform/runloop.h"
#include "proximity.h"
#include "screensaver.h"
#include "soundserver.h"

namespace phoned {

namespace {

int stopPipe[2] = {-1, -1};

void onTerminate(int) {
    const char byte = 1;
    (void)!::write(stopPipe[1], &byte, 1);
}

// Samples from the accelerometer. It is looked for at start and, while it is missing, again at
// each sample (a driver may load late); a sensor that cannot be read is reported once, and once
// more when it reads again, rather than at every sample.
class PoseReader {
  public:
    explicit PoseReader(std::string root) : root_(std::move(root)) { look(true); }
    std::optional<platform::Pose> operator()() {
        if (!accel_ && !look(false)) return std::nullopt;
        auto pose = accel_->read();
        if (!pose) {
            if (!failing_) say("cannot read the accelerometer: " + pose.error());
            failing_ = true;
            return std::nullopt;
        }
        if (failing_) say("the accelerometer reads again");
        failing_ = false;
        return *pose;
    }

  private:
    bool look(bool atStart) {
        std::vector<std::string> notes;
        auto found = Accelerometer::find(root_, &notes);
        if (!found) {
            if (atStart) say(found.error() + ": waving is unavailable");
            return false;
        }
        for (const auto& note : notes) say(note);
        say("accelerometer: " + found->directory());
        accel_ = std::move(*found);
        return true;
    }
    std::string root_;
    std::optional<Accelerometer> accel_;
    bool failing_ = false;
};

// The tweak's lines carry their own line breaks; the journal wants one line each.
std::string oneLine(const std::string& text) {
    std::string out;
    for (char c : text) {
        const bool blank = c == '\r' || c == '\n' || c == ' ' || c == '\t';
        if (blank && (out.empty() || out.back() == ' ')) continue;
        out += blank ? ' ' : c;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

void settingsChanged(platform::CFNotificationCenterRef, void*, const std::string&, const void*,
                     const platform::Dictionary*) {
    say("the settings changed; the tweak has reloaded them");
}

}  // namespace

int runDaemon(const DaemonOptions& options) {
    auto root = becomePhoneProcess(options.package, "com.apple.springboard");
    if (!root) {
        say(root.error());
        return 1;
    }
    platform::setClock(std::make_unique<platform::RealClock>());

    if (::pipe2(stopPipe, O_CLOEXEC) != 0) return 1;
    struct sigaction sa {};
    sa.sa_handler = &onTerminate;
    ::sigaction(SIGTERM, &sa, nullptr);
    // The tweak takes the interrupt signal for itself once it starts, as in SpringBoard.
    ::sigaction(SIGINT, &sa, nullptr);

    auto system = Connection::open(Connection::Kind::System);
    auto session = Connection::open(Connection::Kind::Session);
    if (!system || !session) {
        say(!system ? system.error() : session.error());
        return 3;
    }
    auto opened = platform::Bus::open(sessionBusAddress());
    if (!opened) {
        say(opened.error());
        return 3;
    }
    std::unique_ptr<platform::Bus> notifications = std::move(*opened);
    // A bus is the ground everything stands on: without it, start again (systemd restarts us).
    auto lost = [](const std::string& reason) {
        say(reason + "; stopping");
        std::fflush(stderr);
        std::_Exit(3);
    };
    (*system)->setDisconnectHandler(lost);
    (*session)->setDisconnectHandler(lost);
    notifications->setDisconnectHandler(lost);
    platform::setTransport(std::make_unique<platform::BusTransport>(*notifications));
    platform::registerHostClasses(platform::HostRole::SpringBoard);

    auto& model = platform::DeviceModel::shared();
    std::unique_ptr<Proximity> proximity;
    Modem modem(**system, [&proximity](int32_t) {
        if (proximity) proximity->update();
    });
    proximity =
        std::make_unique<Proximity>(**system, options.iio, [&modem] { return modem.ringing(); });

    model.setPoseSource(PoseReader(options.iio));

    ScreenSaver screenSaver(**session, [&modem] { return modem.ringing(); });
    CallAudio callAudio(**session);
    std::unique_ptr<Bluetooth> bluetooth;
    std::unique_ptr<SoundServer> sound;
    auto outputs = [&bluetooth, &sound, &model] {
        std::vector<std::string> ports;
        if (bluetooth && bluetooth->handsFree())
            ports.push_back(platform::AVAudioSessionPortBluetoothHFP);
        if (sound && sound->headphones()) ports.push_back(platform::AVAudioSessionPortHeadphones);
        model.setExternalOutputs(ports);
    };
    bluetooth = std::make_unique<Bluetooth>(**system, outputs);
    sound = std::make_unique<SoundServer>(outputs);
    Hint hint(**session);

    model.setAnswerHandler([&modem] { modem.answer(); });
    model.setSpeakerHandler([&callAudio](bool on) { callAudio.enableSpeaker(on); });
    model.setProximityMonitoringHandler([&proximity](bool on) { proximity->setMonitoring(on); });

    // The tweak first, then the call screen, as on the phone.
    if (platform::injectTweaks().empty()) {
        say("the tweak library was not loaded (see above); nothing to do");
        return 1;
    }
    // The tweak starts with its log off; --verbose turns it on once it is loaded.
    if (options.verbose) {
        if (auto* loggerOn = static_cast<bool*>(::dlsym(RTLD_DEFAULT, "LOGGER_ON")))
            *loggerOn = true;
        platform::setLogSink([](const std::string& line) {
            if (const std::string text = oneLine(line); !text.empty()) say("tweak: " + text);
        });
    }
    platform::CFNotificationCenterAddObserver(
        platform::CFNotificationCenterGetDarwinNotifyCenter(), &hint, &settingsChanged,
        orvella::kSettingsChangedNotification, nullptr,
        platform::CFNotificationSuspensionBehaviorDeliverImmediately);
    platform::CallScreen::shared().install(platform::HostRole::SpringBoard);
    platform::RunLoop::main().setBeforeWaiting([&hint] { hint.update(); });
    platform::RunLoop::main().addSource(stopPipe[0], [] {
        char buf[16];
        (void)!::read(stopPipe[0], buf, sizeof buf);
        platform::RunLoop::main().stop();
    });

    say("ready; device root " + *root);
    platform::RunLoop::main().run();

    proximity->releaseNow();
    hint.withdrawNow();
    platform::RunLoop::main().setBeforeWaiting({});
    say("stopped");
    return 0;
}

}  // namespace phoned
