// The hint "Wave ... to answer" as a desktop notification (org.freedesktop.Notifications on
// the session bus): shown while the answer bar shows its hint label, withdrawn once the label is
// gone. The label is looked up by its tag in the incoming-call screen's view tree after every
// pass of the run loop, so the notification follows what the tweak does to its views.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "dbus.h"
#include "service.h"

namespace phoned {

// The hint label's text on the incoming-call screen now, if it shows one.
std::optional<std::string> shownHint();

class Hint {
  public:
    explicit Hint(Connection& session);
    // After each pass of the run loop.
    void update();
    // On the way out: withdraw a notification still shown.
    void withdrawNow();

  private:
    void show(const std::string& text);
    void withdraw();

    Connection& bus_;
    std::unique_ptr<Service> service_;
    std::string shown_;     // text of the notification shown or being shown; empty when none
    uint32_t id_ = 0;       // its id, once the server has answered
    bool pending_ = false;  // Notify sent, no answer yet
    unsigned generation_ = 0;
};

}  // namespace phoned
