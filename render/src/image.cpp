// Pictures, screens and PNG files.
#include <cairo.h>

#include <cmath>

#include "internal.h"
#include "platform/core/runtime.h"
#include "platform/devices/hardware.h"
#include "render/render.h"

namespace render {

namespace {

// Larger pictures are refused rather than allocated (a 16384-pixel square is already 1 GiB).
constexpr double kMaxPixels = 8192;

int pixels(double points, double scale) {
    const double p = points * scale;
    if (!std::isfinite(p) || !std::isfinite(scale) || points <= 0 || scale <= 0 || p > kMaxPixels)
        return 0;
    return static_cast<int>(std::lround(p));
}

}  // namespace

int Screen::pixelWidth() const { return pixels(width, scale); }
int Screen::pixelHeight() const { return pixels(height, scale); }

Screen mainScreen(double scale) {
    Screen screen;
    screen.scale = scale;
    // The phone's screen width, for a process that has no main screen to ask.
    constexpr double kPhoneWidth = 320;
    screen.width = kPhoneWidth;
    screen.height = platform::DeviceModel::shared().screenHeight();
    objc::Class cls = objc::objc_getClass("UIScreen");
    objc::id main = cls ? objc::msgSend<objc::id>(cls, SEL_("mainScreen")) : nullptr;
    if (main != nullptr) {
        const auto bounds = objc::msgSend<platform::CGRect>(main, SEL_("bounds"));
        screen.width = bounds.size.width;
        screen.height = bounds.size.height;
    }
    return screen;
}

Image::Image(int width, int height) {
    if (width <= 0 || height <= 0) return;
    width_ = width;
    height_ = height;
    pixels_.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
}

Pixel Image::at(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return {};
    const uint32_t argb =
        pixels_[static_cast<size_t>(y) * static_cast<size_t>(width_) + static_cast<size_t>(x)];
    const uint32_t a = argb >> 24;
    auto straight = [a](uint32_t c) {
        return static_cast<uint8_t>(a == 0 ? 0 : std::min<uint32_t>(255, (c * 255 + a / 2) / a));
    };
    return {straight((argb >> 16) & 0xFF), straight((argb >> 8) & 0xFF), straight(argb & 0xFF),
            static_cast<uint8_t>(a)};
}

uint64_t Image::fingerprint() const {
    detail::Digest d;
    d.add(static_cast<int64_t>(width_));
    d.add(static_cast<int64_t>(height_));
    d.words(pixels_.data(), pixels_.size() * sizeof(uint32_t));
    return d.value();
}

platform::Result<void> writePNG(const Image& image, const std::string& path) {
    if (image.empty()) return platform::Failure{path + ": nothing to write: the picture is empty"};
    cairo_surface_t* surface = cairo_image_surface_create_for_data(
        reinterpret_cast<unsigned char*>(const_cast<uint32_t*>(image.data())), CAIRO_FORMAT_ARGB32,
        image.width(), image.height(), image.width() * 4);
    cairo_status_t status = cairo_surface_status(surface);
    if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_write_to_png(surface, path.c_str());
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS)
        return platform::Failure{path +
                                 ": cannot write the picture: " + cairo_status_to_string(status)};
    return {};
}

}  // namespace render
