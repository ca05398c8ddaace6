// "Did you mean ...?" for a word that is not one of the words a place takes: a program's options
// and commands, a scenario's line heads, events, keywords and expectations.
#pragma once

#include <string>
#include <vector>

namespace program {

// The known words closest to `word` when they are close enough to be a slip of the keyboard (a
// letter or two left out, added, changed or swapped; case ignored): one, or two equally close;
// none when nothing is that close or more than two are.
std::vector<std::string> closest(const std::string& word, const std::vector<std::string>& known);

// " (did you mean 'locked'?)", " (did you mean 'wave' or 'waves'?)", or "" when nothing is close.
std::string didYouMean(const std::string& word, const std::vector<std::string>& known);

}  // namespace program
