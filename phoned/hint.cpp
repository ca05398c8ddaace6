#include "hint.h"

#include "library/OrvellaNames.h"
#include "platform/hosts/host_classes.h"

namespace phoned {

namespace {
constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
}  // namespace

std::optional<std::string> shownHint() {
    platform::TPSuperBottomBar* bar = platform::CallScreen::shared().bar();
    if (bar == nullptr) return std::nullopt;
    auto* label = static_cast<platform::UIView*>(objc::msgSend<objc::id>(
        static_cast<objc::id>(bar), SEL_("viewWithTag:"), orvella::kHintTag));
    if (label == nullptr || label->hidden) return std::nullopt;
    return label->shownText();
}

Hint::Hint(Connection& session) : bus_(session) {
    service_ = std::make_unique<Service>(bus_, kService, "the notification service", [this](bool) {
        // A new server shows nothing of ours.
        ++generation_;
        shown_.clear();
        id_ = 0;
        pending_ = false;
    });
}

void Hint::update() {
    if (pending_) return;  // the answer to Notify says what is shown; decide then
    const std::optional<std::string> text = shownHint();
    const std::string want = text ? *text : "";
    if (want == shown_) return;
    if (!shown_.empty()) withdraw();
    if (!want.empty() && service_->present()) show(want);
}

void Hint::show(const std::string& text) {
    shown_ = text;
    pending_ = true;
    const unsigned generation = generation_;
    bus_.call(
        kService, kPath, kInterface, "Notify",
        [text](sd_bus_message* m) {
            // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout:
            // urgent and kept until withdrawn, as the call screen itself is.
            int r =
                sd_bus_message_append(m, "susss", "Orvella", 0u, "call-start", text.c_str(), "");
            if (r >= 0) r = sd_bus_message_append(m, "as", 0);
            if (r >= 0)
                r = sd_bus_message_append(m, "a{sv}", 2, "urgency", "y", 1, "transient", "b", 1);
            if (r >= 0) r = sd_bus_message_append(m, "i", 0);
            return r;
        },
        [this, generation](const Reply& reply) {
            if (generation != generation_) return;
            pending_ = false;
            uint32_t id = 0;
            if (!reply.ok() || sd_bus_message_read_basic(reply.message, 'u', &id) < 0) {
                say("the notification service did not show the hint: " + reply.error);
                return;
            }
            id_ = id;
            update();
        });
}

void Hint::withdraw() {
    shown_.clear();
    if (id_ == 0) return;
    const uint32_t id = id_;
    id_ = 0;
    bus_.call(
        kService, kPath, kInterface, "CloseNotification",
        [id](sd_bus_message* m) { return sd_bus_message_append_basic(m, 'u', &id); },
        [](const Reply& reply) {
            if (!reply.ok()) say("the notification service kept the hint: " + reply.error);
        });
}

void Hint::withdrawNow() {
    if (id_ == 0) return;
    const uint32_t id = id_;
    id_ = 0;
    shown_.clear();
    if (auto r = bus_.callNow(
            kService, kPath, kInterface, "CloseNotification",
            [id](sd_bus_message* m) { return sd_bus_message_append_basic(m, 'u', &id); }, 2.0);
        !r)
        say(r.error());
}

}  // namespace phoned
