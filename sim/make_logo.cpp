// Draws the product logo: a green disc (the sensor) with three white wave arcs beside it, on a
// transparent background, 200 x 64 pixels, written as an "@2x" PNG (100 x 32 points).
#include <png.h>

#include <cmath>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
    const int w = 200, h = 64;
    std::vector<unsigned char> px(static_cast<size_t>(w * h * 4), 0);
    auto blend = [&](int x, int y, unsigned char r, unsigned char g, unsigned char b, double a) {
        if (x < 0 || y < 0 || x >= w || y >= h || a <= 0) return;
        unsigned char* p = &px[static_cast<size_t>((y * w + x) * 4)];
        const double inA = std::min(1.0, a), outA = p[3] / 255.0;
        const double newA = inA + outA * (1 - inA);
        auto mix = [&](unsigned char src, unsigned char dst) {
            return static_cast<unsigned char>((src * inA + dst * outA * (1 - inA)) / (newA > 0 ? newA : 1));
        };
        p[0] = mix(r, p[0]);
        p[1] = mix(g, p[1]);
        p[2] = mix(b, p[2]);
        p[3] = static_cast<unsigned char>(newA * 255);
    };
    const double cx = 32, cy = 32;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double dx = x + 0.5 - cx, dy = y + 0.5 - cy;
            const double d = std::sqrt(dx * dx + dy * dy);
            blend(x, y, 0x2e, 0xb8, 0x5c, 24.5 - d);  // the disc, anti-aliased at its edge
            const double angle = std::atan2(dy, dx);
            if (std::fabs(angle) < 0.75 && dx > 0) {
                for (double r : {36.0, 48.0, 60.0}) blend(x, y, 255, 255, 255, 2.5 - std::fabs(d - r));
            }
        }
    }
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    img.width = w;
    img.height = h;
    img.format = PNG_FORMAT_RGBA;
    if (!png_image_write_to_file(&img, argv[1], 0, px.data(), 0, nullptr)) {
        std::fprintf(stderr, "%s: cannot write: %s\n", argv[1], img.message);
        return 1;
    }
    return 0;
}
