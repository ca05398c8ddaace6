// Writes org.orvella.Trace.xml as it is installed: the interface's own XML (Log, Events) with a
// signal added for every kind of trace event, from the platform's table of trace events.
//
//   write_trace_interface SOURCE.xml OUT.xml
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "protocol/interfaces.h"
#include "protocol/trace.h"

namespace {

int fail(const std::string& why) {
    std::fprintf(stderr, "write_trace_interface: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return fail("usage: write_trace_interface SOURCE.xml OUT.xml");
    const std::string source = argv[1], out = argv[2];
    std::ifstream in(source);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) return fail(source + ": cannot read it");
    std::string xml = text.str();
    const std::string end = "  </interface>";
    const auto at = xml.find(end);
    if (at == std::string::npos || xml.find(end, at + 1) != std::string::npos)
        return fail(source + ": needs exactly one line '" + end + "' to add the events before");
    // The signals the XML has itself come first in the description; the events follow.
    const auto& signals = protocol::traceInterface().signals;
    std::string events = "    <!-- The trace events, from the platform's table. -->\n";
    for (size_t i = protocol::trace::description().signals.size(); i < signals.size(); ++i)
        events += protocol::introspectionXml(signals[i]);
    xml.insert(at, events);
    std::ofstream written(out, std::ios::trunc);
    written << xml;
    written.close();
    if (!written) return fail(out + ": cannot write it");
    return 0;
}
