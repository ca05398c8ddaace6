// Text with pango: the phone's font names mapped to installed families, and lines and
// paragraphs laid out in points.
#include <pango/pangocairo.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <set>

#include "internal.h"
#include "render/render.h"

namespace render {

namespace {

// The free families that stand in for the faces the phone has and this machine lacks. Liberation
// Sans (Debian's fonts-liberation2) is drawn to Helvetica's metrics, so text takes the room it
// takes on the phone; it has Regular and Bold only. The phone's thin faces ("HelveticaNeue-Thin",
// the answer bar's hint) are drawn in Roboto Thin (fonts-roboto-unhinted), narrow enough that
// the hint fits its label as it does on the phone. Only these, never whatever lighter face
// another machine happens to have, so a picture does not depend on which other font packages
// are installed. Without them, DejaVu Sans, then fontconfig's "Sans".
constexpr const char* kStandIns[] = {"Liberation Sans", "DejaVu Sans"};
constexpr const char* kThinStandIn = "Roboto";

struct FontChoice {
    std::string family;
    PangoWeight weight = PANGO_WEIGHT_NORMAL;
    PangoStyle style = PANGO_STYLE_NORMAL;
};

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

const std::set<std::string>& installedFamilies() {
    static const std::set<std::string> families = [] {
        std::set<std::string> names;
        PangoFontMap* map = pango_cairo_font_map_get_default();
        PangoFontFamily** list = nullptr;
        int n = 0;
        pango_font_map_list_families(map, &list, &n);
        for (int i = 0; i < n; ++i) names.insert(lower(pango_font_family_get_name(list[i])));
        g_free(list);
        return names;
    }();
    return families;
}

bool installed(const std::string& family) { return installedFamilies().count(lower(family)) > 0; }

// "HelveticaNeue-Thin" is the PostScript name of the family "Helvetica Neue" in its Thin face.
FontChoice choose(const std::string& fontName) {
    const std::string name = fontName.empty() ? platform::kSystemFontName : fontName;
    const size_t dash = name.find('-');
    const std::string base = name.substr(0, dash);
    const std::string face = dash == std::string::npos ? "" : lower(name.substr(dash + 1));
    std::string spaced;
    for (size_t i = 0; i < base.size(); ++i) {
        const auto c = static_cast<unsigned char>(base[i]);
        if (i > 0 && std::isupper(c) && std::islower(static_cast<unsigned char>(base[i - 1])))
            spaced += ' ';
        spaced += base[i];
    }
    auto has = [&](const char* word) { return face.find(word) != std::string::npos; };
    const bool thin = has("thin") || has("ultralight") || has("hairline");
    const bool light = !thin && has("light");
    FontChoice choice;
    bool named = false;
    for (const std::string& candidate : {spaced, base}) {
        if (!candidate.empty() && installed(candidate)) {
            choice.family = candidate;
            named = true;
            break;
        }
    }
    const bool thinStandIn = !named && (thin || light) && installed(kThinStandIn);
    if (thinStandIn) {
        choice.family = kThinStandIn;
    } else if (!named) {
        choice.family = "Sans";
        for (const char* standIn : kStandIns) {
            if (installed(standIn)) {
                choice.family = standIn;
                break;
            }
        }
    }
    const bool weighted = named || thinStandIn;
    if (has("bold") || has("heavy") || has("black"))
        choice.weight = PANGO_WEIGHT_BOLD;
    else if (weighted && thin)
        choice.weight = PANGO_WEIGHT_THIN;
    else if (weighted && light)
        choice.weight = PANGO_WEIGHT_LIGHT;
    else if (named && has("medium"))
        choice.weight = PANGO_WEIGHT_MEDIUM;
    if (has("italic") || has("oblique")) choice.style = PANGO_STYLE_OBLIQUE;
    return choice;
}

const FontChoice& chosen(const std::string& fontName) {
    static std::map<std::string, FontChoice> choices;
    auto it = choices.find(fontName);
    if (it == choices.end()) it = choices.emplace(fontName, choose(fontName)).first;
    return it->second;
}

// Pango measures in integers of 1/1024 point: keep lengths where they cannot overflow.
int pangoLength(double points) {
    if (!std::isfinite(points) || points <= 0) return 0;
    return static_cast<int>(std::min(points, 100000.0) * PANGO_SCALE);
}

struct Layout {
    PangoLayout* layout;
    Layout(cairo_t* cr, std::string_view text, const detail::TextStyle& style) {
        layout = pango_cairo_create_layout(cr);
        // The same glyph shapes on every machine: grey antialiasing, no hinting.
        cairo_font_options_t* options = cairo_font_options_create();
        cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
        cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
        cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
        pango_cairo_context_set_font_options(pango_layout_get_context(layout), options);
        cairo_font_options_destroy(options);
        pango_layout_context_changed(layout);

        const FontChoice& font = chosen(style.fontName);
        PangoFontDescription* desc = pango_font_description_new();
        pango_font_description_set_family(desc, font.family.c_str());
        pango_font_description_set_weight(desc, style.bold ? PANGO_WEIGHT_BOLD : font.weight);
        pango_font_description_set_style(desc, font.style);
        const double size = std::isfinite(style.size) && style.size > 0
                                ? std::min(style.size, 1000.0)
                                : platform::kLabelDefaultFontSize;
        pango_font_description_set_absolute_size(desc, size * PANGO_SCALE);
        pango_layout_set_font_description(layout, desc);
        pango_font_description_free(desc);

        const std::string valid = detail::validUTF8(text);
        pango_layout_set_text(layout, valid.data(), static_cast<int>(valid.size()));
        switch (style.alignment) {
            case platform::NSTextAlignmentCenter:
                pango_layout_set_alignment(layout, PANGO_ALIGN_CENTER);
                break;
            case platform::NSTextAlignmentRight:
                pango_layout_set_alignment(layout, PANGO_ALIGN_RIGHT);
                break;
            default:  // left, natural (left for the phone's languages), justified lines
                pango_layout_set_alignment(layout, PANGO_ALIGN_LEFT);
        }
    }
    ~Layout() { g_object_unref(layout); }
    Layout(const Layout&) = delete;
    Layout& operator=(const Layout&) = delete;
    double height() const {
        int w = 0, h = 0;
        pango_layout_get_size(layout, &w, &h);
        return static_cast<double>(h) / PANGO_SCALE;
    }
};

}  // namespace

std::string fontFamilyFor(const std::string& fontName) { return chosen(fontName).family; }

namespace detail {

std::string validUTF8(std::string_view text) {
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        size_t len = b < 0x80           ? 1
                     : (b >> 5) == 0x6  ? 2
                     : (b >> 4) == 0xE  ? 3
                     : (b >> 3) == 0x1E ? 4
                                        : 0;
        bool ok = len > 0 && i + len <= text.size() && b != 0;
        uint32_t cp = len == 1 ? b : len == 2 ? b & 0x1F : len == 3 ? b & 0x0F : b & 0x07;
        for (size_t k = 1; ok && k < len; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            ok = (c & 0xC0) == 0x80;
            cp = (cp << 6) | (c & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8 either.
        if (ok && ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) ||
                   (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF)))
            ok = false;
        if (ok) {
            out.append(text.substr(i, len));
            i += len;
        } else {
            out += kReplacement;
            ++i;
        }
    }
    return out;
}

void drawLine(cairo_t* cr, std::string_view text, const TextStyle& style, double x, double y,
              double width, double height) {
    if (text.empty() || pangoLength(width) == 0) return;
    Layout l(cr, text, style);
    pango_layout_set_single_paragraph_mode(l.layout, TRUE);
    pango_layout_set_width(l.layout, pangoLength(width));
    pango_layout_set_ellipsize(l.layout, PANGO_ELLIPSIZE_END);
    const double top = y + (std::isfinite(height) ? (height - l.height()) / 2 : 0);
    setSource(cr, style.colour);
    cairo_move_to(cr, x, top);
    pango_cairo_show_layout(cr, l.layout);
}

double drawWrapped(cairo_t* cr, std::string_view text, const TextStyle& style, double x, double y,
                   double width, bool draw) {
    if (text.empty() || pangoLength(width) == 0) return 0;
    Layout l(cr, text, style);
    pango_layout_set_width(l.layout, pangoLength(width));
    pango_layout_set_wrap(l.layout, PANGO_WRAP_WORD_CHAR);
    if (draw) {
        setSource(cr, style.colour);
        cairo_move_to(cr, x, y);
        pango_cairo_show_layout(cr, l.layout);
    }
    return l.height();
}

}  // namespace detail

}  // namespace render
