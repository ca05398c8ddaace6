// UIKit-like views: a view tree with frames, tags, hidden state and clipping; images loaded from
// PNG files; image views, labels, fonts, colours and buttons.
//
// Runtime messages (types in brackets):
//   UIView      init, initWithFrame: (CGRect), frame, setFrame: (CGRect), tag, setTag: (int64_t),
//               isHidden, setHidden: (bool), clipsToBounds, setClipsToBounds: (bool),
//               addSubview: (id), removeFromSuperview, viewWithTag: (int64_t) -> id, superview
//   UIImage     +imageWithContentsOfFile: (std::string device path) -> id or nil; size -> CGSize
//   UIImageView initWithImage: (id) -> sized to the image (zero size without one); image
//   UILabel     text/setText: (std::string), font/setFont: (id), textColor/setTextColor: (id)
//   UIFont      +fontWithName:size: (std::string, double)
//   UIColor     +whiteColor, +blackColor
//   UIButton    titleForState:/setTitle:forState: (int64_t state), addTarget:action: (id, SEL),
//               sendActionsForControlEvents (a tap)
// Views retain their subviews; a subview does not retain its superview. Adding and removing
// views is traced with the view's class, tag, frame and text.
#pragma once

#include <string>
#include <vector>

#include "platform/devices.h"
#include "platform/geometry.h"
#include "platform/runtime.h"

namespace platform {

class UIView : public objc::NSObject {
  public:
    static objc::Class cls();
    CGRect frame;
    int64_t tag = 0;
    bool hidden = false;
    bool clipsToBounds = false;
    std::string accessibilityIdentifier;  // how a scripted user finds the view
    UIView* superview = nullptr;          // not retained
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

class UIColor : public objc::NSObject {
  public:
    static objc::Class cls();
    double white = 0, alpha = 1;
};

class UILabel : public UIView {
  public:
    static objc::Class cls();
    std::string text;
    objc::Strong<objc::Object> font;
    objc::Strong<objc::Object> textColor;
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
