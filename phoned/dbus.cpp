#include "dbus.h"

#include <cerrno>
#include <cstring>

namespace phoned {

using platform::Failure;
using platform::Result;

namespace {

using platform::dbus::errorText;

Result<void> fail(const char* what, int r) {
    return Failure{std::string("cannot read ") + what + ": " + errorText(r)};
}

}  // namespace

// --- values ---------------------------------------------------------------------------------

bool asBool(const Variant& v, bool fallback) {
    if (auto* b = std::get_if<bool>(&v)) return *b;
    return fallback;
}

int64_t asInt(const Variant& v, int64_t fallback) {
    if (auto* i = std::get_if<int64_t>(&v)) return *i;
    return fallback;
}

std::string asString(const Variant& v) {
    if (auto* s = std::get_if<std::string>(&v)) return *s;
    return "";
}

std::vector<std::string> asStrings(const Variant& v) {
    if (auto* s = std::get_if<std::vector<std::string>>(&v)) return *s;
    return {};
}

const Variant* find(const Props& props, const std::string& name) {
    auto it = props.find(name);
    return it == props.end() ? nullptr : &it->second;
}

namespace {

// Reads one integer of any width as the one integer kind a Variant holds.
int readInteger(sd_bus_message* m, char type, Variant& out) {
    union {
        uint8_t y;
        int16_t n;
        uint16_t q;
        int32_t i;
        uint32_t u;
        int64_t x;
        uint64_t t;
    } v{};
    const int r = sd_bus_message_read_basic(m, type, &v);
    if (r < 0) return r;
    switch (type) {
        case 'y':
            out = int64_t{v.y};
            break;
        case 'n':
            out = int64_t{v.n};
            break;
        case 'q':
            out = int64_t{v.q};
            break;
        case 'i':
            out = int64_t{v.i};
            break;
        case 'u':
            out = int64_t{v.u};
            break;
        case 'x':
            out = v.x;
            break;
        default:
            out = static_cast<int64_t>(v.t);
            break;
    }
    return r;
}

// Reads an array of strings or object paths; sig is "as" or "ao".
int readStrings(sd_bus_message* m, const std::string& sig, Variant& out) {
    std::vector<std::string> list;
    int r = sd_bus_message_enter_container(m, 'a', sig.c_str() + 1);
    while (r >= 0) {
        const char* s = nullptr;
        r = sd_bus_message_read_basic(m, sig[1], &s);
        if (r <= 0) break;
        list.emplace_back(s ? s : "");
    }
    if (r >= 0) r = sd_bus_message_exit_container(m);
    out = std::move(list);
    return r;
}

// Reads the value inside a variant whose signature is sig; kinds a Variant does not hold are
// skipped and stay Other.
int readContents(sd_bus_message* m, const std::string& sig, Variant& out) {
    int r = 0;
    if (sig == "b") {
        int b = 0;
        r = sd_bus_message_read_basic(m, 'b', &b);
        out = b != 0;
    } else if (sig.size() == 1 && std::strchr("ynqiuxt", sig[0]) != nullptr) {
        r = readInteger(m, sig[0], out);
    } else if (sig == "d") {
        double d = 0;
        r = sd_bus_message_read_basic(m, 'd', &d);
        out = d;
    } else if (sig == "s" || sig == "o" || sig == "g") {
        const char* s = nullptr;
        r = sd_bus_message_read_basic(m, sig[0], &s);
        out = std::string(s ? s : "");
    } else if (sig == "as" || sig == "ao") {
        r = readStrings(m, sig, out);
    } else {
        r = sd_bus_message_skip(m, sig.c_str());
    }
    return r;
}

}  // namespace

Result<Variant> readVariant(sd_bus_message* m) {
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(m, nullptr, &contents);
    if (r <= 0 || contents == nullptr) return Failure{"cannot read a variant: " + errorText(r)};
    const std::string sig = contents;
    if ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, contents)) < 0)
        return Failure{"cannot read a variant: " + errorText(r)};
    Variant out = Other{};
    if ((r = readContents(m, sig, out)) < 0)
        return Failure{"cannot read a value of type " + sig + ": " + errorText(r)};
    if ((r = sd_bus_message_exit_container(m)) < 0)
        return Failure{"cannot read a variant: " + errorText(r)};
    return out;
}

Result<Props> readProps(sd_bus_message* m) {
    Props props;
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0) return Failure{fail("properties", r).error()};
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* name = nullptr;
        if ((r = sd_bus_message_read_basic(m, 's', &name)) < 0) break;
        auto value = readVariant(m);
        if (!value) return Failure{value.error()};
        props[name ? name : ""] = std::move(*value);
        if ((r = sd_bus_message_exit_container(m)) < 0) break;
    }
    if (r >= 0) r = sd_bus_message_exit_container(m);
    if (r < 0) return Failure{fail("properties", r).error()};
    return props;
}

Result<Interfaces> readInterfaces(sd_bus_message* m) {
    Interfaces interfaces;
    int r = sd_bus_message_enter_container(m, 'a', "{sa{sv}}");
    while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
        const char* interface = nullptr;
        if ((r = sd_bus_message_read_basic(m, 's', &interface)) < 0) break;
        auto props = readProps(m);
        if (!props) return Failure{props.error()};
        interfaces[interface ? interface : ""] = std::move(*props);
        r = sd_bus_message_exit_container(m);
    }
    if (r >= 0) r = sd_bus_message_exit_container(m);
    if (r < 0) return Failure{fail("the interfaces", r).error()};
    return interfaces;
}

Result<ManagedObjects> readManagedObjects(sd_bus_message* m) {
    ManagedObjects objects;
    int r = sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}");
    while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}")) > 0) {
        const char* path = nullptr;
        if ((r = sd_bus_message_read_basic(m, 'o', &path)) < 0) break;
        auto interfaces = readInterfaces(m);
        if (!interfaces) return Failure{interfaces.error()};
        objects[path ? path : ""] = std::move(*interfaces);
        r = sd_bus_message_exit_container(m);
    }
    if (r >= 0) r = sd_bus_message_exit_container(m);
    if (r < 0) return Failure{fail("the managed objects", r).error()};
    return objects;
}

Result<InterfacesAdded> readInterfacesAdded(sd_bus_message* m) {
    const char* path = nullptr;
    if (int r = sd_bus_message_read_basic(m, 'o', &path); r < 0 || path == nullptr)
        return Failure{fail("the object added", r < 0 ? r : -EINVAL).error()};
    auto interfaces = readInterfaces(m);
    if (!interfaces) return Failure{interfaces.error()};
    return InterfacesAdded{path, std::move(*interfaces)};
}

Result<InterfacesRemoved> readInterfacesRemoved(sd_bus_message* m) {
    const char* path = nullptr;
    if (int r = sd_bus_message_read_basic(m, 'o', &path); r < 0 || path == nullptr)
        return Failure{fail("the object removed", r < 0 ? r : -EINVAL).error()};
    auto names = platform::dbus::readStrings(m);
    if (!names) return Failure{"cannot read the interfaces removed: " + names.error()};
    return InterfacesRemoved{path, std::move(*names)};
}

void getAll(Connection& bus, const std::string& destination, const std::string& path,
            const std::string& interface, std::function<void(Result<Props>)> done) {
    bus.call(
        destination, path, "org.freedesktop.DBus.Properties", "GetAll",
        [interface](sd_bus_message* m) {
            return sd_bus_message_append_basic(m, 's', interface.c_str());
        },
        [done = std::move(done)](const Reply& reply) {
            if (!reply.ok()) return done(Failure{reply.error});
            done(readProps(reply.message));
        });
}

}  // namespace phoned
