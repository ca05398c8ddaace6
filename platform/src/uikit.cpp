#include "platform/uikit.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/device.h"
#include "platform/trace.h"

namespace platform {

using objc::id;
using objc::msgSend;
using objc::SEL;

namespace {

UIView* view(id self) { return static_cast<UIView*>(self); }

std::string number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

std::string describeView(UIView* v) {
    std::string out = std::string(objc::class_getName(objc::object_getClass(v))) + " tag " +
                      std::to_string(v->tag) + " frame (" + number(v->frame.origin.x) + "," +
                      number(v->frame.origin.y) + "," + number(v->frame.size.width) + "," +
                      number(v->frame.size.height) + ")";
    std::string text = v->shownText();
    if (!text.empty()) out += " text \"" + text + "\"";
    return out;
}

TracedView tracedView(UIView* v) {
    TracedView t;
    t.className = objc::class_getName(objc::object_getClass(v));
    t.tag = v->tag;
    t.x = v->frame.origin.x, t.y = v->frame.origin.y;
    t.width = v->frame.size.width, t.height = v->frame.size.height;
    t.text = v->shownText();
    return t;
}

id view_initWithFrame(id self, SEL, CGRect frame) {
    view(self)->frame = frame;
    return self;
}
CGRect view_frame(id self, SEL) { return view(self)->frame; }
void view_setFrame(id self, SEL, CGRect frame) { view(self)->frame = frame; }
int64_t view_tag(id self, SEL) { return view(self)->tag; }
void view_setTag(id self, SEL, int64_t tag) { view(self)->tag = tag; }
bool view_isHidden(id self, SEL) { return view(self)->hidden; }
void view_setHidden(id self, SEL, bool h) { view(self)->hidden = h; }
bool view_clips(id self, SEL) { return view(self)->clipsToBounds; }
void view_setClips(id self, SEL, bool c) { view(self)->clipsToBounds = c; }
id view_superview(id self, SEL) { return view(self)->superview; }

void detach(UIView* child) {
    UIView* parent = child->superview;
    if (parent == nullptr) return;
    auto& list = parent->subviews;
    list.erase(std::remove(list.begin(), list.end(), child), list.end());
    child->superview = nullptr;
    if (tracing()) trace(events::ViewRemoved{tracedView(child)});
    objc::objc_release(child);
}

void view_addSubview(id self, SEL, id subview) {
    if (subview == nullptr || subview == self) return;
    auto* child = view(subview);
    objc::objc_retain(child);  // before detaching, which may drop the last other reference
    detach(child);
    child->superview = view(self);
    view(self)->subviews.push_back(child);
    if (tracing()) trace(events::ViewAdded{tracedView(child)});
}

void view_removeFromSuperview(id self, SEL) { detach(view(self)); }

UIView* findTag(UIView* v, int64_t tag) {
    if (v->tag == tag) return v;
    for (UIView* child : v->subviews) {
        if (UIView* found = findTag(child, tag)) return found;
    }
    return nullptr;
}

id view_viewWithTag(id self, SEL, int64_t tag) { return findTag(view(self), tag); }

std::string view_description(id self, SEL) { return "<" + describeView(view(self)) + ">"; }

// --- images ------------------------------------------------------------------------------------

id image_imageWithContentsOfFile(id, SEL, std::string devicePath) {
    // "name@2x.png" is an image at scale 2: its size in points is half its pixels.
    const std::string file = devicePath.substr(devicePath.find_last_of('/') + 1);
    const double scale = file.find("@2x") != std::string::npos ? 2.0 : 1.0;
    UIImage* image = loadPNG(device::resolve(devicePath), scale);
    return objc::objc_autorelease(image);
}
CGSize image_size(id self, SEL) { return static_cast<UIImage*>(self)->size(); }

id imageView_initWithImage(id self, SEL, id image) {
    auto* v = static_cast<UIImageView*>(self);
    v->image = objc::objc_retain(image);
    CGSize size = image ? static_cast<UIImage*>(image)->size() : CGSize{};
    v->frame = CGRect{{0, 0}, size};
    return self;
}
id imageView_image(id self, SEL) { return static_cast<UIImageView*>(self)->image; }

// --- labels, fonts, colours, buttons
// ---------------------------------------------------------------

UILabel* label(id self) { return static_cast<UILabel*>(self); }
std::string label_text(id self, SEL) { return label(self)->text; }
void label_setText(id self, SEL, std::string text) { label(self)->text = std::move(text); }
id label_font(id self, SEL) { return label(self)->font; }
void label_setFont(id self, SEL, id font) {
    objc::objc_retain(font);
    objc::objc_release(label(self)->font);
    label(self)->font = font;
}
id label_textColor(id self, SEL) { return label(self)->textColor; }
void label_setTextColor(id self, SEL, id color) {
    objc::objc_retain(color);
    objc::objc_release(label(self)->textColor);
    label(self)->textColor = color;
}

id font_fontWithName(id, SEL, std::string name, double size) {
    if (name.empty()) return nullptr;
    auto* f = static_cast<UIFont*>(objc::class_createInstance(UIFont::cls()));
    f->name = std::move(name);
    f->pointSize = size;
    return objc::objc_autorelease(f);
}

id makeColor(double white) {
    auto* c = static_cast<UIColor*>(objc::class_createInstance(UIColor::cls()));
    c->white = white;
    c->immortal = true;
    return c;
}

std::string color_description(id self, SEL) {
    auto* c = static_cast<UIColor*>(self);
    return "UIDeviceWhiteColorSpace " + number(c->white) + " " + number(c->alpha);
}

UIButton* button(id self) { return static_cast<UIButton*>(self); }
std::string button_title(id self, SEL, int64_t) { return button(self)->title; }
void button_setTitle(id self, SEL, std::string title, int64_t state) {
    if (state == UIControlStateNormal) button(self)->title = std::move(title);
}
void button_addTarget(id self, SEL, id target, SEL action) {
    button(self)->target = target;
    button(self)->action = action;
}

}  // namespace

UIView::~UIView() {
    for (UIView* child : subviews) {
        child->superview = nullptr;
        objc::objc_release(child);
    }
}

objc::Class UIView::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<UIView>("UIView", objc::NSObject::cls());
        objc::addMethod(k, SEL_("initWithFrame:"), &view_initWithFrame);
        objc::addMethod(k, SEL_("frame"), &view_frame);
        objc::addMethod(k, SEL_("setFrame:"), &view_setFrame);
        objc::addMethod(k, SEL_("tag"), &view_tag);
        objc::addMethod(k, SEL_("setTag:"), &view_setTag);
        objc::addMethod(k, SEL_("isHidden"), &view_isHidden);
        objc::addMethod(k, SEL_("setHidden:"), &view_setHidden);
        objc::addMethod(k, SEL_("clipsToBounds"), &view_clips);
        objc::addMethod(k, SEL_("setClipsToBounds:"), &view_setClips);
        objc::addMethod(k, SEL_("addSubview:"), &view_addSubview);
        objc::addMethod(k, SEL_("removeFromSuperview"), &view_removeFromSuperview);
        objc::addMethod(k, SEL_("viewWithTag:"), &view_viewWithTag);
        objc::addMethod(k, SEL_("superview"), &view_superview);
        objc::addMethod(k, SEL_("description"), &view_description);
        return k;
    }();
    return c;
}

UIImage* loadPNG(const std::string& hostPath, double scale) {
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, hostPath.c_str())) return nullptr;
    img.format = PNG_FORMAT_RGBA;
    // Refuse absurd sizes before allocating for them.
    if (img.width == 0 || img.height == 0 || img.width > 8192 || img.height > 8192) {
        png_image_free(&img);
        return nullptr;
    }
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(img));
    if (!png_image_finish_read(&img, nullptr, pixels.data(), 0, nullptr)) {
        png_image_free(&img);
        return nullptr;
    }
    auto* image = static_cast<UIImage*>(objc::class_createInstance(UIImage::cls()));
    image->pixelWidth = static_cast<int>(img.width);
    image->pixelHeight = static_cast<int>(img.height);
    image->scale = scale;
    image->rgba = std::move(pixels);
    return image;
}

objc::Class UIImage::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<UIImage>("UIImage", objc::NSObject::cls());
        objc::addClassMethod(k, SEL_("imageWithContentsOfFile:"), &image_imageWithContentsOfFile);
        objc::addMethod(k, SEL_("size"), &image_size);
        return k;
    }();
    return c;
}

UIImageView::~UIImageView() { objc::objc_release(image); }

objc::Class UIImageView::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<UIImageView>("UIImageView", UIView::cls());
        objc::addMethod(k, SEL_("initWithImage:"), &imageView_initWithImage);
        objc::addMethod(k, SEL_("image"), &imageView_image);
        return k;
    }();
    return c;
}

objc::Class UIFont::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<UIFont>("UIFont", objc::NSObject::cls());
        objc::addClassMethod(k, SEL_("fontWithName:size:"), &font_fontWithName);
        objc::addMethod(
            k, SEL_("description"), +[](id self, SEL) {
                auto* f = static_cast<UIFont*>(self);
                return "<UIFont: font-family: \"" + f->name +
                       "\"; font-size: " + number(f->pointSize) + "pt>";
            });
        return k;
    }();
    return c;
}

objc::Class UIColor::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<UIColor>("UIColor", objc::NSObject::cls());
        objc::addClassMethod(
            k, SEL_("whiteColor"), +[](id, SEL) -> id {
                static id white = makeColor(1);
                return white;
            });
        objc::addClassMethod(
            k, SEL_("blackColor"), +[](id, SEL) -> id {
                static id black = makeColor(0);
                return black;
            });
        objc::addMethod(k, SEL_("description"), &color_description);
        return k;
    }();
    return c;
}

UILabel::~UILabel() {
    objc::objc_release(font);
    objc::objc_release(textColor);
}

objc::Class UILabel::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<UILabel>("UILabel", UIView::cls());
        objc::addMethod(k, SEL_("text"), &label_text);
        objc::addMethod(k, SEL_("setText:"), &label_setText);
        objc::addMethod(k, SEL_("font"), &label_font);
        objc::addMethod(k, SEL_("setFont:"), &label_setFont);
        objc::addMethod(k, SEL_("textColor"), &label_textColor);
        objc::addMethod(k, SEL_("setTextColor:"), &label_setTextColor);
        return k;
    }();
    return c;
}

objc::Class UIButton::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<UIButton>("UIButton", UIView::cls());
        objc::addMethod(k, SEL_("titleForState:"), &button_title);
        objc::addMethod(k, SEL_("setTitle:forState:"), &button_setTitle);
        objc::addMethod(k, SEL_("addTarget:action:"), &button_addTarget);
        return k;
    }();
    return c;
}

void tapButton(id b) {
    if (b == nullptr || !objc::isKindOfClass(b, UIButton::cls())) return;
    auto* btn = button(b);
    if (tracing()) trace(events::ButtonTapped{tracedView(btn)});
    if (btn->target != nullptr && btn->action != nullptr) msgSend(btn->target, btn->action, b);
}

UIView* findViewByIdentifier(UIView* root, const std::string& identifier) {
    if (root == nullptr) return nullptr;
    if (root->accessibilityIdentifier == identifier) return root;
    for (UIView* child : root->subviews) {
        if (UIView* found = findViewByIdentifier(child, identifier)) return found;
    }
    return nullptr;
}

void registerUIKitClasses() {
    UIView::cls();
    UIImage::cls();
    UIImageView::cls();
    UIFont::cls();
    UIColor::cls();
    UILabel::cls();
    UIButton::cls();
}

}  // namespace platform
