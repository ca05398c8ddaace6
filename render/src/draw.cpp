// Drawing a scene: the window's background, each view tree back to front, the front alert.
// Every view is drawn in points in its own coordinates; cairo's transform carries the frames,
// scroll offsets and the screen's scale, and its clip carries clipsToBounds.
#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <optional>

#include "internal.h"
#include "platform/hosts/host_classes.h"
#include "platform/ui/controls.h"
#include "render/render.h"

namespace render {

using detail::Colour;
using detail::Digest;
using detail::TextStyle;
using objc::id;
using objc::msgSend;
using objc::SEL;
using platform::CGRect;
using platform::UIView;

namespace {

// Trees deeper than this are not drawn further (a view added to its own descendant would
// otherwise never end).
constexpr int kMaxDepth = 64;
// Farther than this from the screen, a frame is a mistake, not a place (and beyond cairo's
// fixed-point range).
constexpr double kFarAway = 1e6;

// The phone's own look, for what the platform leaves without a colour (docs/rendering.md).
constexpr Colour kWhite{1, 1, 1, 1};
constexpr Colour kBlack{0, 0, 0, 1};
constexpr Colour kCallBackground{0.10, 0.10, 0.12, 1};
constexpr Colour kBarTint{0, 0, 0, 0.5};
constexpr Colour kAnswerGreen{0.298, 0.851, 0.392, 1};  // #4CD964
constexpr Colour kSliderTrack{1, 1, 1, 0.2};
constexpr Colour kSystemBlue{0, 0.478, 1, 1};            // #007AFF
constexpr Colour kGroupedGrey{0.937, 0.937, 0.957, 1};   // #EFEFF4
constexpr Colour kSeparator{0.784, 0.780, 0.800, 1};     // #C8C7CC
constexpr Colour kToolbar{0.969, 0.969, 0.969, 1};       // #F7F7F7
constexpr Colour kSwitchBorder{0.898, 0.898, 0.918, 1};  // #E5E5EA
constexpr Colour kKnobEdge{0.80, 0.80, 0.82, 1};
constexpr Colour kPickerDim{0.62, 0.62, 0.64, 1};
constexpr Colour kAlertBox{0.97, 0.97, 0.97, 1};
constexpr Colour kDim{0, 0, 0, 0.4};

constexpr double kSwitchWidth = 51, kSwitchHeight = 31;
constexpr double kPickerRowHeight = 32;
constexpr int kPickerRowsAround = 4;  // rows drawn above and below the selection
constexpr int64_t kMaxPickerComponents = 16;
constexpr double kCellPadding = 6, kSectionGap = 10;
constexpr double kAlertWidth = 270, kAlertButtonHeight = 44;

id asId(const objc::Object* o) { return const_cast<objc::Object*>(o); }

// The classes of this process, looked up by name so that drawing never registers a class a
// host does not have.
struct Classes {
    objc::Class image = objc::objc_getClass("UIImage");
    objc::Class imageView = objc::objc_getClass("UIImageView");
    objc::Class label = objc::objc_getClass("UILabel");
    objc::Class button = objc::objc_getClass("UIButton");
    objc::Class font = objc::objc_getClass("UIFont");
    objc::Class colour = objc::objc_getClass("UIColor");
    objc::Class view = objc::objc_getClass("UIView");
    objc::Class switchControl = objc::objc_getClass("UISwitch");
    objc::Class picker = objc::objc_getClass("UIPickerView");
    objc::Class scroll = objc::objc_getClass("UIScrollView");
    objc::Class alert = objc::objc_getClass("UIAlertView");
    objc::Class bar = objc::objc_getClass("TPSuperBottomBar");

    static bool is(const objc::Object* o, objc::Class c) {
        return o != nullptr && c != nullptr && objc::isKindOfClass(asId(o), c);
    }
};

bool finite(const CGRect& r) {
    for (double v : {r.origin.x, r.origin.y, r.size.width, r.size.height})
        if (!std::isfinite(v) || std::fabs(v) > kFarAway) return false;
    return true;
}

std::optional<Colour> colourOf(const Classes& k, objc::id colour) {
    if (!Classes::is(colour, k.colour)) return std::nullopt;
    const auto c = static_cast<platform::UIColor*>(colour)->rgba();
    return Colour{c.red, c.green, c.blue, c.alpha};
}

void roundedRect(cairo_t* cr, double x, double y, double w, double h, double r) {
    r = std::max(0.0, std::min({r, w / 2, h / 2}));
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
    cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

void fillRect(cairo_t* cr, const Colour& c, double x, double y, double w, double h) {
    detail::setSource(cr, c);
    cairo_rectangle(cr, x, y, w, h);
    cairo_fill(cr);
}

// WCAG's relative luminance of a colour, and the contrast ratio of two (1 to 21).
double luminance(const Colour& c) {
    auto linear = [](double v) {
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(c.r) + 0.7152 * linear(c.g) + 0.0722 * linear(c.b);
}
double contrast(const Colour& a, const Colour& b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// A colour laid over another.
Colour over(const Colour& top, const Colour& under) {
    const double a = std::clamp(top.a, 0.0, 1.0);
    return {top.r * a + under.r * (1 - a), top.g * a + under.g * (1 - a),
            top.b * a + under.b * (1 - a), 1};
}

void hairline(cairo_t* cr, double x0, double y, double x1) {
    detail::setSource(cr, kSeparator);
    cairo_set_line_width(cr, 0.5);
    cairo_move_to(cr, x0, y);
    cairo_line_to(cr, x1, y);
    cairo_stroke(cr);
}

// The picker's data source and delegate, asked only what they answer.
int64_t componentsOf(const platform::UIPickerView* p) {
    SEL sel = SEL_("numberOfComponentsInPickerView:");
    if (!objc::respondsToSelector(p->dataSource, sel)) return 0;
    return std::clamp<int64_t>(msgSend<int64_t>(p->dataSource, sel, asId(p)), 0,
                               kMaxPickerComponents);
}
int64_t rowsOf(const platform::UIPickerView* p, int64_t component) {
    SEL sel = SEL_("pickerView:numberOfRowsInComponent:");
    if (!objc::respondsToSelector(p->dataSource, sel)) return 0;
    return std::max<int64_t>(0, msgSend<int64_t>(p->dataSource, sel, asId(p), component));
}
std::string titleOf(const platform::UIPickerView* p, int64_t row, int64_t component) {
    SEL sel = SEL_("pickerView:titleForRow:forComponent:");
    if (!objc::respondsToSelector(p->delegate, sel)) return "";
    return msgSend<std::string>(p->delegate, sel, asId(p), row, component);
}
int64_t selectedOf(const platform::UIPickerView* p, int64_t component) {
    return static_cast<size_t>(component) < p->selected.size()
               ? p->selected[static_cast<size_t>(component)]
               : 0;
}

// The subviews, kept alive while they are drawn (a data source asked for titles could change
// the tree).
std::vector<objc::Strong<UIView>> childrenOf(const UIView* v) {
    std::vector<objc::Strong<UIView>> out;
    out.reserve(v->subviews.size());
    for (UIView* c : v->subviews) out.push_back(objc::Strong<UIView>::retain(c));
    return out;
}

// The rows of a grouped table that a Settings scroll view's content forms: a row is the views
// side by side at one height; a row holding a control sits in a white cell, a row of labels
// alone (a heading) on the grey. Cells closer than a section gap join into one section.
struct Cell {
    double top, bottom;
};
std::vector<std::vector<Cell>> sectionsOf(const Classes& k, const UIView* scroll) {
    struct Row {
        double top, bottom;
        bool control;
    };
    std::vector<Row> rows;
    for (const UIView* c : scroll->subviews) {
        if (c->hidden || !finite(c->frame) || c->frame.size.height <= 0) continue;
        const bool control = !Classes::is(c, k.label);
        rows.push_back({c->frame.origin.y, c->frame.origin.y + c->frame.size.height, control});
    }
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.top < b.top; });
    std::vector<Row> merged;
    for (const Row& r : rows) {
        if (!merged.empty() && r.top < merged.back().bottom) {
            merged.back().bottom = std::max(merged.back().bottom, r.bottom);
            merged.back().control |= r.control;
        } else {
            merged.push_back(r);
        }
    }
    std::vector<std::vector<Cell>> sections;
    for (const Row& r : merged) {
        if (!r.control) continue;
        Cell cell{r.top - kCellPadding, r.bottom + kCellPadding};
        if (!sections.empty() && cell.top - sections.back().back().bottom < kSectionGap) {
            Cell& above = sections.back().back();
            const double middle = (above.bottom + cell.top) / 2;
            above.bottom = middle;
            cell.top = middle;
            sections.back().push_back(cell);
        } else {
            sections.push_back({cell});
        }
    }
    return sections;
}

class Painter {
  public:
    Painter(cairo_t* cr, Look look, const Screen& screen) : cr_(cr), look_(look), screen_(screen) {}

    void background() {
        switch (look_) {
            case Look::Plain:
                detail::setSource(cr_, kWhite);
                break;
            case Look::IncomingCall:
                detail::setSource(cr_, kCallBackground);
                break;
            case Look::Settings:
                detail::setSource(cr_, kGroupedGrey);
                break;
        }
        cairo_paint(cr_);
    }

    void view(const UIView* v, const UIView* parent, int depth) {
        if (v->hidden || depth > kMaxDepth || !finite(v->frame)) return;
        const double w = v->frame.size.width, h = v->frame.size.height;
        const bool empty = !(w > 0 && h > 0);
        cairo_save(cr_);
        cairo_translate(cr_, v->frame.origin.x, v->frame.origin.y);
        if (!empty) {
            fill(v, w, h);
            content(v, parent, w, h);
        }
        const bool scroll = Classes::is(v, k_.scroll);
        const bool clips = v->clipsToBounds || Classes::is(v, k_.picker);
        if (clips) {
            if (empty) {
                cairo_restore(cr_);
                return;
            }
            cairo_rectangle(cr_, 0, 0, w, h);
            cairo_clip(cr_);
        }
        if (scroll) {
            const auto* s = static_cast<const platform::UIScrollView*>(v);
            const platform::CGPoint o = s->contentOffset;
            if (std::isfinite(o.x) && std::isfinite(o.y) && std::fabs(o.x) < kFarAway &&
                std::fabs(o.y) < kFarAway)
                cairo_translate(cr_, -o.x, -o.y);
            if (look_ == Look::Settings && !empty) cells(v, w);
        }
        for (const auto& child : childrenOf(v)) view(child.get(), v, depth + 1);
        cairo_restore(cr_);
    }

    // The front alert (the one a tap reaches), over a dimmed screen.
    void alert(const platform::UIAlertView* a) {
        fillRect(cr_, kDim, 0, 0, screen_.width, screen_.height);
        const double pad = 16, inner = kAlertWidth - 2 * pad;
        TextStyle title{"", 17, true, kBlack, platform::NSTextAlignmentCenter};
        TextStyle message{"", 13, false, kBlack, platform::NSTextAlignmentCenter};
        const double th = detail::drawWrapped(cr_, a->title, title, 0, 0, inner, false);
        const double mh = detail::drawWrapped(cr_, a->message, message, 0, 0, inner, false);
        const size_t n = a->buttonTitles.size();
        const size_t rows = n == 0 ? 0 : n <= 2 ? 1 : n;
        double textHeight = 20 + th + (mh > 0 ? 4 + mh : 0) + 20;
        // A message too long for the screen is cut, as the phone would have it scroll.
        const double room = screen_.height - 40 - static_cast<double>(rows) * kAlertButtonHeight;
        textHeight = std::max(0.0, std::min(textHeight, room));
        const double height = textHeight + static_cast<double>(rows) * kAlertButtonHeight;
        const double x = (screen_.width - kAlertWidth) / 2, y = (screen_.height - height) / 2;
        detail::setSource(cr_, kAlertBox);
        roundedRect(cr_, x, y, kAlertWidth, height, 7);
        cairo_fill(cr_);

        cairo_save(cr_);
        cairo_rectangle(cr_, x, y, kAlertWidth, textHeight);
        cairo_clip(cr_);
        detail::drawWrapped(cr_, a->title, title, x + pad, y + 20, inner);
        detail::drawWrapped(cr_, a->message, message, x + pad, y + 20 + th + 4, inner);
        cairo_restore(cr_);

        TextStyle label{"", 17, false, kSystemBlue, platform::NSTextAlignmentCenter};
        const double top = y + textHeight;
        for (size_t i = 0; i < n; ++i) {
            const bool sideBySide = rows == 1;
            const double bw = sideBySide ? kAlertWidth / static_cast<double>(n) : kAlertWidth;
            const double bx = sideBySide ? x + bw * static_cast<double>(i) : x;
            const double by = sideBySide ? top : top + kAlertButtonHeight * static_cast<double>(i);
            hairline(cr_, bx, by, bx + bw);
            if (sideBySide && i > 0) {
                cairo_move_to(cr_, bx, by);
                cairo_line_to(cr_, bx, by + kAlertButtonHeight);
                cairo_stroke(cr_);
            }
            label.bold = i == 0 && n == 2;  // the cancel button of a pair
            detail::drawLine(cr_, a->buttonTitles[i], label, bx + 8, by, bw - 16,
                             kAlertButtonHeight);
        }
    }

  private:
    // The view's own colour, or the look's where it has none.
    void fill(const UIView* v, double w, double h) {
        if (auto c = colourOf(k_, v->backgroundColor)) {
            fillRect(cr_, *c, 0, 0, w, h);
        } else if (Classes::is(v, k_.picker)) {
            fillRect(cr_, kWhite, 0, 0, w, h);
        } else if (look_ == Look::IncomingCall && Classes::is(v, k_.bar)) {
            fillRect(cr_, kBarTint, 0, 0, w, h);
        } else if (look_ == Look::Settings && isPickerPanel(v)) {
            fillRect(cr_, kToolbar, 0, 0, w, h);
            hairline(cr_, 0, 0.25, w);
        }
    }

    // A plain view that carries a picker: the panel that slides up with it.
    bool isPickerPanel(const UIView* v) const {
        if (objc::object_getClass(asId(v)) != k_.view) return false;
        return std::any_of(v->subviews.begin(), v->subviews.end(),
                           [this](const UIView* c) { return Classes::is(c, k_.picker); });
    }

    void content(const UIView* v, const UIView* parent, double w, double h) {
        if (Classes::is(v, k_.imageView)) {
            image(static_cast<const platform::UIImageView*>(v)->image, w, h);
        } else if (Classes::is(v, k_.label)) {
            label(static_cast<const platform::UILabel*>(v), w, h);
        } else if (Classes::is(v, k_.button)) {
            button(static_cast<const platform::UIButton*>(v), parent, w, h);
        } else if (Classes::is(v, k_.switchControl)) {
            switchControl(static_cast<const platform::UISwitch*>(v)->on);
        } else if (Classes::is(v, k_.picker)) {
            picker(static_cast<const platform::UIPickerView*>(v), w, h);
        }
    }

    // The image stretched over the view's bounds, as a view's default content mode has it: an
    // image of the view's size in points is drawn pixel for pixel at its scale.
    void image(objc::id object, double w, double h) {
        if (!Classes::is(object, k_.image)) return;
        const auto* im = static_cast<const platform::UIImage*>(object);
        const int pw = im->pixelWidth, ph = im->pixelHeight;
        if (pw <= 0 || ph <= 0 || pw > 8192 || ph > 8192 ||
            im->rgba.size() < static_cast<size_t>(pw) * static_cast<size_t>(ph) * 4)
            return;
        cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, pw, ph);
        if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
            cairo_surface_destroy(surface);
            return;
        }
        cairo_surface_flush(surface);
        unsigned char* data = cairo_image_surface_get_data(surface);
        const int stride = cairo_image_surface_get_stride(surface);
        for (int y = 0; y < ph; ++y) {
            auto* row = reinterpret_cast<uint32_t*>(data + static_cast<ptrdiff_t>(y) * stride);
            const uint8_t* src = &im->rgba[static_cast<size_t>(y) * static_cast<size_t>(pw) * 4];
            for (int x = 0; x < pw; ++x, src += 4) {
                const uint32_t a = src[3];
                auto pre = [a](uint32_t c) { return (c * a + 127) / 255; };
                row[x] = a << 24 | pre(src[0]) << 16 | pre(src[1]) << 8 | pre(src[2]);
            }
        }
        cairo_surface_mark_dirty(surface);
        cairo_pattern_t* pattern = cairo_pattern_create_for_surface(surface);
        cairo_matrix_t m;
        cairo_matrix_init_scale(&m, pw / w, ph / h);
        cairo_pattern_set_matrix(pattern, &m);
        cairo_set_source(cr_, pattern);
        cairo_rectangle(cr_, 0, 0, w, h);
        cairo_fill(cr_);
        cairo_pattern_destroy(pattern);
        cairo_surface_destroy(surface);
    }

    TextStyle fontOf(objc::id font, double fallbackSize) const {
        TextStyle s;
        s.size = fallbackSize;
        if (Classes::is(font, k_.font)) {
            const auto* f = static_cast<const platform::UIFont*>(font);
            s.fontName = f->name;
            s.size = f->pointSize;
        }
        return s;
    }

    void label(const platform::UILabel* l, double w, double h) {
        TextStyle s = fontOf(l->font, platform::kLabelDefaultFontSize);
        s.colour = colourOf(k_, l->textColor).value_or(kBlack);
        s.alignment = l->textAlignment;
        detail::drawLine(cr_, l->text, s, 0, 0, w, h);
    }

    void button(const platform::UIButton* b, const UIView* parent, double w, double h) {
        TextStyle s;
        s.alignment = platform::NSTextAlignmentCenter;
        s.colour = look_ == Look::IncomingCall ? callTitleColour(b) : kSystemBlue;
        if (Classes::is(parent, k_.bar)) {
            const auto* bar = static_cast<const platform::TPSuperBottomBar*>(parent);
            if (asId(b) == bar->mainRightButton) {
                detail::setSource(cr_, kAnswerGreen);
                roundedRect(cr_, 0, 0, w, h, 8);
                cairo_fill(cr_);
                s.colour = kWhite;
                s.bold = true;
            } else if (asId(b) == bar->slidingButton) {
                detail::setSource(cr_, kSliderTrack);
                roundedRect(cr_, 0, 0, w, h, h / 2);
                cairo_fill(cr_);
                s.colour = kWhite;
            }
        }
        detail::drawLine(cr_, b->title, s, 4, 0, w - 8, h);
    }

    // On the call screen a title is white, unless its button is lit (a light colour of its own,
    // as the in-call screen's speaker button while the speaker is on): then it is dark, as the
    // phone draws a lit button's symbol.
    Colour callTitleColour(const platform::UIButton* b) const {
        const auto own = colourOf(k_, b->backgroundColor);
        if (!own) return kWhite;
        const Colour seen = over(*own, kCallBackground);
        return contrast(kCallBackground, seen) > contrast(kWhite, seen) ? kCallBackground : kWhite;
    }

    // A switch keeps its own size whatever its frame says.
    void switchControl(bool on) {
        const double r = kSwitchHeight / 2;
        roundedRect(cr_, 0.75, 0.75, kSwitchWidth - 1.5, kSwitchHeight - 1.5, r);
        if (on) {
            detail::setSource(cr_, kAnswerGreen);
            cairo_fill(cr_);
        } else {
            detail::setSource(cr_, kWhite);
            cairo_fill_preserve(cr_);
            detail::setSource(cr_, kSwitchBorder);
            cairo_set_line_width(cr_, 1.5);
            cairo_stroke(cr_);
        }
        cairo_new_path(cr_);
        cairo_arc(cr_, on ? kSwitchWidth - r : r, r, r - 2, 0, 2 * M_PI);
        detail::setSource(cr_, kWhite);
        cairo_fill_preserve(cr_);
        detail::setSource(cr_, kKnobEdge);
        cairo_set_line_width(cr_, 0.5);
        cairo_stroke(cr_);
    }

    // Columns side by side, the selected row of each in the middle band, its neighbours dimmed.
    void picker(const platform::UIPickerView* p, double w, double h) {
        const int64_t n = componentsOf(p);
        const double middle = h / 2;
        hairline(cr_, 0, middle - kPickerRowHeight / 2, w);
        hairline(cr_, 0, middle + kPickerRowHeight / 2, w);
        if (n == 0) return;
        const double column = w / static_cast<double>(n);
        for (int64_t c = 0; c < n; ++c) {
            const int64_t rows = rowsOf(p, c), selected = selectedOf(p, c);
            for (int k = -kPickerRowsAround; k <= kPickerRowsAround; ++k) {
                const int64_t row = selected + k;
                if (row < 0 || row >= rows) continue;
                TextStyle s{"", 21, false, k == 0 ? kBlack : kPickerDim,
                            platform::NSTextAlignmentCenter};
                detail::drawLine(cr_, titleOf(p, row, c), s, column * static_cast<double>(c) + 4,
                                 middle + k * kPickerRowHeight - kPickerRowHeight / 2, column - 8,
                                 kPickerRowHeight);
            }
        }
    }

    void cells(const UIView* scroll, double w) {
        for (const auto& section : sectionsOf(k_, scroll)) {
            const double top = section.front().top, bottom = section.back().bottom;
            fillRect(cr_, kWhite, 0, top, w, bottom - top);
            hairline(cr_, 0, top, w);
            hairline(cr_, 0, bottom, w);
            for (size_t i = 1; i < section.size(); ++i) hairline(cr_, 15, section[i].top, w);
        }
    }

    cairo_t* cr_;
    Look look_;
    Screen screen_;
    Classes k_;
};

// --- What the scene shows, as a digest ----------------------------------------------------------

class Fingerprinter {
  public:
    explicit Fingerprinter(Digest& d) : d_(d) {}

    void view(const UIView* v, const UIView* parent, int depth) {
        if (v->hidden || depth > kMaxDepth || !finite(v->frame)) return;
        d_.add(std::string_view(objc::class_getName(objc::object_getClass(asId(v)))));
        for (double x :
             {v->frame.origin.x, v->frame.origin.y, v->frame.size.width, v->frame.size.height})
            d_.add(x);
        d_.add(v->clipsToBounds);
        colour(v->backgroundColor);
        if (Classes::is(v, k_.imageView)) {
            image(static_cast<const platform::UIImageView*>(v)->image);
        } else if (Classes::is(v, k_.label)) {
            const auto* l = static_cast<const platform::UILabel*>(v);
            d_.add(std::string_view(l->text));
            font(l->font);
            colour(l->textColor);
            d_.add(l->textAlignment);
        } else if (Classes::is(v, k_.button)) {
            d_.add(std::string_view(static_cast<const platform::UIButton*>(v)->title));
            if (Classes::is(parent, k_.bar)) {
                const auto* bar = static_cast<const platform::TPSuperBottomBar*>(parent);
                d_.add(asId(v) == bar->mainRightButton);
                d_.add(asId(v) == bar->slidingButton);
            }
        } else if (Classes::is(v, k_.switchControl)) {
            d_.add(static_cast<const platform::UISwitch*>(v)->on);
        } else if (Classes::is(v, k_.picker)) {
            const auto* p = static_cast<const platform::UIPickerView*>(v);
            const int64_t n = componentsOf(p);
            d_.add(n);
            for (int64_t c = 0; c < n; ++c) {
                const int64_t rows = rowsOf(p, c), selected = selectedOf(p, c);
                d_.add(rows);
                d_.add(selected);
                for (int64_t row = std::max<int64_t>(0, selected - kPickerRowsAround);
                     row < rows && row <= selected + kPickerRowsAround; ++row)
                    d_.add(std::string_view(titleOf(p, row, c)));
            }
        } else if (Classes::is(v, k_.scroll)) {
            const auto* s = static_cast<const platform::UIScrollView*>(v);
            d_.add(s->contentOffset.x);
            d_.add(s->contentOffset.y);
        }
        d_.add(static_cast<uint64_t>(v->subviews.size()));
        for (const auto& child : childrenOf(v)) view(child.get(), v, depth + 1);
        d_.add(std::string_view("end"));
    }

  private:
    void colour(objc::id c) {
        const auto rgba = colourOf(k_, c);
        d_.add(rgba.has_value());
        if (rgba) {
            for (double x : {rgba->r, rgba->g, rgba->b, rgba->a}) d_.add(x);
        }
    }
    void font(objc::id f) {
        const bool has = Classes::is(f, k_.font);
        d_.add(has);
        if (has) {
            d_.add(std::string_view(static_cast<const platform::UIFont*>(f)->name));
            d_.add(static_cast<const platform::UIFont*>(f)->pointSize);
        }
    }
    void image(objc::id object) {
        const bool has = Classes::is(object, k_.image);
        d_.add(has);
        if (!has) return;
        const auto* im = static_cast<const platform::UIImage*>(object);
        d_.add(static_cast<int64_t>(im->pixelWidth));
        d_.add(static_cast<int64_t>(im->pixelHeight));
        d_.words(im->rgba.data(), im->rgba.size());
    }

    Digest& d_;
    Classes k_;
};

const platform::UIAlertView* frontAlert(const Scene& scene) {
    if (!scene.alerts) return nullptr;
    const auto alerts = platform::visibleAlerts();
    return alerts.empty() ? nullptr : alerts.front();
}

}  // namespace

Image render(const Scene& scene, const Screen& screen) {
    const int pw = screen.pixelWidth(), ph = screen.pixelHeight();
    if (pw == 0 || ph == 0) return {};
    Image image(pw, ph);
    cairo_surface_t* surface = cairo_image_surface_create_for_data(
        reinterpret_cast<unsigned char*>(image.data()), CAIRO_FORMAT_ARGB32, pw, ph, pw * 4);
    cairo_t* cr = cairo_create(surface);
    cairo_scale(cr, pw / screen.width, ph / screen.height);
    Painter painter(cr, scene.look, screen);
    painter.background();
    for (const UIView* v : scene.views) {
        if (v != nullptr) painter.view(v, nullptr, 0);
    }
    if (const platform::UIAlertView* a = frontAlert(scene)) {
        objc::Strong<platform::UIAlertView> keep =
            objc::Strong<platform::UIAlertView>::retain(const_cast<platform::UIAlertView*>(a));
        painter.alert(a);
    }
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    cairo_surface_destroy(surface);
    return image;
}

Image renderScreen(const UIView& root, const Screen& screen, Look look) {
    return render(Scene{look, {&root}}, screen);
}

uint64_t sceneFingerprint(const Scene& scene, const Screen& screen) {
    Digest d;
    d.add(static_cast<int64_t>(scene.look));
    d.add(screen.width);
    d.add(screen.height);
    d.add(screen.scale);
    Fingerprinter f(d);
    for (const UIView* v : scene.views) {
        d.add(v != nullptr);
        if (v != nullptr) f.view(v, nullptr, 0);
    }
    if (const platform::UIAlertView* a = frontAlert(scene)) {
        d.add(std::string_view(a->title));
        d.add(std::string_view(a->message));
        for (const auto& b : a->buttonTitles) d.add(std::string_view(b));
    }
    return d.value();
}

std::optional<Image> Recorder::capture(const Scene& scene, const Screen& screen) {
    const uint64_t seen = sceneFingerprint(scene, screen);
    if (lastScene_ == seen) return std::nullopt;
    lastScene_ = seen;
    Image picture = render(scene, screen);
    const uint64_t pixels = picture.fingerprint();
    if (lastPixels_ == pixels) return std::nullopt;
    lastPixels_ = pixels;
    return picture;
}

}  // namespace render
