// Drawing a call's plot: lanes stacked over one time axis, with the failed expectations listed
// under them. The same drawing goes to cairo for PNG and to SVG elements written here, so that
// the SVG's words are text a viewer can search and select; text is measured with pango either
// way.
#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "plot.h"
#include "text.h"

namespace sim {

namespace {

struct Rgba {
    double r, g, b, a = 1;
};
constexpr Rgba kInk{0.13, 0.13, 0.15};
constexpr Rgba kGrid{0.88, 0.88, 0.90};
constexpr Rgba kMuted{0.45, 0.45, 0.50};
constexpr Rgba kSampling{0.80, 0.82, 0.86};
constexpr Rgba kScreenUp{0.30, 0.75, 0.40};
constexpr Rgba kArmed{0.75, 0.86, 0.98};
constexpr Rgba kCovered{0.10, 0.35, 0.75};
constexpr Rgba kState{0.55, 0.20, 0.60};
constexpr Rgba kLimit{0.98, 0.65, 0.20, 0.35};
constexpr Rgba kLimitUsed{0.95, 0.55, 0.10, 0.75};

Rgba momentColour(MomentKind k) {
    switch (k) {
        case MomentKind::Incoming:
            return {0.40, 0.40, 0.45};
        case MomentKind::Answer:
            return {0.13, 0.60, 0.25};
        case MomentKind::Speaker:
            return {0.45, 0.30, 0.85};
        case MomentKind::CallEnd:
            return {0.10, 0.10, 0.10};
        case MomentKind::FailedExpectation:
            return {0.85, 0.10, 0.10};
    }
    return kInk;
}

// Where things go on the picture.
constexpr double kLeft = 230, kRight = kPlotWidth - 20;
constexpr double kPoseTop = 84, kPoseBottom = 174;
constexpr double kOrientTop = 182, kOrientBottom = 200;
constexpr double kProxTop = 210, kProxBottom = 238;
constexpr double kRow = 18;
constexpr double kStatesTop = 250;
constexpr size_t kStateRows = std::size(kRecognizerStates);
constexpr double kStatesBottom = kStatesTop + kRow * kStateRows;
constexpr double kLimitTop = kStatesBottom + 10, kLimitBottom = kLimitTop + 34;
constexpr double kAxis = kLimitBottom + 12;
constexpr double kLegendTop = kAxis + 40, kLegendRow = 18;
constexpr double kListLine = 15, kListSize = 11;
// A plot is never taller than this: a scenario of thousands of failed expectations lists the
// first ones and says how many more there are.
constexpr double kMaxHeight = 8000;
constexpr const char* kFamily = "Liberation Sans";

using Point = std::pair<double, double>;

// Text measured as both outputs draw it: pango, Liberation Sans, pixel sizes.
class Fonts {
  public:
    Fonts() : surface_(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1)) {
        cr_ = cairo_create(surface_);
    }
    ~Fonts() {
        cairo_destroy(cr_);
        cairo_surface_destroy(surface_);
    }
    Fonts(const Fonts&) = delete;
    Fonts& operator=(const Fonts&) = delete;

    // A layout of the text at that size (the caller unrefs it); `width` > 0 wraps it.
    static PangoLayout* layout(cairo_t* cr, const std::string& s, double px, bool bold,
                               double width = 0) {
        PangoLayout* layout = pango_cairo_create_layout(cr);
        PangoFontDescription* font = pango_font_description_new();
        pango_font_description_set_family(font, kFamily);
        pango_font_description_set_absolute_size(font, px * PANGO_SCALE);
        if (bold) pango_font_description_set_weight(font, PANGO_WEIGHT_BOLD);
        pango_layout_set_font_description(layout, font);
        pango_font_description_free(font);
        if (width > 0) {
            pango_layout_set_width(layout, static_cast<int>(width * PANGO_SCALE));
            pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
        }
        pango_layout_set_text(layout, s.c_str(), static_cast<int>(s.size()));
        return layout;
    }
    // The width it takes and how far below its top its baseline is.
    std::pair<double, double> measure(const std::string& s, double px, bool bold) const {
        PangoLayout* l = layout(cr_, s, px, bold);
        int w = 0, h = 0;
        pango_layout_get_pixel_size(l, &w, &h);
        const double baseline = pango_layout_get_baseline(l) / double(PANGO_SCALE);
        g_object_unref(l);
        return {w, baseline};
    }
    // The text broken into lines no wider than `width`.
    std::vector<std::string> wrap(const std::string& s, double px, bool bold, double width) const {
        PangoLayout* l = layout(cr_, s, px, bold, width);
        std::vector<std::string> lines;
        for (GSList* it = pango_layout_get_lines_readonly(l); it != nullptr; it = it->next) {
            const auto* line = static_cast<PangoLayoutLine*>(it->data);
            lines.push_back(s.substr(static_cast<size_t>(line->start_index),
                                     static_cast<size_t>(line->length)));
        }
        g_object_unref(l);
        return lines;
    }

  private:
    cairo_surface_t* surface_;
    cairo_t* cr_;
};

// What the plot is drawn on.
class Surface {
  public:
    virtual ~Surface() = default;
    virtual void rect(double x0, double y0, double x1, double y1, const Rgba& c) = 0;
    virtual void path(const std::vector<Point>& points, const Rgba& c, double width,
                      bool dashed = false) = 0;
    // One line of text starting at x, its baseline at y.
    virtual void text(const std::string& s, double x, double y, double px, const Rgba& c,
                      bool bold) = 0;
};

class CairoSurface : public Surface {
  public:
    explicit CairoSurface(cairo_t* cr) : cr_(cr) {}
    void rect(double x0, double y0, double x1, double y1, const Rgba& c) override {
        colour(c);
        cairo_rectangle(cr_, x0, y0, std::max(0.0, x1 - x0), y1 - y0);
        cairo_fill(cr_);
    }
    void path(const std::vector<Point>& points, const Rgba& c, double width, bool dashed) override {
        if (points.empty()) return;
        const double dashes[] = {4, 3};
        cairo_set_dash(cr_, dashes, dashed ? 2 : 0, 0);
        colour(c);
        cairo_set_line_width(cr_, width);
        cairo_move_to(cr_, points[0].first, points[0].second);
        for (size_t i = 1; i < points.size(); ++i)
            cairo_line_to(cr_, points[i].first, points[i].second);
        cairo_stroke(cr_);
        cairo_set_dash(cr_, nullptr, 0, 0);
    }
    void text(const std::string& s, double x, double y, double px, const Rgba& c,
              bool bold) override {
        PangoLayout* l = Fonts::layout(cr_, s, px, bold);
        colour(c);
        cairo_move_to(cr_, x, y - pango_layout_get_baseline(l) / double(PANGO_SCALE));
        pango_cairo_show_layout(cr_, l);
        g_object_unref(l);
    }

  private:
    void colour(const Rgba& c) { cairo_set_source_rgba(cr_, c.r, c.g, c.b, c.a); }
    cairo_t* cr_;
};

// SVG elements, written out by hand so that text stays text.
class SvgSurface : public Surface {
  public:
    void rect(double x0, double y0, double x1, double y1, const Rgba& c) override {
        body_ << "<rect x=\"" << x0 << "\" y=\"" << y0 << "\" width=\"" << std::max(0.0, x1 - x0)
              << "\" height=\"" << y1 - y0 << "\" " << paint("fill", c) << "/>\n";
    }
    void path(const std::vector<Point>& points, const Rgba& c, double width, bool dashed) override {
        body_ << "<polyline fill=\"none\" stroke-width=\"" << width << "\" " << paint("stroke", c)
              << (dashed ? " stroke-dasharray=\"4 3\"" : "") << " points=\"";
        for (const auto& [x, y] : points) body_ << x << "," << y << " ";
        body_ << "\"/>\n";
    }
    void text(const std::string& s, double x, double y, double px, const Rgba& c,
              bool bold) override {
        body_ << "<text x=\"" << x << "\" y=\"" << y << "\" font-size=\"" << px << "\""
              << (bold ? " font-weight=\"bold\"" : "") << " " << paint("fill", c) << ">"
              << escaped(s) << "</text>\n";
    }
    std::string document(double width, double height) const {
        std::ostringstream doc;
        doc << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "pt\" height=\""
            << height << "pt\" viewBox=\"0 0 " << width << " " << height << "\""
            << " font-family=\"'" << kFamily << "', Arial, Helvetica, sans-serif\""
            << " xml:space=\"preserve\">\n"
            << body_.str() << "</svg>\n";
        return doc.str();
    }

  private:
    static std::string paint(const char* what, const Rgba& c) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "%s=\"rgb(%d,%d,%d)\"", what, int(std::lround(c.r * 255)),
                      int(std::lround(c.g * 255)), int(std::lround(c.b * 255)));
        std::string s = buf;
        if (c.a < 1) s += std::string(" ") + what + "-opacity=\"" + std::to_string(c.a) + "\"";
        return s;
    }
    // The text is printable UTF-8 already (no control characters, which XML forbids).
    static std::string escaped(const std::string& s) {
        std::string out;
        for (char ch : s) {
            switch (ch) {
                case '&':
                    out += "&amp;";
                    break;
                case '<':
                    out += "&lt;";
                    break;
                case '>':
                    out += "&gt;";
                    break;
                default:
                    out += ch;
            }
        }
        return out;
    }
    std::ostringstream body_;
};

// The failed expectations' reports, as listed under the plot: wrapped lines, the first ones
// only when they would make the picture too tall.
std::vector<std::string> failedList(const PlotData& d, const Fonts& fonts) {
    const size_t room = static_cast<size_t>((kMaxHeight - kLegendTop - 3 * kLegendRow) / kListLine);
    std::vector<std::string> lines;
    size_t failed = 0, listed = 0;
    for (const auto& m : d.moments) {
        if (m.kind != MomentKind::FailedExpectation) continue;
        ++failed;
        const auto wrapped =
            fonts.wrap("failed: " + printable(m.label), kListSize, true, kRight - kLeft);
        if (lines.size() + wrapped.size() >= room) continue;
        lines.insert(lines.end(), wrapped.begin(), wrapped.end());
        ++listed;
    }
    if (listed < failed)
        lines.push_back("... and " + std::to_string(failed - listed) +
                        " more failed expectations (the timeline lists every one)");
    return lines;
}

class Canvas {
  public:
    Canvas(const Fonts& fonts, const PlotData& d)
        : fonts_(fonts), d_(d), list_(failedList(d, fonts)) {
        end_ = d.end > 0 ? d.end : 1;
    }

    // The picture's height: enough for the legend and the list under it.
    double height() const {
        return std::max<double>(
            kPlotHeight, legendBottom() + static_cast<double>(list_.size()) * kListLine + 12);
    }

    void draw(Surface& out) {
        out_ = &out;
        out_->rect(0, 0, kPlotWidth, height(), {1, 1, 1});
        const std::string title = d_.title.empty() ? "Call" : printable(d_.title);
        text(fitted(title, 15, true, kPlotWidth - 40), 20, 12, 15, kInk, true);
        grid();
        pose();
        orientation();
        proximity();
        states();
        limits();
        moments();
        legend();
    }

  private:
    double x(double t) const { return kLeft + std::clamp(t / end_, 0.0, 1.0) * (kRight - kLeft); }

    void line(double x0, double y0, double x1, double y1, const Rgba& c, double width,
              bool dashed = false) {
        out_->path({{x0, y0}, {x1, y1}}, c, width, dashed);
    }
    // Text with its top-left corner at (x, y); right-aligned to x when `right`. Returns the
    // width it took.
    double text(const std::string& s, double tx, double ty, double px, const Rgba& c,
                bool bold = false, bool right = false) {
        const auto [w, baseline] = fonts_.measure(s, px, bold);
        out_->text(s, right ? tx - w : tx, ty + baseline, px, c, bold);
        return w;
    }
    // The text, cut short with "..." when wider than `width`.
    std::string fitted(std::string s, double px, bool bold, double width) const {
        constexpr size_t kLongest = 300;  // bytes: more never fits a line
        if (s.size() > kLongest) s = s.substr(0, kLongest) + "...";
        while (s.size() > 3 && fonts_.measure(s, px, bold).first > width) {
            size_t cut = s.size() - 4;
            while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xc0) == 0x80) --cut;
            s = s.substr(0, cut) + "...";
        }
        return s;
    }
    void laneLabel(const std::string& s, double top, double bottom) {
        text(s, 20, (top + bottom) / 2 - 8, 12, kInk, true);
    }

    void grid() {
        const double step = end_ <= 12 ? 1 : end_ <= 30 ? 2 : end_ <= 120 ? 10 : 60;
        for (double t = 0; t <= end_ + 1e-9; t += step) {
            line(x(t), kPoseTop - 4, x(t), kAxis, kGrid, 1);
            char label[32];
            std::snprintf(label, sizeof label, "%g", t);
            text(label, x(t) - 10, kAxis + 4, 11, kMuted);
        }
        line(kLeft, kAxis, kRight, kAxis, kMuted, 1);
        text("phone time (s)", kRight, kAxis + 20, 11, kMuted, false, true);
    }

    double zy(double z) const {
        const double v = std::clamp(z, -1.2, 1.2);
        return kPoseTop + (1.2 - v) / 2.4 * (kPoseBottom - kPoseTop);
    }

    // A value held from each point until the next one, and the last until the end.
    template <class T, class Value, class Y>
    std::vector<Point> steps(const std::vector<T>& points, Value value, Y y) const {
        std::vector<Point> path;
        for (size_t i = 0; i < points.size(); ++i) {
            const double to = i + 1 < points.size() ? x(points[i + 1].at) : x(end_);
            path.push_back({x(points[i].at), y(value(points[i]))});
            path.push_back({to, y(value(points[i]))});
        }
        return path;
    }

    void pose() {
        laneLabel("pose z (g)", kPoseTop, kPoseBottom);
        for (double z : {-1.0, 0.0, 1.0}) {
            char label[24];
            std::snprintf(label, sizeof label, "%g", z);
            text(label, kLeft - 4, zy(z) - 6, 10, kMuted, false, true);
            line(kLeft, zy(z), kRight, zy(z), kGrid, 1);
        }
        // The latest detection system's threshold: at or below it the screen faces up.
        line(kLeft, zy(-0.1), kRight, zy(-0.1), kMuted, 1, true);
        text("-0.1", kRight - 2, zy(-0.1) - 13, 9, kMuted, false, true);
        out_->path(steps(
                       d_.z, [](const PlotLevel& l) { return l.value; },
                       [this](double z) { return zy(z); }),
                   kInk, 2);
    }

    void orientation() {
        laneLabel("orientation", kOrientTop, kOrientBottom);
        for (const auto& s : d_.accelerometer)
            out_->rect(x(s.from), kOrientTop, x(s.to), kOrientBottom, kSampling);
        for (const auto& s : d_.screenUp)
            out_->rect(x(s.from), kOrientTop + 4, x(s.to), kOrientBottom - 4, kScreenUp);
    }

    void proximity() {
        laneLabel("proximity", kProxTop, kProxBottom);
        for (const auto& s : d_.armed)
            out_->rect(x(s.from), kProxTop, x(s.to), kProxBottom, kArmed);
        for (const auto& s : d_.covered)
            out_->rect(x(s.from), kProxTop + 6, std::max(x(s.to), x(s.from) + 1), kProxBottom - 6,
                       kCovered);
    }

    static size_t row(int32_t state) {
        for (size_t i = 0; i < kStateRows; ++i)
            if (kRecognizerStates[i].value == state) return i;
        return kStateRows - 1;
    }
    static double rowY(size_t r) { return kStatesTop + kRow * static_cast<double>(r) + kRow / 2; }

    void states() {
        text("recognizer", 20, kStatesTop + 1, 12, kInk, true);
        for (size_t r = 0; r < kStateRows; ++r) {
            text(kRecognizerStates[r].name, kLeft - 10, rowY(r) - 6, 10, kMuted, false, true);
            line(kLeft, rowY(r), kRight, rowY(r), kGrid, 1);
        }
        out_->path(steps(
                       d_.states, [](const PlotState& s) { return s.state; },
                       [](int32_t s) { return rowY(row(s)); }),
                   kState, 2.5);
    }

    void limits() {
        laneLabel("wave time limit", kLimitTop, kLimitBottom);
        const double half = (kLimitBottom - kLimitTop) / 2;
        for (size_t i = 0; i < d_.waveLimits.size(); ++i) {
            const PlotBand& b = d_.waveLimits[i];
            const double top = kLimitTop + (i % 2 == 0 ? 0 : half) + 1;
            out_->rect(x(b.from), top, x(b.to), top + half - 2, kLimit);
            out_->rect(x(b.from), top + 4, x(std::min(b.ended, b.to)), top + half - 6, kLimitUsed);
            line(x(b.to), top, x(b.to), top + half - 2, kLimitUsed, 1.5);
        }
    }

    // A line across the lanes for each moment, labelled above them; the failed expectations,
    // all checked at the end, share one line and one label. A label that would run off the
    // right edge stands to the left of its line.
    void moments() {
        size_t failed = 0;
        for (const auto& m : d_.moments) failed += m.kind == MomentKind::FailedExpectation;
        int n = 0;
        bool failedDrawn = false;
        for (const auto& m : d_.moments) {
            const bool isFailed = m.kind == MomentKind::FailedExpectation;
            if (isFailed && failedDrawn) continue;
            failedDrawn = failedDrawn || isFailed;
            const Rgba c = momentColour(m.kind);
            line(x(m.at), kPoseTop - 8, x(m.at), kAxis, c, 1.5);
            const std::string label = !isFailed    ? printable(m.label)
                                      : failed > 1 ? std::to_string(failed) + " expectations failed"
                                                   : "expectation failed";
            const double y = 44 + (n++ % 2) * 15;
            const double width = fonts_.measure(label, 11, true).first;
            if (x(m.at) + 3 + width <= kPlotWidth - 4)
                text(label, x(m.at) + 3, y, 11, c, true);
            else
                text(label, x(m.at) - 3, y, 11, c, true, true);
        }
    }

    struct Key {
        Rgba colour;
        std::string what;
        bool line;    // a moment's line, not a band
        double x, y;  // where it stands
    };
    // The keys, in rows that wrap at the right edge.
    std::vector<Key> keys() const {
        std::vector<Key> keys = {{kSampling, "accelerometer sampling", false, 0, 0},
                                 {kScreenUp, "decided: screen up", false, 0, 0},
                                 {kArmed, "proximity armed", false, 0, 0},
                                 {kCovered, "hand over the sensor", false, 0, 0},
                                 {kLimit, "time limit of a wave", false, 0, 0},
                                 {kLimitUsed, "timed until used", false, 0, 0}};
        for (MomentKind k : {MomentKind::Incoming, MomentKind::Answer, MomentKind::Speaker,
                             MomentKind::CallEnd, MomentKind::FailedExpectation})
            keys.push_back({momentColour(k), momentKindName(k), true, 0, 0});
        double lx = kLeft, ly = kLegendTop;
        for (Key& k : keys) {
            const double w = 20 + fonts_.measure(k.what, 11, false).first;
            if (lx + w > kRight) lx = kLeft, ly += kLegendRow;
            k.x = lx, k.y = ly;
            lx += w + 16;
        }
        return keys;
    }
    double legendBottom() const { return keys().back().y + kLegendRow + 4; }

    // The keys, then the failed expectations' reports under them.
    void legend() {
        for (const Key& k : keys()) {
            if (k.line)
                line(k.x + 7, k.y, k.x + 7, k.y + 14, k.colour, 2);
            else
                out_->rect(k.x, k.y + 2, k.x + 14, k.y + 12, k.colour);
            text(k.what, k.x + 20, k.y, 11, kInk);
        }
        double ly = legendBottom();
        for (const std::string& l : list_) {
            text(l, kLeft, ly, kListSize, momentColour(MomentKind::FailedExpectation), true);
            ly += kListLine;
        }
    }

    Surface* out_ = nullptr;
    const Fonts& fonts_;
    const PlotData& d_;
    std::vector<std::string> list_;
    double end_;
};

platform::Result<void> cairoResult(cairo_status_t status, const std::string& file) {
    if (status == CAIRO_STATUS_SUCCESS) return {};
    return platform::Failure{file + ": cannot write the plot: " + cairo_status_to_string(status)};
}

platform::Result<void> writeFile(const std::string& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
    out.close();
    if (!out) return platform::Failure{file + ": cannot write the plot"};
    return {};
}

}  // namespace

platform::Result<void> writePlot(const PlotData& data, const std::string& file) {
    const std::string ext = std::filesystem::path(file).extension().string();
    if (ext == ".json") return writeFile(file, toJson(data));
    if (ext != ".png" && ext != ".svg")
        return platform::Failure{file + ": a plot is a .png, .svg or .json file"};
    const Fonts fonts;
    Canvas canvas(fonts, data);
    if (ext == ".svg") {
        SvgSurface svg;
        canvas.draw(svg);
        return writeFile(file, svg.document(kPlotWidth, canvas.height()));
    }
    // The picture is made tall enough for the list under the plot.
    cairo_surface_t* surface = cairo_image_surface_create(
        CAIRO_FORMAT_ARGB32, kPlotWidth, static_cast<int>(std::ceil(canvas.height())));
    cairo_t* cr = cairo_create(surface);
    CairoSurface out(cr);
    canvas.draw(out);
    cairo_destroy(cr);
    cairo_status_t status = cairo_surface_write_to_png(surface, file.c_str());
    if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    return cairoResult(status, file);
}

}  // namespace sim
