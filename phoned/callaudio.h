// The loudspeaker, through callaudiod on the session bus: the speaker state it reports is the
// platform's speaker route, and the in-call speaker button asks it for EnableSpeaker.
#pragma once

#include <memory>

#include "dbus.h"
#include "service.h"

namespace phoned {

class CallAudio {
  public:
    explicit CallAudio(Connection& session);
    // The in-call speaker button was tapped.
    void enableSpeaker(bool on);

  private:
    void read(const Props& props);

    Connection& bus_;
    std::unique_ptr<Connection::Match> match_;
    std::unique_ptr<Service> service_;
    unsigned generation_ = 0;
};

}  // namespace phoned
