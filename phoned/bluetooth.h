// Bluetooth hands-free, through BlueZ on the system bus: a connected org.bluez.Device1 that
// offers the hands-free profile puts a Bluetooth hands-free output in the audio route.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dbus.h"
#include "service.h"

namespace phoned {

class Bluetooth {
  public:
    // onChange is told whenever handsFree() may have changed.
    Bluetooth(Connection& system, std::function<void()> onChange);
    bool handsFree() const;

  private:
    struct Device {
        bool connected = false;
        bool handsFreeProfile = false;
    };
    void interfacesAdded(sd_bus_message* m);
    void interfacesRemoved(sd_bus_message* m);
    void propertiesChanged(sd_bus_message* m);
    void serviceChanged(bool present);
    void managedObjects(const Reply& reply);
    void update(const std::string& path, const Props& props);

    Connection& bus_;
    std::function<void()> onChange_;
    std::vector<std::unique_ptr<Connection::Match>> matches_;
    std::unique_ptr<Service> service_;
    std::map<std::string, Device> devices_;
    unsigned generation_ = 0;
};

}  // namespace phoned
