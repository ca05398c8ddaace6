#include "screensaver.h"

#include "platform/devices/hardware.h"

namespace phoned {

namespace {
constexpr const char* kService = "org.gnome.ScreenSaver";
constexpr const char* kPath = "/org/gnome/ScreenSaver";
constexpr const char* kInterface = "org.gnome.ScreenSaver";
}  // namespace

ScreenSaver::ScreenSaver(Connection& session, std::function<bool()> callRinging)
    : bus_(session), callRinging_(std::move(callRinging)) {
    match_ = bus_.match({.path = kPath, .interface = kInterface, .member = "ActiveChanged"},
                        [this](sd_bus_message* m) {
                            int on = 0;
                            if (service_->sent(m) && sd_bus_message_read_basic(m, 'b', &on) >= 0)
                                active(on, true);
                        });
    service_ = std::make_unique<Service>(
        bus_, kService, "the lock screen (org.gnome.ScreenSaver)", [this](bool present) {
            const unsigned generation = ++generation_;
            if (!present) {
                // Nobody to say the phone is locked: it counts as unlocked.
                platform::DeviceModel::shared().setLocked(false);
                return;
            }
            bus_.call(
                kService, kPath, kInterface, "GetActive", {},
                [this, generation](const Reply& reply) {
                    int on = 0;
                    if (generation != generation_) return;
                    if (!reply.ok() || sd_bus_message_read_basic(reply.message, 'b', &on) < 0) {
                        say("cannot ask the lock screen whether it is up: " + reply.error);
                        return;
                    }
                    active(on, false);
                });
        });
}

void ScreenSaver::active(bool on, bool news) {
    auto& model = platform::DeviceModel::shared();
    if (on && news && !model.locked() && callRinging_()) {
        model.pressLockButton();
    } else {
        model.setLocked(on);
    }
}

}  // namespace phoned
