// An interface of the phone's bus as introspection describes it: its signals, each with its
// arguments' names and D-Bus types. Interfaces are written once, in introspection XML, and
// their code and descriptions generated from it at build time (interface_code.py). A process
// declares on its connection the interfaces it sends or receives (Bus::declare), so
// `busctl introspect NAME /org/orvella/Phone` shows them.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct SignalArgument {
    std::string name;
    std::string type;  // "s", "as" ...
};

struct SignalDescription {
    std::string member;
    std::vector<SignalArgument> args;
    // The types of its arguments in order: "sxb".
    std::string signature() const {
        std::string s;
        for (const SignalArgument& a : args) s += a.type;
        return s;
    }
};

struct InterfaceDescription {
    std::string name;
    std::vector<SignalDescription> signals;
};

}  // namespace platform
