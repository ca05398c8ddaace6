// UIKit-like views: a view tree with frames, tags, hidden state and clipping; images loaded from
// PNG files; image views, labels, fonts, colours and buttons.
//
// Runtime messages (types in brackets):
//   UIView      init, initWithFrame: (CGRect), frame, setFrame: (CGRect), tag, setTag: (int64_t),
//               isHidden, setHidden: (bool), clipsToBounds, setClipsToBounds: (bool),
//               backgroundColor/setBackgroundColor: (id, nil: clear),
//               addSubview: (id), removeFromSuperview, viewWithTag: (int64_t) -> id, superview
//   UIImage     +imageWithContentsOfFile: (std::string device path) -> id or nil; size -> CGSize
//     Decoded images are kept per file: the same unchanged file gives the same image again
//     without decoding it; a file changed or replaced since is decoded anew.
//   UIImageView initWithImage: (id) -> sized to the image (zero size without one); image
//   UILabel     text/setText: (std::string), font/setFont: (id), textColor/setTextColor: (id),
//               textAlignment/setTextAlignment: (int64_t, NSTextAlignment)
//   UIFont      +fontWithName:size: (std::string, double), +systemFontOfSize: (double)
//   UIColor     +whiteColor, +blackColor, +clearColor, +colorWithWhite:alpha: (double, double),
//               +colorWithRed:green:blue:alpha: (double x4, each 0 to 1)
//   UIButton    titleForState:/setTitle:forState: (int64_t state), addTarget:action: (id, SEL),
//               sendActionsForControlEvents (a tap)
// Views retain their subviews; a subview does not retain its superview. Adding and removing
// views is traced with the view's class, tag, frame and text.
#pragma once

#include <string>
#include <vector>

#include "platform/core/geometry.h"
#include "platform/core/runtime.h"
#include "platform/devices/hardware.h"

namespace platform {

class UIView : public objc::NSObject {
  public:
    static objc::Class cls();
    CGRect frame;
    int64_t tag = 0;
    bool hidden = false;
    bool clipsToBounds = false;
    objc::Strong<objc::Object> backgroundColor;  // nil draws nothing behind the content
    std::string accessibilityIdentifier;         // how a scripted user finds the view
    UIView* superview = nullptr;                 // not retained
    std::vector<objc::Strong<UIView>> subviews;
    ~UIView() override;

    // Text shown by the view (a label's text, a button's title), for traces.
    virtual std::string shownText() const { return ""; }
};

class UIImage : public objc::NSObject {
  public:
    static objc::Class cls();
    int pixelWidth = 0, pixelHeight = 0;
    double scale = 1;
    std::vector<uint8_t> rgba;  // decoded pixels, row by row
    CGSize size() const { return {pixelWidth / scale, pixelHeight / scale}; }
};

// Decodes a PNG file by host path; nullptr when missing, unreadable or not a valid PNG.
UIImage* loadPNG(const std::string& hostPath, double scale);  // +1
// How many PNG files this process has decoded (for tests and benchmarks of the image cache).
uint64_t pngDecodeCount();

class UIImageView : public UIView {
  public:
    static objc::Class cls();
    objc::Strong<UIImage> image;
};

class UIFont : public objc::NSObject {
  public:
    static objc::Class cls();
    std::string name;
    double pointSize = 0;
};

// The system font's name, and what a label without a font of its own shows.
inline constexpr const char* kSystemFontName = "Helvetica";
inline constexpr double kLabelDefaultFontSize = 17;

class UIColor : public objc::NSObject {
  public:
    static objc::Class cls();
    // A grey (0 black to 1 white) unless made from red, green and blue.
    double white = 0, alpha = 1;
    bool isRGB = false;
    double red = 0, green = 0, blue = 0;  // when isRGB
    struct RGBA {
        double red, green, blue, alpha;
    };
    RGBA rgba() const {
        return isRGB ? RGBA{red, green, blue, alpha} : RGBA{white, white, white, alpha};
    }
};

// Horizontal alignment of a label's text.
enum NSTextAlignment : int64_t {
    NSTextAlignmentLeft = 0,
    NSTextAlignmentCenter = 1,
    NSTextAlignmentRight = 2,
    NSTextAlignmentJustified = 3,
    NSTextAlignmentNatural = 4,
};

// A label's defaults: black text (nil colour), the system font at 17 points (nil font), left
// aligned, one line.
class UILabel : public UIView {
  public:
    static objc::Class cls();
    std::string text;
    objc::Strong<objc::Object> font;
    objc::Strong<objc::Object> textColor;
    int64_t textAlignment = NSTextAlignmentLeft;
    std::string shownText() const override { return text; }
};

enum : int64_t { UIControlStateNormal = 0 };

class UIButton : public UIView {
  public:
    static objc::Class cls();
    std::string title;
    objc::id target = nullptr;  // not retained, as with every target
    objc::SEL action = nullptr;
    std::string shownText() const override { return title; }
};

// Sends a button's action to its target, as a user's tap does.
void tapButton(objc::id button);

// The first view in the subtree (the root included) with that accessibility identifier.
UIView* findViewByIdentifier(UIView* root, const std::string& identifier);

void registerUIKitClasses();

}  // namespace platform
