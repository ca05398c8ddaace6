// Pieces the renderer's sources share: colours, text drawing and the digest arithmetic.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace render::detail {

struct Colour {
    double r = 0, g = 0, b = 0, a = 1;
};

inline void setSource(cairo_t* cr, const Colour& c) {
    cairo_set_source_rgba(cr, c.r, c.g, c.b, c.a);
}

struct TextStyle {
    std::string fontName;  // the platform's name ("HelveticaNeue-Thin"); empty: the system font
    double size = 17;      // points
    bool bold = false;     // on top of what the name says
    Colour colour;
    int64_t alignment = 0;  // NSTextAlignment
};

// The text with every byte sequence that is not UTF-8, and every NUL, replaced by U+FFFD.
std::string validUTF8(std::string_view text);

// Draws one line of text inside the rectangle, cut short with an ellipsis when too wide and
// centred vertically, as a label or a button title shows it.
void drawLine(cairo_t* cr, std::string_view text, const TextStyle& style, double x, double y,
              double width, double height);

// Draws text wrapped to the width from the top of the rectangle; returns the height it takes.
// With draw false it only measures.
double drawWrapped(cairo_t* cr, std::string_view text, const TextStyle& style, double x, double y,
                   double width, bool draw = true);

// 64-bit FNV-1a, fed field by field.
class Digest {
  public:
    void bytes(const void* p, size_t n) {
        const auto* b = static_cast<const unsigned char*>(p);
        for (size_t i = 0; i < n; ++i) h_ = (h_ ^ b[i]) * 1099511628211ull;
    }
    void add(std::string_view s) {
        add(static_cast<uint64_t>(s.size()));
        bytes(s.data(), s.size());
    }
    void add(double v) { bytes(&v, sizeof v); }
    void add(uint64_t v) { bytes(&v, sizeof v); }
    void add(int64_t v) { bytes(&v, sizeof v); }
    void add(bool v) { add(static_cast<uint64_t>(v)); }
    // Large buffers a word at a time: the pixels of a whole screen are hashed on every capture.
    void words(const void* p, size_t n) {
        const auto* b = static_cast<const unsigned char*>(p);
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            uint64_t w;
            std::memcpy(&w, b + i, 8);
            h_ = (h_ ^ w) * 1099511628211ull;
            h_ ^= h_ >> 29;
        }
        bytes(b + i, n - i);
    }
    uint64_t value() const { return h_; }

  private:
    uint64_t h_ = 1469598103934665603ull;
};

}  // namespace render::detail
