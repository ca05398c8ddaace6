// Drawing a call's plot with cairo (text with pango): lanes stacked over one time axis.
#include <cairo-svg.h>
#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "plot.h"

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

class Canvas {
  public:
    Canvas(cairo_t* cr, const PlotData& d) : cr_(cr), d_(d) { end_ = d.end > 0 ? d.end : 1; }

    void draw() {
        colour({1, 1, 1});
        cairo_paint(cr_);
        text(d_.title.empty() ? "Call" : d_.title, 20, 12, 15, kInk, true);
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

    void colour(const Rgba& c) { cairo_set_source_rgba(cr_, c.r, c.g, c.b, c.a); }
    void box(double x0, double y0, double x1, double y1, const Rgba& c) {
        colour(c);
        cairo_rectangle(cr_, x0, y0, std::max(0.0, x1 - x0), y1 - y0);
        cairo_fill(cr_);
    }
    void line(double x0, double y0, double x1, double y1, const Rgba& c, double width) {
        colour(c);
        cairo_set_line_width(cr_, width);
        cairo_move_to(cr_, x0, y0);
        cairo_line_to(cr_, x1, y1);
        cairo_stroke(cr_);
    }
    // Text with its top-left corner at (x, y); right-aligned to x when `right`. Returns the
    // width it took.
    double text(const std::string& s, double tx, double ty, double px, const Rgba& c,
                bool bold = false, bool right = false) {
        PangoLayout* layout = pango_cairo_create_layout(cr_);
        PangoFontDescription* font = pango_font_description_new();
        pango_font_description_set_family(font, "Liberation Sans");
        pango_font_description_set_absolute_size(font, px * PANGO_SCALE);
        if (bold) pango_font_description_set_weight(font, PANGO_WEIGHT_BOLD);
        pango_layout_set_font_description(layout, font);
        pango_layout_set_text(layout, s.c_str(), -1);
        int w = 0, h = 0;
        pango_layout_get_pixel_size(layout, &w, &h);
        colour(c);
        cairo_move_to(cr_, right ? tx - w : tx, ty);
        pango_cairo_show_layout(cr_, layout);
        pango_font_description_free(font);
        g_object_unref(layout);
        return w;
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

    void pose() {
        laneLabel("pose z (g)", kPoseTop, kPoseBottom);
        for (double z : {-1.0, 0.0, 1.0}) {
            char label[24];
            std::snprintf(label, sizeof label, "%g", z);
            text(label, kLeft - 4, zy(z) - 6, 10, kMuted, false, true);
            line(kLeft, zy(z), kRight, zy(z), kGrid, 1);
        }
        // The latest detection system's threshold: at or below it the screen faces up.
        const double dashes[] = {4, 3};
        cairo_set_dash(cr_, dashes, 2, 0);
        line(kLeft, zy(-0.1), kRight, zy(-0.1), kMuted, 1);
        cairo_set_dash(cr_, nullptr, 0, 0);
        text("-0.1", kRight - 2, zy(-0.1) - 13, 9, kMuted, false, true);
        if (d_.z.empty()) return;
        colour(kInk);
        cairo_set_line_width(cr_, 2);
        for (size_t i = 0; i < d_.z.size(); ++i) {
            const double from = x(d_.z[i].at);
            const double to = i + 1 < d_.z.size() ? x(d_.z[i + 1].at) : x(end_);
            if (i == 0)
                cairo_move_to(cr_, from, zy(d_.z[i].value));
            else
                cairo_line_to(cr_, from, zy(d_.z[i].value));
            cairo_line_to(cr_, to, zy(d_.z[i].value));
        }
        cairo_stroke(cr_);
    }

    void orientation() {
        laneLabel("orientation", kOrientTop, kOrientBottom);
        for (const auto& s : d_.accelerometer)
            box(x(s.from), kOrientTop, x(s.to), kOrientBottom, kSampling);
        for (const auto& s : d_.screenUp)
            box(x(s.from), kOrientTop + 4, x(s.to), kOrientBottom - 4, kScreenUp);
    }

    void proximity() {
        laneLabel("proximity", kProxTop, kProxBottom);
        for (const auto& s : d_.armed) box(x(s.from), kProxTop, x(s.to), kProxBottom, kArmed);
        for (const auto& s : d_.covered)
            box(x(s.from), kProxTop + 6, std::max(x(s.to), x(s.from) + 1), kProxBottom - 6,
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
        if (d_.states.empty()) return;
        colour(kState);
        cairo_set_line_width(cr_, 2.5);
        for (size_t i = 0; i < d_.states.size(); ++i) {
            const double y = rowY(row(d_.states[i].state));
            const double from = x(d_.states[i].at);
            const double to = i + 1 < d_.states.size() ? x(d_.states[i + 1].at) : x(end_);
            if (i == 0)
                cairo_move_to(cr_, from, y);
            else
                cairo_line_to(cr_, from, y);
            cairo_line_to(cr_, to, y);
        }
        cairo_stroke(cr_);
    }

    void limits() {
        laneLabel("wave time limit", kLimitTop, kLimitBottom);
        const double half = (kLimitBottom - kLimitTop) / 2;
        for (size_t i = 0; i < d_.waveLimits.size(); ++i) {
            const PlotBand& b = d_.waveLimits[i];
            const double top = kLimitTop + (i % 2 == 0 ? 0 : half) + 1;
            box(x(b.from), top, x(b.to), top + half - 2, kLimit);
            box(x(b.from), top + 4, x(std::min(b.ended, b.to)), top + half - 6, kLimitUsed);
            line(x(b.to), top, x(b.to), top + half - 2, kLimitUsed, 1.5);
        }
    }

    void moments() {
        int n = 0;
        for (const auto& m : d_.moments) {
            const Rgba c = momentColour(m.kind);
            line(x(m.at), kPoseTop - 8, x(m.at), kAxis, c, 1.5);
            const std::string label = m.kind == MomentKind::FailedExpectation
                                          ? "expectation failed"
                                          : std::string(m.label);
            text(label, x(m.at) + 3, 44 + (n++ % 2) * 15, 11, c, true);
        }
    }

    void legend() {
        double ly = kAxis + 40;
        double lx = kLeft;
        auto key = [&](const Rgba& c, const std::string& what) {
            box(lx, ly + 2, lx + 14, ly + 12, c);
            lx += 20 + text(what, lx + 20, ly, 11, kInk) + 16;
        };
        key(kSampling, "accelerometer sampling");
        key(kScreenUp, "decided: screen up");
        key(kArmed, "proximity armed");
        key(kCovered, "hand over the sensor");
        ly += 18;
        lx = kLeft;
        key(kLimit, "time limit of a wave");
        key(kLimitUsed, "timed until used");
        for (MomentKind k : {MomentKind::Answer, MomentKind::Speaker, MomentKind::CallEnd}) {
            const Rgba c = momentColour(k);
            line(lx + 7, ly, lx + 7, ly + 14, c, 2);
            lx += 20 + text(momentKindName(k), lx + 20, ly, 11, kInk) + 16;
        }
        ly += 22;
        for (const auto& m : d_.moments) {
            if (m.kind != MomentKind::FailedExpectation) continue;
            text("failed: " + m.label, kLeft, ly, 11, momentColour(m.kind), true);
            ly += 15;
        }
    }

    cairo_t* cr_;
    const PlotData& d_;
    double end_;
};

platform::Result<void> cairoResult(cairo_status_t status, const std::string& file) {
    if (status == CAIRO_STATUS_SUCCESS) return {};
    return platform::Failure{file + ": cannot write the plot: " + cairo_status_to_string(status)};
}

}  // namespace

platform::Result<void> writePlot(const PlotData& data, const std::string& file) {
    const std::string ext = std::filesystem::path(file).extension().string();
    if (ext == ".json") {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << toJson(data);
        out.close();
        if (!out) return platform::Failure{file + ": cannot write the plot's data"};
        return {};
    }
    if (ext != ".png" && ext != ".svg")
        return platform::Failure{file + ": a plot is a .png, .svg or .json file"};
    cairo_surface_t* surface =
        ext == ".svg" ? cairo_svg_surface_create(file.c_str(), kPlotWidth, kPlotHeight)
                      : cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kPlotWidth, kPlotHeight);
    cairo_t* cr = cairo_create(surface);
    Canvas(cr, data).draw();
    cairo_destroy(cr);
    cairo_status_t status = CAIRO_STATUS_SUCCESS;
    if (ext == ".png") status = cairo_surface_write_to_png(surface, file.c_str());
    cairo_surface_finish(surface);
    if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    return cairoResult(status, file);
}

}  // namespace sim
