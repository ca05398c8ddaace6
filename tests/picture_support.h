// Pictures read back from PNG files with libpng, independently of the renderer, and the colours
// a person would name when looking at them.
#pragma once

#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/core/geometry.h"
#include "render/render.h"

namespace testing_support {

using render::Pixel;

struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> rgba;

    static Picture read(const std::string& path) {
        Picture p;
        png_image img{};
        img.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_file(&img, path.c_str())) {
            ADD_FAILURE() << path << ": not a PNG: " << img.message;
            return p;
        }
        img.format = PNG_FORMAT_RGBA;
        p.rgba.resize(PNG_IMAGE_SIZE(img));
        if (!png_image_finish_read(&img, nullptr, p.rgba.data(), 0, nullptr)) {
            ADD_FAILURE() << path << ": unreadable PNG: " << img.message;
            return {};
        }
        p.width = static_cast<int>(img.width);
        p.height = static_cast<int>(img.height);
        return p;
    }
    Pixel at(int x, int y) const {
        if (x < 0 || y < 0 || x >= width || y >= height) return {};
        const uint8_t* q =
            &rgba[(static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) *
                  4];
        return {q[0], q[1], q[2], q[3]};
    }
    // Pixels of a rectangle given in points, at the scale.
    int count(const platform::CGRect& points, const std::function<bool(Pixel)>& test,
              double scale = 2) const {
        int n = 0;
        for (int y = static_cast<int>(points.origin.y * scale);
             y < static_cast<int>((points.origin.y + points.size.height) * scale); ++y)
            for (int x = static_cast<int>(points.origin.x * scale);
                 x < static_cast<int>((points.origin.x + points.size.width) * scale); ++x)
                n += test(at(x, y)) ? 1 : 0;
        return n;
    }
    std::vector<Pixel> crop(const platform::CGRect& points, double scale = 2) const {
        std::vector<Pixel> out;
        count(
            points, [&](Pixel p) { return out.push_back(p), true; }, scale);
        return out;
    }
};

inline bool white(Pixel p) { return p.r >= 230 && p.g >= 230 && p.b >= 230; }
// Light on the call screen's dark: the thin strokes of the hint's white text, antialiased.
inline bool light(Pixel p) { return p.r >= 150 && p.g >= 150 && p.b >= 150; }
inline bool dark(Pixel p) { return p.r < 90 && p.g < 90 && p.b < 90; }
inline bool blue(Pixel p) { return p.b >= 200 && p.r < 110 && p.g < 190 && p.b > p.g + 40; }
inline bool green(Pixel p) { return p.g > p.r + 60 && p.g > p.b + 40; }
inline bool red(Pixel p) { return p.r > 200 && p.g < 60 && p.b < 60; }
inline bool yellow(Pixel p) { return p.r > 200 && p.g > 140 && p.b < 90; }

// Whether a pixel is within `tolerance` of a colour in each of red, green and blue.
inline bool near(Pixel p, Pixel want, int tolerance) {
    return std::abs(p.r - want.r) <= tolerance && std::abs(p.g - want.g) <= tolerance &&
           std::abs(p.b - want.b) <= tolerance;
}

// WCAG's contrast ratio of two colours (1 to 21); 4.5 is readable text, 7 and more plainly so.
inline double contrast(Pixel a, Pixel b) {
    auto luminance = [](Pixel p) {
        auto linear = [](uint8_t v) {
            const double c = v / 255.0;
            return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(p.r) + 0.7152 * linear(p.g) + 0.0722 * linear(p.b);
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// Where a logo file's opaque pixels and the picture's differ, the logo placed with its top-left
// corner at the given pixel; `opaque` counts the logo's opaque pixels.
inline int logoMismatches(const Picture& seen, const Picture& logo, int left, int top,
                          int* opaque = nullptr) {
    int n = 0, o = 0;
    for (int y = 0; y < logo.height; ++y) {
        for (int x = 0; x < logo.width; ++x) {
            const Pixel want = logo.at(x, y);
            if (want.a != 255) continue;
            ++o;
            const Pixel got = seen.at(left + x, top + y);
            if (std::abs(got.r - want.r) > 1 || std::abs(got.g - want.g) > 1 ||
                std::abs(got.b - want.b) > 1)
                ++n;
        }
    }
    if (opaque != nullptr) *opaque = o;
    return n;
}

}  // namespace testing_support

namespace render {
// Pixels in failure messages as colours, not bytes.
inline void PrintTo(const Pixel& p, std::ostream* os) {
    *os << "rgba(" << int(p.r) << "," << int(p.g) << "," << int(p.b) << "," << int(p.a) << ")";
}
}  // namespace render
