#include "host_screen.h"

#include <optional>

#include "platform/core/trace.h"
#include "platform/core/warn.h"
#include "screenshots.h"

namespace sim {

ScreenRecorder::ScreenRecorder(std::string process, platform::HostRole role, std::string dir)
    : process_(std::move(process)), role_(role), dir_(std::move(dir)) {}

void ScreenRecorder::afterPass() {
    std::optional<render::Scene> scene;
    if (role_ == platform::HostRole::SpringBoard) {
        const auto& calls = platform::CallScreen::shared();
        if (calls.bar() != nullptr) {
            scene = render::Scene{render::Look::IncomingCall, {calls.bar()}};
        } else if (platform::InCallController* controller = calls.inCallController();
                   controller != nullptr && controller->view) {
            controller->showRoute();
            scene = render::Scene{render::Look::IncomingCall, {controller->view.get()}};
        }
    } else if (role_ == platform::HostRole::Preferences && pane_ != nullptr) {
        auto* root = static_cast<platform::UIView*>(objc::msgSend<objc::id>(pane_, SEL_("view")));
        if (root != nullptr) scene = render::Scene{render::Look::Settings, {root}};
    }
    if (!scene) {
        // Gone from the screen: what shows next is news even if it looks as before.
        if (showing_) recorder_.forget();
        showing_ = false;
        return;
    }
    showing_ = true;
    std::optional<render::Image> picture = recorder_.capture(*scene, render::mainScreen());
    if (!picture) return;
    const std::string file = dir_ + "/" + kPendingScreenshotPrefix + process_ + "-" +
                             std::to_string(++written_) + ".png";
    if (auto written = render::writePNG(*picture, file); !written) {
        if (!warned_) platform::warn(process_, written.error());
        warned_ = true;
        return;
    }
    if (platform::tracing()) platform::trace(platform::events::ScreenshotWritten{file});
}

}  // namespace sim
