// The property-list reader on any bytes, and the writer on whatever it read: nothing crashes,
// hangs or is undefined, and what is written reads back bit for bit.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/plist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace plist = platform::plist;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto value = plist::parse(bytes);
    if (!value) return 0;
    (void)value->description();  // the tweak logs what it loaded
    if (auto encoded = plist::encodeExactly(*value)) {
        auto back = plist::parse(*encoded);
        if (!back || !plist::identical(*back, *value)) std::abort();
    }
    return 0;
}
