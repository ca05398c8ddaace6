#include "bluetooth.h"

#include <algorithm>
#include <cctype>

namespace phoned {

namespace {
constexpr const char* kService = "org.bluez";
constexpr const char* kDevice = "org.bluez.Device1";
constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";
// The hands-free profile, as the headset offers it.
constexpr const char* kHandsFreeUuid = "0000111e-0000-1000-8000-00805f9b34fb";

bool offersHandsFree(const std::vector<std::string>& uuids) {
    return std::any_of(uuids.begin(), uuids.end(), [](std::string u) {
        std::transform(u.begin(), u.end(), u.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        return u == kHandsFreeUuid;
    });
}
}  // namespace

Bluetooth::Bluetooth(Connection& system, std::function<void()> onChange)
    : bus_(system), onChange_(std::move(onChange)) {
    matches_.push_back(
        bus_.match({.path = "/", .interface = kObjectManager, .member = "InterfacesAdded"},
                   [this](sd_bus_message* m) { interfacesAdded(m); }));
    matches_.push_back(
        bus_.match({.path = "/", .interface = kObjectManager, .member = "InterfacesRemoved"},
                   [this](sd_bus_message* m) { interfacesRemoved(m); }));
    matches_.push_back(bus_.match({.path = "/org/bluez",
                                   .pathNamespace = true,
                                   .interface = "org.freedesktop.DBus.Properties",
                                   .member = "PropertiesChanged"},
                                  [this](sd_bus_message* m) { propertiesChanged(m); }));
    service_ = std::make_unique<Service>(bus_, kService, "Bluetooth (BlueZ)",
                                         [this](bool present) { serviceChanged(present); });
}

// BlueZ came or went: forget every device, and when it came, ask it for the ones it knows. A
// reply from an earlier appearance is ignored.
void Bluetooth::serviceChanged(bool present) {
    const unsigned generation = ++generation_;
    devices_.clear();
    onChange_();
    if (!present) return;
    bus_.call(kService, "/", kObjectManager, "GetManagedObjects", {},
              [this, generation](const Reply& reply) {
                  if (generation == generation_) managedObjects(reply);
              });
}

void Bluetooth::managedObjects(const Reply& reply) {
    auto objects = reply.ok() ? readManagedObjects(reply.message)
                              : platform::Result<ManagedObjects>(platform::Failure{reply.error});
    if (!objects) {
        say("cannot list the Bluetooth devices: " + objects.error());
        return;
    }
    for (const auto& [path, interfaces] : *objects) {
        auto it = interfaces.find(kDevice);
        if (it == interfaces.end()) continue;
        devices_[path] = Device{};
        update(path, it->second);
    }
}

void Bluetooth::interfacesAdded(sd_bus_message* m) {
    if (!service_->sent(m)) return;
    auto added = readInterfacesAdded(m);
    if (!added) return;
    auto device = added->interfaces.find(kDevice);
    if (device == added->interfaces.end()) return;
    devices_[added->path] = Device{};
    update(added->path, device->second);
}

void Bluetooth::interfacesRemoved(sd_bus_message* m) {
    if (!service_->sent(m)) return;
    auto removed = readInterfacesRemoved(m);
    if (removed && std::count(removed->interfaces.begin(), removed->interfaces.end(), kDevice) &&
        devices_.erase(removed->path) != 0)
        onChange_();
}

void Bluetooth::propertiesChanged(sd_bus_message* m) {
    const char* interface = nullptr;
    const char* path = sd_bus_message_get_path(m);
    if (!service_->sent(m) || path == nullptr ||
        sd_bus_message_read_basic(m, 's', &interface) < 0 || interface == nullptr ||
        std::string(interface) != kDevice || devices_.count(path) == 0)
        return;
    if (auto props = readProps(m)) update(path, *props);
}

void Bluetooth::update(const std::string& path, const Props& props) {
    Device& d = devices_[path];
    const Device before = d;
    if (const Variant* c = find(props, "Connected")) d.connected = asBool(*c);
    if (const Variant* u = find(props, "UUIDs"))
        d.handsFreeProfile = offersHandsFree(asStrings(*u));
    if (before.connected != d.connected || before.handsFreeProfile != d.handsFreeProfile)
        onChange_();
}

bool Bluetooth::handsFree() const {
    return std::any_of(devices_.begin(), devices_.end(), [](const auto& entry) {
        return entry.second.connected && entry.second.handsFreeProfile;
    });
}

}  // namespace phoned
