// The lock screen, through org.gnome.ScreenSaver on the session bus (the phone shell's lock
// screen answers there): GetActive and ActiveChanged. The screen locking while a call rings is
// what a press of the lock button does on the phone, so it is reported as one.
#pragma once

#include <functional>
#include <memory>

#include "dbus.h"
#include "service.h"

namespace phoned {

class ScreenSaver {
  public:
    ScreenSaver(Connection& session, std::function<bool()> callRinging);

  private:
    void active(bool on, bool news);

    Connection& bus_;
    std::function<bool()> callRinging_;
    std::unique_ptr<Connection::Match> match_;
    std::unique_ptr<Service> service_;
    unsigned generation_ = 0;
};

}  // namespace phoned
