// The daemon: plays SpringBoard on a Linux phone. The tweak is injected as on the phone, and
// the platform's device model, telephony centre and call screen are wired to the phone's own
// services, one adapter each.
#include "daemon.h"

#include <dlfcn.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "accelerometer.h"
#include "bluetooth.h"
#include "callaudio.h"
#include "dbus.h"
#include "hint.h"
#include "home.h"
#include "library/OrvellaNames.h"
#include "modem.h"
#include "platform/bus/bus.h"
#include "platform/devices/hardware.h"
#include "platform/files/device_root.h"
#include "platform/hosts/host_classes.h"
#include "platform/loop/foundation.h"
#include "platform/loop/log.h"
#include "platform/loop/runloop.h"
#include "platform/notify/bus_transport.h"
#include "platform/notify/notifications.h"
#include "program/signal_pipe.h"
#include "proximity.h"
#include "screensaver.h"
#include "service.h"
#include "soundserver.h"

namespace phoned {

namespace {

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

// The system bus's address as sd-bus finds it, for messages about it.
std::string systemBusAddress() {
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    return address != nullptr && *address != '\0' ? address
                                                  : "unix:path=/run/dbus/system_bus_socket";
}

// The buses the daemon stands on: the system bus (modem, sensors, Bluetooth), the session bus
// (lock screen, speaker, notifications), and the platform's own connection to the session bus,
// over which the settings command's change notification arrives.
struct Buses {
    std::unique_ptr<Connection> system, session;
    std::unique_ptr<platform::Bus> notifications;
};

// A bus is the ground everything stands on: one that cannot be reached, or is lost, is named
// with its address, and the daemon stops (systemd starts it again).
platform::Result<Buses> openBuses() {
    using platform::Failure;
    const std::string systemAddress = systemBusAddress(), sessionAddress = sessionBusAddress();
    auto system = Connection::open(Connection::Kind::System);
    if (!system) return Failure{system.error() + " (address " + systemAddress + ")"};
    auto session = Connection::open(Connection::Kind::Session);
    if (!session) return Failure{session.error() + " (address " + sessionAddress + ")"};
    auto notifications = platform::Bus::open(sessionAddress);
    if (!notifications) return Failure{notifications.error()};
    auto lost = [](const std::string& address) {
        return [address](const std::string& reason) {
            say(reason + " (address " + address + "); stopping");
            std::fflush(stderr);
            std::_Exit(3);
        };
    };
    (*system)->setDisconnectHandler(lost(systemAddress));
    (*session)->setDisconnectHandler(lost(sessionAddress));
    (*notifications)->setDisconnectHandler(lost(sessionAddress));
    return Buses{std::move(*system), std::move(*session), std::move(*notifications)};
}

// The phone's services, one adapter each, wired to the platform's device model. Made in this
// order, each seeing the ones before it.
class Adapters {
  public:
    Adapters(Connection& system, Connection& session, platform::Bus& notifications,
             const DaemonOptions& options) {
        auto& model = platform::DeviceModel::shared();
        modem_ = std::make_unique<Modem>(
            system,
            [this](int32_t) {
                if (proximity_) proximity_->update();
            },
            [&notifications](std::function<void()> fn) { notifications.afterEchoes(fn); });
        proximity_ =
            std::make_unique<Proximity>(system, options.iio, [this] { return modem_->ringing(); });
        model.setPoseSource(PoseReader(options.iio));
        screenSaver_ = std::make_unique<ScreenSaver>(session, [this] { return modem_->ringing(); });
        callAudio_ = std::make_unique<CallAudio>(session);
        bluetooth_ = std::make_unique<Bluetooth>(system, [this] { outputs(); });
        sound_ = std::make_unique<SoundServer>([this] { outputs(); });
        hint_ = std::make_unique<Hint>(session);
        model.setAnswerHandler([this] { modem_->answer(); });
        model.setSpeakerHandler([this](bool on) { callAudio_->enableSpeaker(on); });
        model.setProximityMonitoringHandler([this](bool on) { proximity_->setMonitoring(on); });
    }
    Hint& hint() { return *hint_; }
    // On the way out: the proximity sensor's claim released, the hint withdrawn.
    void release() {
        proximity_->releaseNow();
        hint_->withdrawNow();
    }

  private:
    // The audio outputs besides the phone's own, as the audio route reads them.
    void outputs() {
        std::vector<std::string> ports;
        if (bluetooth_ && bluetooth_->handsFree())
            ports.push_back(platform::AVAudioSessionPortBluetoothHFP);
        if (sound_ && sound_->headphones()) ports.push_back(platform::AVAudioSessionPortHeadphones);
        platform::DeviceModel::shared().setExternalOutputs(ports);
    }

    std::unique_ptr<Modem> modem_;
    std::unique_ptr<Proximity> proximity_;
    std::unique_ptr<ScreenSaver> screenSaver_;
    std::unique_ptr<CallAudio> callAudio_;
    std::unique_ptr<Bluetooth> bluetooth_;
    std::unique_ptr<SoundServer> sound_;
    std::unique_ptr<Hint> hint_;
};

// The tweak first, then the call screen, as on the phone. False when the tweak did not load.
bool startTweak(const DaemonOptions& options, Hint& hint) {
    if (platform::injectTweaks().empty()) {
        say("the tweak library was not loaded (see above); nothing to do");
        return false;
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
    return true;
}

}  // namespace

int runDaemon(const DaemonOptions& options) {
    auto root = becomePhoneProcess(options.package, "com.apple.springboard");
    if (!root) {
        say(root.error());
        return 1;
    }
    platform::setClock(std::make_unique<platform::RealClock>());
    // The tweak takes the interrupt signal for itself once it starts, as in SpringBoard.
    if (!program::handleSignals({SIGTERM, SIGINT}, [](int) { platform::RunLoop::main().stop(); }))
        return 1;
    auto buses = openBuses();
    if (!buses) {
        say(buses.error());
        return 3;
    }
    platform::setTransport(std::make_unique<platform::BusTransport>(*buses->notifications));
    platform::registerHostClasses(platform::HostRole::SpringBoard);
    Adapters adapters(*buses->system, *buses->session, *buses->notifications, options);
    if (!startTweak(options, adapters.hint())) return 1;
    // Ready once every service has said whether it runs, so what is missing is named first.
    Service::whenAllKnown([device = *root] { say("ready; device root " + device); });
    platform::RunLoop::main().run();

    adapters.release();
    platform::RunLoop::main().setBeforeWaiting({});
    say("stopped");
    return 0;
}

}  // namespace phoned
