// orvella-phoned's side of the D-Bus client (platform/bus/client.h), through which it talks to the
// phone's services: the property values they tell, read from their messages, and GetAll.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/bus/client.h"
#include "platform/core/result.h"

namespace phoned {

using Connection = platform::dbus::Connection;
using Reply = platform::dbus::Reply;

// A property value as the services here use them; anything else reads as Other.
struct Other {
    bool operator==(const Other&) const = default;
};
using Variant = std::variant<Other, bool, int64_t, double, std::string, std::vector<std::string>>;
using Props = std::map<std::string, Variant>;
// Interface -> properties, as an object manager tells them for one object.
using Interfaces = std::map<std::string, Props>;
// Object path -> interface -> properties (org.freedesktop.DBus.ObjectManager).
using ManagedObjects = std::map<std::string, Interfaces>;
// What an object manager's InterfacesAdded and InterfacesRemoved signals say of one object.
struct InterfacesAdded {
    std::string path;
    Interfaces interfaces;
};
struct InterfacesRemoved {
    std::string path;
    std::vector<std::string> interfaces;
};

bool asBool(const Variant& v, bool fallback = false);
int64_t asInt(const Variant& v, int64_t fallback = 0);
std::string asString(const Variant& v);
std::vector<std::string> asStrings(const Variant& v);
const Variant* find(const Props& props, const std::string& name);

// Readers for the usual shapes; each leaves the message after what it read.
platform::Result<Variant> readVariant(sd_bus_message* m);
platform::Result<Props> readProps(sd_bus_message* m);            // a{sv}
platform::Result<Interfaces> readInterfaces(sd_bus_message* m);  // a{sa{sv}}
platform::Result<ManagedObjects> readManagedObjects(sd_bus_message* m);
platform::Result<InterfacesAdded> readInterfacesAdded(sd_bus_message* m);
platform::Result<InterfacesRemoved> readInterfacesRemoved(sd_bus_message* m);

// Every property of an interface (org.freedesktop.DBus.Properties.GetAll); done runs once,
// later, on the run loop, with the properties or why not.
void getAll(Connection& bus, const std::string& destination, const std::string& path,
            const std::string& interface, std::function<void(platform::Result<Props>)> done);

}  // namespace phoned
