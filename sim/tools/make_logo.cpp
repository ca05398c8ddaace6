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

#include "platform/core/warn.h"
#include "program/command_line.h"

namespace {

const program::Program kMakeLogo{
    "make_logo",
    {{nullptr,
      "[--warning] OUTPUT.png",
      "Draws the package's product logo, or the settings pane's warning sign, as a PNG file.",
      {{"warning", 0, nullptr, "draw the settings pane's warning sign instead of the logo"}}}}};

// RGBA pixels, drawn on by blending colours over what is there.
struct Canvas {
    Canvas(int width, int height) : w(width), h(height), px(static_cast<size_t>(w * h * 4), 0) {}

    void blend(int x, int y, unsigned char r, unsigned char g, unsigned char b, double a) {
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
    }

    int w, h;
    std::vector<unsigned char> px;
};

// The warning sign: an amber triangle with apex (31, 4) and base from (3, 58) to (59, 58), a
// dark bar and dot inside.
void drawWarning(Canvas& c) {
    for (int y = 0; y < c.h; ++y) {
        for (int x = 0; x < c.w; ++x) {
            const double fx = x + 0.5, fy = y + 0.5;
            const double left = (fy - 4) * 28.0 / 54.0;
            const double inside = std::min({fy - 4, 58 - fy, left - std::fabs(fx - 31)});
            c.blend(x, y, 0xff, 0xb3, 0x00, inside);
            const bool bar = std::fabs(fx - 31) < 3 && fy > 20 && fy < 42;
            const bool dot = std::hypot(fx - 31, fy - 50) < 3.2;
            if (bar || dot) c.blend(x, y, 0x20, 0x20, 0x20, 1);
        }
    }
}

// The logo: a green disc, anti-aliased at its edge, and three white arcs to its right.
void drawLogo(Canvas& c) {
    const double cx = 32, cy = 32;
    for (int y = 0; y < c.h; ++y) {
        for (int x = 0; x < c.w; ++x) {
            const double dx = x + 0.5 - cx, dy = y + 0.5 - cy;
            const double d = std::sqrt(dx * dx + dy * dy);
            c.blend(x, y, 0x2e, 0xb8, 0x5c, 24.5 - d);
            const double angle = std::atan2(dy, dx);
            if (std::fabs(angle) < 0.75 && dx > 0) {
                for (double r : {36.0, 48.0, 60.0})
                    c.blend(x, y, 255, 255, 255, 2.5 - std::fabs(d - r));
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    auto line = kMakeLogo.parse(argc, argv);
    if (!line) return kMakeLogo.refuse(line.error());
    if (line->help) return kMakeLogo.showHelp();
    if (line->version) return kMakeLogo.showVersion();
    if (line->operands.size() != 1) return kMakeLogo.refuse("needs one OUTPUT.png");
    const bool warning = !line->options.empty();
    const std::string& output = line->operands.front();
    Canvas canvas(warning ? 62 : 200, warning ? 62 : 64);
    if (warning)
        drawWarning(canvas);
    else
        drawLogo(canvas);
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    img.width = static_cast<png_uint_32>(canvas.w);
    img.height = static_cast<png_uint_32>(canvas.h);
    img.format = PNG_FORMAT_RGBA;
    if (!png_image_write_to_file(&img, output.c_str(), 0, canvas.px.data(), 0, nullptr)) {
        platform::warn("make_logo", output + ": cannot write: " + img.message);
        return 1;
    }
    return 0;
}
