// A picture of a call: the scenario's time line as the data a plot is drawn from, built from
// what the simulator played (scenario steps, the modem's answers) and the hosts' typed trace
// events, and drawn as PNG or SVG (orvella-sim --plot FILE; drawing in plot_draw.cpp) or
// written as JSON, the data itself.
//
// Times are seconds of phone time as the timeline shows them. Lanes, top to bottom:
//   pose       the phone's z in g (screen up near -1), the accelerometer sampling, and the
//              orientation decision: screen up from the moment the recognizer was made ready
//              (state 1) until it went back to waiting (-1) or idle (-2)
//   proximity  monitoring armed, and a hand covering the sensor
//   recognizer its state by name, in the order a call goes through them
//   time limit each wave's limit, from the moment the recognizer starts timing it, as long as
//              the settings' time limit; `ended` is when that timing was used up or dropped
// and moments across all lanes: incoming call, answer, speaker on, call end, and every
// failed expectation (at the end, when expectations are checked).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/result.h"
#include "platform/core/trace.h"
#include "player.h"
#include "recognizer.h"
#include "scenario.h"

namespace sim {

struct PlotSpan {
    double from = 0, to = 0;
};
struct PlotLevel {  // a value from `at` until the next one
    double at = 0;
    double value = 0;
};
struct PlotState {
    double at = 0;
    int32_t state = 0;
};
struct PlotBand {
    double from = 0, to = 0;  // the wave's limit: to - from is the time limit
    double ended = 0;         // when the recognizer stopped timing it
};
enum class MomentKind { Incoming, Answer, Speaker, CallEnd, FailedExpectation };
struct PlotMoment {
    double at = 0;
    MomentKind kind = MomentKind::Incoming;
    std::string label;
};

struct PlotData {
    std::string title;
    double end = 0;
    std::vector<PlotLevel> z;
    std::vector<PlotSpan> accelerometer;
    std::vector<PlotSpan> screenUp;
    std::vector<PlotSpan> armed;
    std::vector<PlotSpan> covered;
    std::vector<PlotState> states;
    std::vector<PlotBand> waveLimits;
    std::vector<PlotMoment> moments;
};

class PlotRecorder {
  public:
    explicit PlotRecorder(std::string title) { data_.title = std::move(title); }
    void step(double t, const Step& step);
    // A host's event; a RecognizerChanged's timedSince already in timeline seconds.
    void event(double t, const std::string& process, const platform::TraceEvent& event);
    void modem(double t, ModemChange change);
    void failedExpectation(double t, const std::string& report);
    // The data, every open span closed at the end.
    PlotData finish(double end) const;

  private:
    static void open(std::vector<PlotSpan>& spans, std::optional<double>& since, double t, bool on);
    PlotData data_;
    std::optional<double> accelerometerSince_, armedSince_, coveredSince_, screenUpSince_;
    std::optional<PlotBand> timing_;
};

// The name of a moment's kind in the JSON ("answer").
const char* momentKindName(MomentKind kind);
std::string toJson(const PlotData& data);

// Writes the plot to the file, as PNG, SVG or JSON by its extension (plot_draw.cpp); the
// failure names the file.
platform::Result<void> writePlot(const PlotData& data, const std::string& file);
// Whether writePlot can write a file of that name (".png", ".svg" or ".json").
bool plotFormatKnown(const std::string& file);
// Whether the file can be written at all (its folder exists and lets us, an existing file takes
// writes), asked before a run so a plot that cannot be kept does not cost the whole run first.
// Nothing is left behind.
platform::Result<void> plotWritable(const std::string& file);
// The picture's size, in pixels (PNG) or points (SVG).
inline constexpr int kPlotWidth = 1000, kPlotHeight = 580;

}  // namespace sim
