// The property-list reader on any bytes, and the writer on whatever it read: nothing crashes,
// hangs or is undefined, and what a settings file (XML or binary) held is written back bit for
// bit. (Old-style text is only read: translation tables are never written.)
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/plist.h"

namespace {

void mustWriteBack(const platform::Value& value) {
    namespace plist = platform::plist;
    auto encoded = plist::encodeExactly(value);
    if (!encoded) std::abort();
    auto back = plist::parse(*encoded);
    if (!back || !plist::identical(*back, value)) std::abort();
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
