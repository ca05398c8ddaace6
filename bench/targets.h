// What every benchmark program shares: targets that are checked, not only printed, and a
// temporary folder of its own that is removed when the program ends.
//
// A Google Benchmark declares its targets as counters: `state.counters["target_ms"] = 300`
// means "each iteration takes at most 300 ms of real time", and `target_min_NAME = 4` means
// "the counter NAME is at least 4". They are checked on the final run only (Google Benchmark
// calls a benchmark function several times to choose its iterations). Other programs call
// `meets` and `atLeast`. A missed target prints a line starting with "MISSED", a benchmark that
// failed one starting with "ERROR", and the program's exit status is then 1, once every
// benchmark has run.
#pragma once

#include <string>

namespace bench {

// Whether value is at most limit; prints a MISSED line naming what, both numbers and the unit
// when it is not.
bool meets(const std::string& what, double value, double limit, const std::string& unit);

// Whether value is at least limit (a speed-up, say); a MISSED line when it is not.
bool atLeast(const std::string& what, double value, double limit, const std::string& unit);

// Records a benchmark that could not measure; prints an ERROR line.
void failed(const std::string& what, const std::string& why);

// A summary line, and the exit status: 0 when every target was met and nothing failed.
int finish();

// The Google Benchmark main with the checks above.
int runBenchmarks(int argc, char** argv);

// A folder in $TMPDIR for this process, made on first use and removed with everything in it
// when the program exits normally.
const std::string& scratchDir();

}  // namespace bench
