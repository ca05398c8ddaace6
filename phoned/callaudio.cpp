#include "callaudio.h"

#include "platform/devices/hardware.h"

namespace phoned {

namespace {
constexpr const char* kService = "org.mobian_project.CallAudio";
constexpr const char* kPath = "/org/mobian_project/CallAudio";
constexpr const char* kInterface = "org.mobian_project.CallAudio";
constexpr int64_t kSpeakerOn = 1;
}  // namespace

CallAudio::CallAudio(Connection& session) : bus_(session) {
    match_ = bus_.match({.path = kPath,
                         .interface = "org.freedesktop.DBus.Properties",
                         .member = "PropertiesChanged"},
                        [this](sd_bus_message* m) {
                            const char* interface = nullptr;
                            if (!service_->sent(m) ||
                                sd_bus_message_read_basic(m, 's', &interface) < 0 ||
                                interface == nullptr || std::string(interface) != kInterface)
                                return;
                            if (auto props = readProps(m)) read(*props);
                        });
    service_ = std::make_unique<Service>(
        bus_, kService, "the call audio service (callaudiod)", [this](bool present) {
            const unsigned generation = ++generation_;
            if (!present) {
                platform::DeviceModel::shared().setSpeakerSelected(false);
                return;
            }
            getAll(bus_, kService, kPath, kInterface,
                   [this, generation](platform::Result<Props> props) {
                       if (generation != generation_) return;
                       if (!props)
                           say("cannot read the speaker state of callaudiod: " + props.error());
                       else
                           read(*props);
                   });
        });
}

void CallAudio::read(const Props& props) {
    // 0 off, 1 on, anything else unknown: only a speaker known to be on counts as on.
    if (const Variant* state = find(props, "SpeakerState"))
        platform::DeviceModel::shared().setSpeakerSelected(asInt(*state, -1) == kSpeakerOn);
}

void CallAudio::enableSpeaker(bool on) {
    if (!service_->present()) {
        say(std::string("cannot turn the speaker ") + (on ? "on" : "off") +
            ": callaudiod is not running");
        return;
    }
    bus_.call(
        kService, kPath, kInterface, "EnableSpeaker",
        [on](sd_bus_message* m) {
            const int value = on ? 1 : 0;
            return sd_bus_message_append_basic(m, 'b', &value);
        },
        [on](const Reply& reply) {
            int success = 0;
            if (!reply.ok() || sd_bus_message_read_basic(reply.message, 'b', &success) < 0 ||
                !success)
                say(std::string("callaudiod could not turn the speaker ") + (on ? "on" : "off") +
                    (reply.ok() ? "" : ": " + reply.error));
        });
}

}  // namespace phoned
