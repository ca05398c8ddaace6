// Draws the package's images as "@2x" PNG files:
//   make_logo OUTPUT.png            the product logo: a green disc (the sensor) with three white
//                                   wave arcs beside it, 200 x 64 pixels (100 x 32 points)
//   make_logo --warning OUTPUT.png  the settings pane's warning sign: an amber triangle with a
//                                   dark bar, 62 x 62 pixels (31 x 31 points)
#include <png.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "platform/warn.h"

int main(int argc, char** argv) {
    const bool warning = argc == 3 && std::string(argv[1]) == "--warning";
    if (argc != 2 && !warning) {
        platform::warn("make_logo", "usage: make_logo [--warning] OUTPUT.png");
        return 2;
    }
    const char* output = argv[argc - 1];
    const int w = warning ? 62 : 200, h = warning ? 62 : 64;
    std::vector<unsigned char> px(static_cast<size_t>(w * h * 4), 0);
    auto blend = [&](int x, int y, unsigned char r, unsigned char g, unsigned char b, double a) {
        if (x < 0 || y < 0 || x >= w || y >= h || a <= 0) return;
        unsigned char* p = &px[static_cast<size_t>((y * w + x) * 4)];
        const double inA = std::min(1.0, a), outA = p[3] / 255.0;
        const double newA = inA + outA * (1 - inA);
        auto mix = [&](unsigned char src, unsigned char dst) {
            return static_cast<unsigned char>((src * inA + dst * outA * (1 - inA)) /
                                              (newA > 0 ? newA : 1));
        };
        p[0] = mix(r, p[0]);
        p[1] = mix(g, p[1]);
        p[2] = mix(b, p[2]);
        p[3] = static_cast<unsigned char>(newA * 255);
    };
    if (warning) {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const double fx = x + 0.5, fy = y + 0.5;
                // Inside the triangle with apex (31, 4) and base from (3, 58) to (59, 58).
                const double left = (fy - 4) * 28.0 / 54.0;
                const double inside = std::min({fy - 4, 58 - fy, left - std::fabs(fx - 31)});
                blend(x, y, 0xff, 0xb3, 0x00, inside);
                const bool bar = std::fabs(fx - 31) < 3 && fy > 20 && fy < 42;
                const bool dot = std::hypot(fx - 31, fy - 50) < 3.2;
                if (bar || dot) blend(x, y, 0x20, 0x20, 0x20, 1);
            }
        }
    }
    const double cx = 32, cy = 32;
    for (int y = 0; !warning && y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double dx = x + 0.5 - cx, dy = y + 0.5 - cy;
            const double d = std::sqrt(dx * dx + dy * dy);
            blend(x, y, 0x2e, 0xb8, 0x5c, 24.5 - d);  // the disc, anti-aliased at its edge
            const double angle = std::atan2(dy, dx);
            if (std::fabs(angle) < 0.75 && dx > 0) {
                for (double r : {36.0, 48.0, 60.0})
                    blend(x, y, 255, 255, 255, 2.5 - std::fabs(d - r));
            }
        }
    }
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    img.width = w;
    img.height = h;
    img.format = PNG_FORMAT_RGBA;
    if (!png_image_write_to_file(&img, output, 0, px.data(), 0, nullptr)) {
        platform::warn("make_logo", std::string(output) + ": cannot write: " + img.message);
        return 1;
    }
    return 0;
}
