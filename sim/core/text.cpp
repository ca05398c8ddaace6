#include "text.h"

#include <cstdio>

namespace sim {

namespace {

// Length of the UTF-8 sequence starting at s[i], or 0 when it is not a valid one.
size_t utf8Length(const std::string& s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k)
        if ((b(i + k) & 0xc0) != 0x80) return 0;
    // Overlong forms and surrogates are not UTF-8 either.
    if (n == 2 && c < 0xc2) return 0;
    if (n == 3 && ((c == 0xe0 && b(i + 1) < 0xa0) || (c == 0xed && b(i + 1) >= 0xa0))) return 0;
    if (n == 4 && ((c == 0xf0 && b(i + 1) < 0x90) || c > 0xf4 || (c == 0xf4 && b(i + 1) >= 0x90)))
        return 0;
    return n;
}

}  // namespace

std::string clipped(const std::string& text) {
    if (text.size() <= kMaxText) return text;
    size_t cut = kMaxText;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80) --cut;
    return text.substr(0, cut) + "...";
}

std::string printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t n = utf8Length(text, i);
        char buf[12];
        if (n == 0) {
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
            ++i;
        } else if (n == 1 && (c < 0x20 || c == 0x7f)) {
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
            ++i;
        } else if (n == 2 && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0) {
            // C1 controls: U+0080 to U+009F (0x9b alone starts an escape sequence on some
            // terminals).
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(text[i + 1]));
            out += buf;
            i += 2;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

}  // namespace sim
