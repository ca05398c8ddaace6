// Darwin and distributed notifications over the phone's bus (bus.h), for every process on it,
// as org.orvella.Darwin.Notification and org.orvella.Distributed.Notification (described in
// platform/notify/org.orvella.Darwin.xml and org.orvella.Distributed.xml; their code is
// generated into platform/notify/interfaces.h). The transport declares both on the bus.
//
// A process subscribes to a name, with an arg0 match rule on it, when it first watches it, so
// the daemon sends each process only the names it observes. The notifications are
// unauthenticated, as on the phone: any process on the bus may post one.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/bus/bus.h"
#include "platform/notify/notifications.h"

namespace platform {

class BusTransport : public Transport {
  public:
    explicit BusTransport(Bus& bus);
    void send(const Envelope& envelope) override;
    void watch(Channel channel, const std::string& name) override;

  private:
    Bus& bus_;
    std::vector<std::pair<Channel, std::string>> watched_;
    bool everyName_[2] = {false, false};  // per channel: one rule for every name took over
};

}  // namespace platform
