#include "platform/ui/views.h"

#include <png.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_map>

#include "platform/core/trace.h"
#include "platform/files/device_root.h"
#include "platform/files/files.h"

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
id view_backgroundColor(id self, SEL) { return view(self)->backgroundColor; }
void view_setBackgroundColor(id self, SEL, id color) {
    view(self)->backgroundColor = objc::retained(color);
}

// Takes the child out of its superview's list and hands back the list's reference to it.
objc::Strong<UIView> detach(UIView* child) {
    UIView* parent = child->superview;
    if (parent == nullptr) return nullptr;
    auto& list = parent->subviews;
    auto it = std::find(list.begin(), list.end(), child);
    objc::Strong<UIView> held;
    if (it != list.end()) {
        held = std::move(*it);
        list.erase(it);
    }
    child->superview = nullptr;
    if (tracing()) trace(events::ViewRemoved{tracedView(child)});
    return held;
}

void view_addSubview(id self, SEL, id subview) {
    if (subview == nullptr || subview == self) return;
    // Held from before detaching, which may drop the last other reference.
    auto child = objc::retained(view(subview));
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

uint64_t decodes = 0;

UIImage* decodePNG(FILE* file, double scale) {
    ++decodes;
    // libpng's reader, freed on every way out (freeing a finished or failed read is harmless).
    struct Reader {
        png_image img{};
        Reader() { img.version = PNG_IMAGE_VERSION; }
        ~Reader() { png_image_free(&img); }
    } reader;
    png_image& img = reader.img;
    if (!png_image_begin_read_from_stdio(&img, file)) return nullptr;
    img.format = PNG_FORMAT_RGBA;
    // Refuse absurd sizes before allocating for them.
    if (img.width == 0 || img.height == 0 || img.width > 8192 || img.height > 8192) return nullptr;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(img));
    if (!png_image_finish_read(&img, nullptr, pixels.data(), 0, nullptr)) return nullptr;
    auto* image = static_cast<UIImage*>(objc::class_createInstance(UIImage::cls()));
    image->pixelWidth = static_cast<int>(img.width);
    image->pixelHeight = static_cast<int>(img.height);
    image->scale = scale;
    image->rgba = std::move(pixels);
    return image;
}

// Decoded images by host path. An entry serves only the very file it was decoded from: the
// same device and inode (a file replaced by rename is another), size, modification and change
// times. The call screen asks for the logo at every incoming call; decoding it each time was
// most of SpringBoard's work for a call.
struct CachedImage {
    struct stat st {};
    objc::Strong<UIImage> image;
};

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

std::unordered_map<std::string, CachedImage>& imageCache() {
    static auto* cache = new std::unordered_map<std::string, CachedImage>();
    return *cache;
}

void forget(const std::string& hostPath) {
    auto& cache = imageCache();
    cache.erase(hostPath);
}

// An image file to decode, opened as every file of the device is (files.h: beneath the root,
// never blocking) and only when it is a regular file; *st describes it.
FILE* openImageFile(const std::string& hostPath, struct stat* st) {
    auto fd = files::openForReading(hostPath);
    if (!fd || ::fstat(fd->get(), st) != 0 || !S_ISREG(st->st_mode)) return nullptr;
    FILE* file = ::fdopen(fd->get(), "rb");
    if (file != nullptr) fd->release();
    return file;
}

// +0 (the cache keeps it); nullptr when the file is missing, unreadable or no valid PNG.
UIImage* cachedPNG(const std::string& hostPath, double scale) {
    auto& cache = imageCache();
    struct stat st {};
    if (auto it = cache.find(hostPath); it != cache.end() && ::stat(hostPath.c_str(), &st) == 0 &&
                                        sameFile(it->second.st, st) &&
                                        it->second.image->scale == scale)
        return it->second.image;
    forget(hostPath);
    // The identity is taken from the open file, so what is decoded is what is remembered even
    // when the path is replaced meanwhile.
    FILE* file = openImageFile(hostPath, &st);
    if (file == nullptr) return nullptr;
    auto image = objc::Strong<UIImage>::adopt(decodePNG(file, scale));
    std::fclose(file);
    if (!image) return nullptr;
    constexpr size_t kMaxCached = 32;  // a process shows a handful of images
    if (cache.size() >= kMaxCached) {
        const std::string evicted = cache.begin()->first;  // any one will do
        forget(evicted);
    }
    cache[hostPath] = CachedImage{st, image};
    return image.get();
}

id image_imageWithContentsOfFile(id, SEL, std::string devicePath) {
    // "name@2x.png" is an image at scale 2: its size in points is half its pixels.
    const std::string file = devicePath.substr(devicePath.find_last_of('/') + 1);
    const double scale = file.find("@2x") != std::string::npos ? 2.0 : 1.0;
    UIImage* image = cachedPNG(device::resolve(devicePath), scale);
    return objc::objc_autorelease(objc::objc_retain(image));
}
CGSize image_size(id self, SEL) { return static_cast<UIImage*>(self)->size(); }

id imageView_initWithImage(id self, SEL, id image) {
    auto* v = static_cast<UIImageView*>(self);
    v->image = objc::retained(static_cast<UIImage*>(image));
    v->frame = CGRect{{0, 0}, v->image ? v->image->size() : CGSize{}};
    return self;
}
id imageView_image(id self, SEL) { return static_cast<UIImageView*>(self)->image; }

// --- labels, fonts, colours, buttons -----------------------------------------------------------

UILabel* label(id self) { return static_cast<UILabel*>(self); }
std::string label_text(id self, SEL) { return label(self)->text; }
void label_setText(id self, SEL, std::string text) { label(self)->text = std::move(text); }
id label_font(id self, SEL) { return label(self)->font; }
void label_setFont(id self, SEL, id font) { label(self)->font = objc::retained(font); }
id label_textColor(id self, SEL) { return label(self)->textColor; }
void label_setTextColor(id self, SEL, id color) { label(self)->textColor = objc::retained(color); }
int64_t label_textAlignment(id self, SEL) { return label(self)->textAlignment; }
void label_setTextAlignment(id self, SEL, int64_t alignment) {
    label(self)->textAlignment = alignment;
}

id font_fontWithName(id, SEL, std::string name, double size) {
    if (name.empty()) return nullptr;
    auto* f = static_cast<UIFont*>(objc::class_createInstance(UIFont::cls()));
    f->name = std::move(name);
    f->pointSize = size;
    return objc::objc_autorelease(f);
}

id makeColor(double white, double alpha = 1) {
    auto* c = static_cast<UIColor*>(objc::class_createInstance(UIColor::cls()));
    c->white = white;
    c->alpha = alpha;
    c->immortal = true;
    return c;
}

double unit(double v) { return std::isfinite(v) ? std::clamp(v, 0.0, 1.0) : 0.0; }

id color_withWhite(id, SEL, double white, double alpha) {
    auto* c = static_cast<UIColor*>(objc::class_createInstance(UIColor::cls()));
    c->white = unit(white);
    c->alpha = unit(alpha);
    return objc::objc_autorelease(c);
}

id color_withRGB(id, SEL, double red, double green, double blue, double alpha) {
    auto* c = static_cast<UIColor*>(objc::class_createInstance(UIColor::cls()));
    c->isRGB = true;
    c->red = unit(red);
    c->green = unit(green);
    c->blue = unit(blue);
    c->alpha = unit(alpha);
    return objc::objc_autorelease(c);
}

std::string color_description(id self, SEL) {
    auto* c = static_cast<UIColor*>(self);
    if (c->isRGB)
        return "UIDeviceRGBColorSpace " + number(c->red) + " " + number(c->green) + " " +
               number(c->blue) + " " + number(c->alpha);
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
    for (UIView* child : subviews) child->superview = nullptr;
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
        objc::addMethod(k, SEL_("backgroundColor"), &view_backgroundColor);
        objc::addMethod(k, SEL_("setBackgroundColor:"), &view_setBackgroundColor);
        objc::addMethod(k, SEL_("description"), &view_description);
        return k;
    }();
    return c;
}

UIImage* loadPNG(const std::string& hostPath, double scale) {
    struct stat st {};
    FILE* file = openImageFile(hostPath, &st);
    if (file == nullptr) return nullptr;
    UIImage* image = decodePNG(file, scale);
    std::fclose(file);
    return image;
}

uint64_t pngDecodeCount() { return decodes; }

objc::Class UIImage::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<UIImage>("UIImage", objc::NSObject::cls());
        objc::addClassMethod(k, SEL_("imageWithContentsOfFile:"), &image_imageWithContentsOfFile);
        objc::addMethod(k, SEL_("size"), &image_size);
        return k;
    }();
    return c;
}

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
        objc::addClassMethod(
            k, SEL_("systemFontOfSize:"), +[](id self, SEL, double size) -> id {
                return font_fontWithName(self, nullptr, kSystemFontName, size);
            });
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
        objc::addClassMethod(
            k, SEL_("clearColor"), +[](id, SEL) -> id {
                static id clear = makeColor(0, 0);
                return clear;
            });
        objc::addClassMethod(k, SEL_("colorWithWhite:alpha:"), &color_withWhite);
        objc::addClassMethod(k, SEL_("colorWithRed:green:blue:alpha:"), &color_withRGB);
        objc::addMethod(k, SEL_("description"), &color_description);
        return k;
    }();
    return c;
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
        objc::addMethod(k, SEL_("textAlignment"), &label_textAlignment);
        objc::addMethod(k, SEL_("setTextAlignment:"), &label_setTextAlignment);
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
