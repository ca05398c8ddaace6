#include "program/suggest.h"

#include <algorithm>
#include <cctype>

namespace program {

namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Edits from one word to the other: letters inserted, deleted, replaced, or two neighbours
// swapped (optimal string alignment).
size_t distance(const std::string& a, const std::string& b) {
    const size_t n = a.size(), m = b.size();
    std::vector<std::vector<size_t>> d(n + 1, std::vector<size_t>(m + 1));
    for (size_t i = 0; i <= n; ++i) d[i][0] = i;
    for (size_t j = 0; j <= m; ++j) d[0][j] = j;
    for (size_t i = 1; i <= n; ++i) {
        for (size_t j = 1; j <= m; ++j) {
            const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[n][m];
}

// How many edits still read as a slip rather than another word: one in a short word, two in a
// longer one, three in a long one.
size_t tolerance(size_t length) { return length <= 4 ? 1 : length <= 8 ? 2 : 3; }

}  // namespace

std::vector<std::string> closest(const std::string& word, const std::vector<std::string>& known) {
    // Words far longer than any keyword are not typing slips (and would cost a large table).
    constexpr size_t kLongest = 64;
    if (word.empty() || word.size() > kLongest) return {};
    const std::string w = lower(word);
    std::vector<std::string> best;
    size_t bestDistance = SIZE_MAX;
    for (const std::string& k : known) {
        const size_t d = distance(w, lower(k));
        if (k == word || d > tolerance(std::max(w.size(), k.size())) || d > bestDistance) continue;
        if (d < bestDistance) best.clear();
        bestDistance = d;
        if (std::find(best.begin(), best.end(), k) == best.end()) best.push_back(k);
    }
    // More than two equally close words: the slip could have been anything.
    if (best.size() > 2) best.clear();
    return best;
}

std::string didYouMean(const std::string& word, const std::vector<std::string>& known) {
    const auto k = closest(word, known);
    if (k.empty()) return "";
    return " (did you mean '" + k[0] + (k.size() == 2 ? "' or '" + k[1] : "") + "'?)";
}

}  // namespace program
