// Pictures, screens and PNG files.
#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

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

namespace {

// PNG files are written here rather than by cairo: a screen is large flat areas and some text,
// which the fastest deflate level with no row filter packs several times faster than cairo's
// writer (zlib's default level and adaptive filters), at a similar size.

bool everyPixelOpaque(const Image& image) {
    const uint32_t* p = image.data();
    const size_t count = static_cast<size_t>(image.width()) * static_cast<size_t>(image.height());
    uint32_t all = 0xFFFFFFFF;
    for (size_t i = 0; i < count; ++i) all &= p[i];
    return all >> 24 == 0xFF;
}

// The rows as PNG stores them before compression: each a filter byte (none) and straight RGB
// (every pixel opaque, as a screen is) or RGBA.
struct PngRows {
    std::unique_ptr<uint8_t[]> bytes;  // left uninitialised: every byte is written
    size_t size = 0;
};

void straightRow(const uint32_t* in, size_t width, uint8_t* out) {
    for (size_t x = 0; x < width; ++x, out += 4) {
        const uint32_t a = in[x] >> 24;
        const auto straight = [a](uint32_t c) {
            return static_cast<uint8_t>(a == 0 ? 0
                                               : std::min<uint32_t>(255, (c * 255 + a / 2) / a));
        };
        out[0] = straight((in[x] >> 16) & 0xFF);
        out[1] = straight((in[x] >> 8) & 0xFF);
        out[2] = straight(in[x] & 0xFF);
        out[3] = static_cast<uint8_t>(a);
    }
}

PngRows pngRows(const Image& image, bool opaque) {
    const size_t width = static_cast<size_t>(image.width());
    const size_t stride = 1 + width * (opaque ? 3 : 4);
    PngRows rows{std::make_unique_for_overwrite<uint8_t[]>(stride * image.height()),
                 stride * static_cast<size_t>(image.height())};
    for (size_t y = 0; y < static_cast<size_t>(image.height()); ++y) {
        const uint32_t* in = image.data() + y * width;
        uint8_t* out = rows.bytes.get() + y * stride;
        *out++ = 0;
        if (!opaque) {
            straightRow(in, width, out);
            continue;
        }
        for (size_t x = 0; x < width; ++x, out += 3) {
            out[0] = static_cast<uint8_t>(in[x] >> 16);
            out[1] = static_cast<uint8_t>(in[x] >> 8);
            out[2] = static_cast<uint8_t>(in[x]);
        }
    }
    return rows;
}

void put32(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(v >> shift));
}

void chunk(std::string& out, const char* type, const uint8_t* data, size_t size) {
    put32(out, static_cast<uint32_t>(size));
    const size_t start = out.size();
    out.append(type, 4);
    out.append(reinterpret_cast<const char*>(data), size);
    put32(out, static_cast<uint32_t>(libdeflate_crc32(
                   0, reinterpret_cast<const uint8_t*>(out.data()) + start, 4 + size)));
}

// The whole file, or nothing when the rows could not be compressed.
std::string encodePNG(const Image& image) {
    const bool opaque = everyPixelOpaque(image);
    const PngRows rows = pngRows(image, opaque);
    static thread_local std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)>
        compressor(libdeflate_alloc_compressor(1), &libdeflate_free_compressor);
    if (compressor == nullptr) return {};
    const size_t bound = libdeflate_zlib_compress_bound(compressor.get(), rows.size);
    const auto packed = std::make_unique_for_overwrite<uint8_t[]>(bound);
    const size_t size = libdeflate_zlib_compress(compressor.get(), rows.bytes.get(), rows.size,
                                                 packed.get(), bound);
    if (size == 0) return {};
    std::string file("\x89PNG\r\n\x1a\n", 8);
    std::string header;
    put32(header, static_cast<uint32_t>(image.width()));
    put32(header, static_cast<uint32_t>(image.height()));
    header += {8, static_cast<char>(opaque ? 2 : 6), 0, 0, 0};  // depth, colour type, methods
    chunk(file, "IHDR", reinterpret_cast<const uint8_t*>(header.data()), header.size());
    chunk(file, "IDAT", packed.get(), size);
    chunk(file, "IEND", nullptr, 0);
    return file;
}

}  // namespace

platform::Result<void> writePNG(const Image& image, const std::string& path) {
    if (image.empty()) return platform::Failure{path + ": nothing to write: the picture is empty"};
    const std::string bytes = encodePNG(image);
    if (bytes.empty()) return platform::Failure{path + ": cannot compress the picture"};
    const auto fail = [&path](int error) {
        return platform::Failure{path + ": cannot write the picture: " + std::strerror(error)};
    };
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return fail(errno);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const int error = errno;
    if (std::fclose(file) == 0 && written) return {};
    const int closeError = errno;
    std::remove(path.c_str());  // no half-written picture stays behind
    return fail(written ? closeError : error);
}

}  // namespace render
