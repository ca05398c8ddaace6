// Pictures of what a person sees on the phone's screen: a view tree of the platform drawn with
// cairo and pango at the screen's size and scale, written as PNG files. What each view looks
// like, the colours chosen where the platform has none and the stand-in fonts are described in
// docs/rendering.md.
//
//   render::Scene scene{render::Look::IncomingCall, {bar}};
//   render::Image picture = render::render(scene, render::mainScreen());
//   if (auto written = render::writePNG(picture, "call.png"); !written) warn(..., written.error());
//
// A host records what its person sees by asking a Recorder after each pass of its run loop;
// the Recorder draws only when something visible may have changed and hands back a picture
// only when the pixels did.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/result.h"
#include "platform/ui/views.h"

namespace render {

// A screen: its size in points and how many pixels make one point.
struct Screen {
    double width = 320, height = 568, scale = 2;
    int pixelWidth() const;   // 0 when the screen is unusable (not finite, not positive, huge)
    int pixelHeight() const;  // likewise
};

// The process's main screen as the platform reports it ([UIScreen mainScreen] bounds), at the
// given scale. A process without a main screen gets the device model's screen height and the
// width of the phone's screen.
Screen mainScreen(double scale = 2);

// What lies behind and around the views where the platform gives them no colour.
enum class Look {
    Plain,         // a white window; buttons with blue titles
    IncomingCall,  // the call screen: dark behind a translucent answer bar, white titles
    Settings,      // the Settings application: light grey grouped background, white cells
};

struct Pixel {
    uint8_t r = 0, g = 0, b = 0, a = 0;
    bool operator==(const Pixel&) const = default;
};

// A picture in cairo's pixel format: 32-bit premultiplied ARGB in native byte order, rows of
// width pixels without padding.
class Image {
  public:
    Image() = default;
    Image(int width, int height);
    int width() const { return width_; }
    int height() const { return height_; }
    bool empty() const { return width_ == 0 || height_ == 0; }
    // Straight (not premultiplied) colour; transparent black outside the picture.
    Pixel at(int x, int y) const;
    // A digest of the pixels: two pictures with the same fingerprint look the same.
    uint64_t fingerprint() const;
    uint32_t* data() { return pixels_.data(); }
    const uint32_t* data() const { return pixels_.data(); }

  private:
    int width_ = 0, height_ = 0;
    std::vector<uint32_t> pixels_;
};

// What to draw: view trees back to front, each at its frame in screen points (a view that is
// in no window stands for one placed at its frame), then the alert the process shows in front,
// over everything.
struct Scene {
    Look look = Look::Plain;
    std::vector<const platform::UIView*> views;
    bool alerts = true;
};

// Draws the scene. Never fails: a view it cannot draw (missing image, empty or negative frame,
// text that is not UTF-8) shows what can be shown; an unusable screen gives an empty image.
Image render(const Scene& scene, const Screen& screen);
Image renderScreen(const platform::UIView& root, const Screen& screen, Look look = Look::Plain);

// Writes the picture as a PNG file that decodes to the pixels `at` gives (RGB when every pixel
// is opaque, RGBA otherwise). The failure names the file; a file not wholly written is removed.
platform::Result<void> writePNG(const Image& image, const std::string& path);

// A digest of everything the scene would draw (visible views, frames, colours, texts, fonts,
// images, switch states, picker rows, the alert), cheap next to drawing it. Equal digests mean
// equal pictures.
uint64_t sceneFingerprint(const Scene& scene, const Screen& screen);

// Remembers what was last seen, so a host can keep a picture of each change.
class Recorder {
  public:
    // The picture when what the scene shows differs from the last capture; nothing otherwise
    // (the scene's digest is compared first, so an unchanged screen is not drawn).
    std::optional<Image> capture(const Scene& scene, const Screen& screen);
    void forget() { lastScene_.reset(), lastPixels_.reset(); }

  private:
    std::optional<uint64_t> lastScene_;
    std::optional<uint64_t> lastPixels_;
};

// The font family a font name is drawn with in this process: the named family when it is
// installed, otherwise a stand-in ("Roboto" for thin and light faces, "Liberation Sans" for the
// others, docs/rendering.md). Chosen on first use and kept.
std::string fontFamilyFor(const std::string& fontName);

}  // namespace render
