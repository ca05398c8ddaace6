#include "options.h"

#include <cstdlib>

namespace sim {

const char* const kUsage =
    "usage: orvella-sim [SCENARIO] [--realtime [--speed F]] [--json] [--log] [--root DIR]\n"
    "                   [--package DIR] [--bus-address-file FILE]";

platform::Result<Options> parseOptions(int argc, const char* const* argv,
                                       const std::string& defaultPackage) {
    using platform::Failure;
    Options o;
    o.package = defaultPackage;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& into) -> bool {
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        if (a == "--json") {
            o.json = true;
        } else if (a == "--log") {
            o.log = true;
        } else if (a == "--realtime") {
            o.realtime = true;
        } else if (a == "--root" || a == "--package" || a == "--bus-address-file" ||
                   a == "--speed") {
            std::string v;
            if (!value(v)) return Failure{a + " needs a value"};
            if (a == "--root") {
                o.root = v;
            } else if (a == "--package") {
                o.package = v;
            } else if (a == "--bus-address-file") {
                o.addressFile = v;
            } else {
                char* end = nullptr;
                const double d = std::strtod(v.c_str(), &end);
                if (end == v.c_str() || *end != '\0' || !(d > 0) || d > 1000)
                    return Failure{"--speed needs a number above 0 and at most 1000"};
                o.speed = d;
            }
        } else if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (!a.empty() && a[0] == '-') {
            return Failure{"unknown option '" + a + "'"};
        } else if (o.scenarioFile.empty()) {
            o.scenarioFile = a;
        } else {
            return Failure{"only one scenario at a time"};
        }
    }
    return o;
}

}  // namespace sim
