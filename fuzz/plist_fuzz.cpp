// The property-list reader on any bytes, and the writer on whatever it read: nothing crashes,
// hangs or is undefined, and what a settings file (XML or binary) held is written back as XML
// that reads again: every text unit for unit, every value XML can say exactly, and the rest as
// near as XML can say it, settled at the first write (writing what was read back gives the same
// bytes). (Old-style text is only read: translation tables are never written.)
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/values/plist.h"

namespace {

using platform::Value;

// Whether XML says every value exactly: no date out of whole seconds between the years 0000
// and 9999, no NaN real.
bool sayableInXml(const Value& v) {
    if (const auto* d = v.date()) {
        const double s = d->secondsSinceReferenceDate;
        return s == std::floor(s) && s >= -63145526400.0 && s <= 252423993599.0;
    }
    if (const auto* r = v.real()) return !std::isnan(*r);
    if (const auto* a = v.array()) {
        for (const Value& item : *a)
            if (!sayableInXml(item)) return false;
    }
    if (const auto* d = v.dictionary()) {
        for (const auto& [key, item] : *d)
            if (!sayableInXml(item)) return false;
    }
    return true;
}

void mustWriteBack(const Value& value) {
    namespace plist = platform::plist;
    const std::string xml = plist::toXml(value);
    auto back = plist::parseXml(xml);
    if (!back || plist::toXml(*back) != xml) std::abort();
    if (sayableInXml(value) && !plist::identical(*back, value)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace plist = platform::plist;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto value = plist::parse(bytes);
    if (value) (void)value->description();  // the tweak logs what it loaded
    if (auto binary = plist::parseBinary(bytes)) mustWriteBack(*binary);
    if (auto xml = plist::parseXml(bytes)) mustWriteBack(*xml);
    return 0;
}
