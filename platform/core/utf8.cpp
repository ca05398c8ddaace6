#include "platform/core/utf8.h"

namespace platform::utf8 {

std::optional<uint32_t> nextCodePoint(std::string_view s, size_t& i) {
    const auto c = static_cast<uint8_t>(s[i]);
    size_t n = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
        ++i;
        return c;
    } else if ((c & 0xE0) == 0xC0) {
        n = 1, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 2, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        n = 3, cp = c & 0x07;
    } else {
        return std::nullopt;
    }
    if (i + n >= s.size()) return std::nullopt;
    for (size_t k = 1; k <= n; ++k) {
        const auto d = static_cast<uint8_t>(s[i + k]);
        if ((d & 0xC0) != 0x80) return std::nullopt;
        cp = (cp << 6) | (d & 0x3F);
    }
    static constexpr uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[n] || cp > 0x10FFFF) return std::nullopt;
    i += n + 1;
    return cp;
}

}  // namespace platform::utf8
