#include "plist_guard.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "plist_text.h"

namespace platform::plist::detail {

namespace {

uint64_t bigEndian(std::string_view b, size_t at, size_t width) {
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) v = (v << 8) | static_cast<uint8_t>(b[at + i]);
    return v;
}

void putBigEndian(std::string& b, size_t at, uint64_t v) {
    for (size_t i = 0; i < 8; ++i) b[at + 7 - i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

uint64_t bitsOf(double d) {
    uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

double doubleOf(uint64_t u) {
    double d;
    std::memcpy(&d, &u, sizeof d);
    return d;
}

// --- Binary --------------------------------------------------------------------------------

constexpr size_t kHeader = 8;
constexpr size_t kTrailer = 32;
constexpr uint8_t kDateMarker = 0x33;

// The object table of a binary list: where each object starts, how wide references are.
class ObjectTable {
  public:
    bool load(std::string_view b) {
        if (b.size() < kHeader + kTrailer || b.substr(0, 6) != "bplist") return false;
        b_ = b;
        end_ = b.size() - kTrailer;
        offsetSize_ = static_cast<uint8_t>(b[end_ + 6]);
        refSize_ = static_cast<uint8_t>(b[end_ + 7]);
        objects_ = bigEndian(b, end_ + 8, 8);
        top_ = bigEndian(b, end_ + 16, 8);
        table_ = bigEndian(b, end_ + 24, 8);
        return offsetSize_ >= 1 && offsetSize_ <= 8 && refSize_ >= 1 && refSize_ <= 8 &&
               objects_ >= 1 && objects_ <= end_ && top_ < objects_ && table_ >= kHeader &&
               table_ <= end_ && objects_ * offsetSize_ <= end_ - table_;
    }

    uint64_t objects() const { return objects_; }
    uint64_t top() const { return top_; }
    size_t refSize() const { return refSize_; }
    size_t end() const { return end_; }
    std::string_view bytes() const { return b_; }

    // Where object `index` starts, as the table says and when inside the object area.
    uint64_t rawOffset(uint64_t index) const {
        return bigEndian(b_, static_cast<size_t>(table_ + index * offsetSize_), offsetSize_);
    }
    std::optional<size_t> offset(uint64_t index) const {
        const uint64_t at = rawOffset(index);
        if (at < kHeader || at >= end_) return std::nullopt;
        return static_cast<size_t>(at);
    }

    // The element count of the object at `at` and where its contents start.
    bool count(size_t at, uint64_t* n, size_t* start) const {
        *n = static_cast<uint8_t>(b_[at]) & 0x0F;
        *start = at + 1;
        if (*n != 0x0F) return true;
        // The count follows as an integer object.
        if (*start >= end_) return false;
        const uint8_t marker = static_cast<uint8_t>(b_[*start]);
        const size_t width = size_t{1} << (marker & 0x0F);
        if ((marker >> 4) != 1 || width > 8 || *start + 1 + width > end_) return false;
        *n = bigEndian(b_, *start + 1, width);
        *start += 1 + width;
        return true;
    }

    // Whether `bytes` more bytes fit from `start` on.
    bool fits(size_t start, uint64_t bytes) const { return start <= end_ && bytes <= end_ - start; }

    uint64_t ref(size_t at) const { return bigEndian(b_, at, refSize_); }

  private:
    std::string_view b_;
    size_t end_ = 0;
    size_t offsetSize_ = 0;
    size_t refSize_ = 0;
    uint64_t objects_ = 0;
    uint64_t top_ = 0;
    uint64_t table_ = 0;
};

// Walks what libplist would walk, from the top object, once per object (results are kept, so
// shared objects cost nothing more), and counts the values the expanded tree would hold.
// Strings libplist cannot carry are decoded and kept; checking what libplist will get, with
// placeholders in their place (`placeholdersOnly`), any other such string is refused.
class BinaryCheck {
  public:
    BinaryCheck(const ObjectTable& t, uint64_t budget, bool placeholdersOnly = false)
        : t_(t),
          budget_(budget),
          placeholdersOnly_(placeholdersOnly),
          state_(t.objects(), kUnvisited),
          values_(t.objects(), 0) {}

    bool run() { return visit(t_.top(), 0).has_value(); }
    const std::vector<uint64_t>& dates() const { return dates_; }
    // Object indexes and texts of the strings libplist cannot carry, in the order reached.
    const std::vector<std::pair<uint64_t, std::string>>& texts() const { return texts_; }

  private:
    enum : uint8_t { kUnvisited, kOnPath, kDone };

    // The number of values the object expands to, or nothing when it must be refused.
    std::optional<uint64_t> visit(uint64_t index, int depth) {
        if (index >= t_.objects() || depth > kMaxDepth) return std::nullopt;
        if (state_[index] == kDone) return values_[index];
        if (state_[index] == kOnPath) return std::nullopt;  // a container inside itself
        state_[index] = kOnPath;
        auto at = t_.offset(index);
        if (!at) return std::nullopt;
        std::optional<uint64_t> n = object(index, *at, depth);
        if (!n) return std::nullopt;
        state_[index] = kDone;
        values_[index] = *n;
        return n;
    }

    std::optional<uint64_t> object(uint64_t index, size_t at, int depth) {
        const std::string_view b = t_.bytes();
        const uint8_t marker = static_cast<uint8_t>(b[at]);
        const uint8_t low = marker & 0x0F;
        uint64_t n = 0;
        size_t start = 0;
        switch (marker >> 4) {
            case 0x0:  // false, true
                return low == 0x8 || low == 0x9 ? std::optional<uint64_t>(1) : std::nullopt;
            case 0x1:  // integer of 2^low bytes
                return low <= 4 && t_.fits(at + 1, uint64_t{1} << low) ? std::optional<uint64_t>(1)
                                                                       : std::nullopt;
            case 0x2:  // real of 4 or 8 bytes
                return (low == 2 || low == 3) && t_.fits(at + 1, uint64_t{1} << low)
                           ? std::optional<uint64_t>(1)
                           : std::nullopt;
            case 0x3:
                if (marker != kDateMarker || !t_.fits(at + 1, 8)) return std::nullopt;
                dates_.push_back(index);
                return 1;
            case 0x4:  // data
                if (!t_.count(at, &n, &start) || !t_.fits(start, n)) return std::nullopt;
                return 1;
            case 0x5:  // ASCII string
            case 0x6:  // UTF-16 string
                return string(index, at) ? std::optional<uint64_t>(1) : std::nullopt;
            case 0x8:  // UID of low + 1 bytes
                return t_.fits(at + 1, uint64_t{low} + 1) ? std::optional<uint64_t>(1)
                                                          : std::nullopt;
            case 0xA:  // array
                return container(at, depth, false);
            case 0xD:  // dictionary: n key references, then n value references
                return container(at, depth, true);
            default:  // sets, UTF-8 strings and the rest of the newer formats: not ours to read
                return std::nullopt;
        }
    }

    std::optional<uint64_t> container(size_t at, int depth, bool dictionary) {
        uint64_t n = 0;
        size_t start = 0;
        const uint64_t refs = dictionary ? 2 : 1;
        if (!t_.count(at, &n, &start) || n > t_.end() || !t_.fits(start, refs * n * t_.refSize()))
            return std::nullopt;
        uint64_t total = 1;
        for (uint64_t i = 0; i < n; ++i) {
            const uint64_t first = t_.ref(start + i * t_.refSize());
            if (dictionary && !isString(first)) return std::nullopt;  // keys are texts
            if (!add(&total, visit(first, depth + 1))) return std::nullopt;
            if (dictionary &&
                !add(&total, visit(t_.ref(start + (n + i) * t_.refSize()), depth + 1))) {
                return std::nullopt;
            }
        }
        return total;
    }

    bool add(uint64_t* total, std::optional<uint64_t> n) {
        if (!n) return false;
        *total += *n;
        return *total <= budget_;
    }

    bool isString(uint64_t index) const {
        if (index >= t_.objects()) return false;
        auto at = t_.offset(index);
        const int type = at ? static_cast<uint8_t>(t_.bytes()[*at]) >> 4 : 0;
        return type == 5 || type == 6;
    }

    // A string object that is text. libplist aborts on a NUL character (byte 0, or UTF-16 unit
    // 0) and drops half of a surrogate pair, so such a text is decoded here and kept. Bytes
    // above 127 in an ASCII string are no text (the phone refuses them).
    bool string(uint64_t index, size_t at) {
        const std::string_view b = t_.bytes();
        const bool ascii = (static_cast<uint8_t>(b[at]) >> 4) == 5;
        uint64_t length = 0;
        size_t start = 0;
        if (!t_.count(at, &length, &start) || length > t_.end()) return false;
        if (!t_.fits(start, ascii ? length : length * 2)) return false;
        std::string text;
        bool carried = true;  // whether libplist carries it as it is
        if (ascii) {
            text.assign(b.substr(start, length));
            for (char c : text) {
                if (static_cast<uint8_t>(c) > 127) return false;
                carried = carried && c != 0;
            }
        } else {
            for (uint64_t k = 0; k < length; ++k)
                appendCodePoint(text, static_cast<uint32_t>(bigEndian(b, start + 2 * k, 2)));
            carried = !needsPlaceholder(text);
        }
        if (carried) return true;
        if (placeholdersOnly_ && !placeholderIndex(text)) return false;
        texts_.emplace_back(index, std::move(text));
        return true;
    }

    const ObjectTable& t_;
    const uint64_t budget_;
    const bool placeholdersOnly_;
    std::vector<uint8_t> state_;
    std::vector<uint64_t> values_;
    std::vector<uint64_t> dates_;  // object indexes of the dates reached
    std::vector<std::pair<uint64_t, std::string>> texts_;
};

// --- XML -----------------------------------------------------------------------------------

constexpr int64_t kReferenceDay = 11323;  // 2001-01-01, in days since 1970-01-01

// Days since 1970-01-01 of a civil date (proleptic Gregorian calendar).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

// An XML date text for whole seconds after the reference date.
std::string xmlDateText(int64_t seconds) {
    const int64_t days = seconds / 86400 - (seconds % 86400 < 0);  // rounded down
    const int64_t rest = seconds - days * 86400;
    int64_t y = 0;
    unsigned m = 0, d = 0;
    civilFromDays(kReferenceDay + days, &y, &m, &d);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ",
                  static_cast<long long>(y), m, d, static_cast<long long>(rest / 3600),
                  static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
    return buf;
}

bool digits(std::string_view s, size_t at, size_t n, unsigned* out) {
    if (at + n > s.size()) return false;
    *out = 0;
    for (size_t i = 0; i < n; ++i) {
        const char c = s[at + i];
        if (c < '0' || c > '9') return false;
        *out = *out * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

std::string_view trimmed(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

// Element nesting and dates of an XML document. Comments, CDATA sections, processing
// instructions and the document type are skipped, so only real elements count.
class XmlScan {
  public:
    explicit XmlScan(std::string_view s) : s_(s) {}

    std::optional<Prepared> run() {
        size_t copied = 0;  // s_[0, copied) is already in out_.bytes
        int depth = 0;
        size_t pos = 0;
        // The plist element and the root value sit above depth 0 of the tree.
        const int limit = kMaxDepth + 2;
        while ((pos = s_.find('<', pos)) != std::string_view::npos) {
            const std::string_view rest = s_.substr(pos);
            if (rest.starts_with("<!--")) {
                if (!skipPast(&pos, "-->")) return std::nullopt;
            } else if (rest.starts_with("<![CDATA[")) {
                if (!skipPast(&pos, "]]>")) return std::nullopt;
            } else if (rest.starts_with("<?")) {
                if (!skipPast(&pos, "?>")) return std::nullopt;
            } else if (rest.starts_with("<!")) {
                if (!skipDeclaration(&pos)) return std::nullopt;
            } else if (rest.starts_with("</")) {
                --depth;
                rename(pos + 2, &copied);
                if (!skipPast(&pos, ">")) return std::nullopt;
            } else {
                const size_t nameStart = pos + 1;
                const size_t nameEnd = rename(nameStart, &copied);
                const std::string_view name = s_.substr(nameStart, nameEnd - nameStart);
                if (name == "dict" || name == "array") out_.dictionaries.push_back(name == "dict");
                bool selfClosing = false;
                if (!skipTag(&pos, &selfClosing)) return std::nullopt;
                if (selfClosing) continue;
                if (++depth > limit) return std::nullopt;
                if (!content(name, &pos, &copied)) return std::nullopt;
            }
        }
        out_.bytes.append(s_.substr(copied));
        return std::move(out_);
    }

  private:
    // The content of an element that starts at `pos`: a date, or a text libplist cannot carry,
    // goes into out_ and a stand-in into the bytes libplist gets. False when it must be refused.
    bool content(std::string_view name, size_t* pos, size_t* copied) {
        const bool text = name == "string" || name == "key";
        if (name != "date" && !text) return true;
        size_t close = 0;
        std::string standIn;
        if (!text) {
            // The text up to </date> is the date; libplist gets its index instead.
            close = s_.find("</date", *pos);
            if (close == std::string_view::npos) return false;
            auto seconds = parseXmlDate(s_.substr(*pos, close - *pos));
            if (!seconds) return false;
            standIn = xmlDateText(static_cast<int64_t>(out_.dates.size()));
            out_.dates.push_back(*seconds);
        } else {
            close = textEnd(*pos);
            const std::string_view raw = s_.substr(*pos, close - *pos);
            std::optional<std::string> decoded;
            if (s_.substr(close).starts_with("</")) decoded = decodeXmlText(raw);
            if (!decoded) {
                // What this cannot read (a comment in the text, say) is left to libplist, unless
                // it might pass for a stand-in.
                const size_t end = s_.find("</" + std::string(name), *pos);
                return s_.substr(*pos, end - *pos).find(kPlaceholderMark) == std::string_view::npos;
            }
            // libplist reads the rest; it would not join the halves of a pair written apart.
            if (!needsPlaceholder(*decoded) && !needsPlaceholder(raw) &&
                raw.find("&#") == std::string_view::npos) {
                return true;
            }
            standIn = placeholder(out_.strings.size());
            out_.strings.push_back(std::move(*decoded));
        }
        out_.bytes.append(s_.substr(*copied, *pos - *copied));
        out_.bytes += standIn;
        *copied = close;
        *pos = close;
        return true;
    }

    // libplist gets a dictionary as an array and its keys as strings (prepareXml); returns where
    // the element name that starts at `nameStart` ends.
    size_t rename(size_t nameStart, size_t* copied) {
        size_t nameEnd = nameStart;
        while (nameEnd < s_.size() && nameChar(s_[nameEnd])) ++nameEnd;
        const std::string_view name = s_.substr(nameStart, nameEnd - nameStart);
        const char* as = name == "dict" ? "array" : name == "key" ? "string" : nullptr;
        if (as != nullptr) {
            out_.bytes.append(s_.substr(*copied, nameStart - *copied));
            out_.bytes += as;
            *copied = nameEnd;
        }
        return nameEnd;
    }

    // Where the text that starts at `pos` ends: the first '<' that opens no CDATA section.
    size_t textEnd(size_t pos) const {
        for (;;) {
            pos = s_.find('<', pos);
            if (pos == std::string_view::npos || !s_.substr(pos).starts_with("<![CDATA[")) break;
            pos = s_.find("]]>", pos);
            if (pos == std::string_view::npos) break;
        }
        return pos == std::string_view::npos ? s_.size() : pos;
    }

    static bool nameChar(char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ':' || c == '.' ||
               c == '-';
    }

    bool skipPast(size_t* pos, std::string_view end) {
        const size_t at = s_.find(end, *pos + 1);
        if (at == std::string_view::npos) return false;
        *pos = at + end.size();
        return true;
    }

    // A start tag, attributes and their quoted values included.
    bool skipTag(size_t* pos, bool* selfClosing) {
        char quote = 0;
        for (size_t i = *pos + 1; i < s_.size(); ++i) {
            const char c = s_[i];
            if (quote != 0) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                *selfClosing = s_[i - 1] == '/';
                *pos = i + 1;
                return true;
            }
        }
        return false;
    }

    // <!DOCTYPE ...> with an optional internal subset in brackets.
    bool skipDeclaration(size_t* pos) {
        int brackets = 0;
        char quote = 0;
        for (size_t i = *pos + 2; i < s_.size(); ++i) {
            const char c = s_[i];
            if (quote != 0) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '[') {
                ++brackets;
            } else if (c == ']') {
                --brackets;
            } else if (c == '>' && brackets <= 0) {
                *pos = i + 1;
                return true;
            }
        }
        return false;
    }

    std::string_view s_;
    Prepared out_;
};

size_t widthFor(uint64_t n) { return n < 0x100 ? 1 : n < 0x10000 ? 2 : n < (1ull << 32) ? 4 : 8; }

void appendBigEndian(std::string& out, uint64_t v, size_t width) {
    for (size_t i = width; i-- > 0;) out += static_cast<char>(v >> (8 * i));
}

// The list with each of `texts` replaced by a UTF-16 string object holding its placeholder,
// added after the other objects; the offset table is written anew after them, and the trailer.
std::string withPlaceholders(const ObjectTable& t,
                             const std::vector<std::pair<uint64_t, std::string>>& texts) {
    std::string out(t.bytes().substr(0, t.end()));
    std::vector<std::pair<uint64_t, uint64_t>> moved;  // object index, new offset
    for (size_t k = 0; k < texts.size(); ++k) {
        moved.emplace_back(texts[k].first, out.size());
        const std::string digits = placeholder(k).substr(kPlaceholderMark.size());
        out += static_cast<char>(0x60 | (1 + digits.size()));  // fewer than 15 units
        out += "\xFF\xFF";
        for (char digit : digits) out += std::string{'\0', digit};
    }
    std::sort(moved.begin(), moved.end());
    const uint64_t table = out.size();
    const size_t width = widthFor(table);
    auto next = moved.begin();
    for (uint64_t i = 0; i < t.objects(); ++i) {
        const bool isMoved = next != moved.end() && next->first == i;
        appendBigEndian(out, isMoved ? (next++)->second : t.rawOffset(i), width);
    }
    out += std::string(6, '\0');
    out += static_cast<char>(width);
    out += static_cast<char>(t.refSize());
    appendBigEndian(out, t.objects(), 8);
    appendBigEndian(out, t.top(), 8);
    appendBigEndian(out, table, 8);
    return out;
}

}  // namespace

std::optional<double> parseXmlDate(std::string_view text) {
    const std::string_view s = trimmed(text);
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
    if (!digits(s, 0, 4, &y) || s.size() < 20 || s[4] != '-' || !digits(s, 5, 2, &mo) ||
        s[7] != '-' || !digits(s, 8, 2, &d) || s[10] != 'T' || !digits(s, 11, 2, &h) ||
        s[13] != ':' || !digits(s, 14, 2, &mi) || s[16] != ':' || !digits(s, 17, 2, &sec)) {
        return std::nullopt;
    }
    double fraction = 0;
    size_t i = 19;
    if (s[i] == '.') {
        double scale = 0.1;
        const size_t first = ++i;
        for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, scale /= 10)
            fraction += (s[i] - '0') * scale;
        if (i == first) return std::nullopt;
    }
    if (i + 1 != s.size() || s[i] != 'Z') return std::nullopt;
    static constexpr unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] || (mo == 2 && d == 29 && !leap) ||
        h > 23 || mi > 59 || sec > 59) {
        return std::nullopt;
    }
    const int64_t days = daysFromCivil(y, mo, d) - kReferenceDay;
    return static_cast<double>(days * 86400 + h * 3600 + mi * 60 + sec) + fraction;
}

std::optional<Prepared> prepareBinary(std::string_view bytes) {
    ObjectTable table;
    if (!table.load(bytes)) return std::nullopt;
    const uint64_t budget = std::min<uint64_t>(kMaxValues, bytes.size());
    BinaryCheck check(table, budget);
    if (!check.run()) return std::nullopt;
    Prepared out;
    if (check.texts().empty()) {
        out.bytes.assign(bytes);
    } else {
        out.bytes = withPlaceholders(table, check.texts());
        for (const auto& [index, text] : check.texts()) out.strings.push_back(text);
    }
    if (check.dates().empty() && check.texts().empty()) return out;
    ObjectTable patched;
    if (!patched.load(out.bytes)) return std::nullopt;
    for (uint64_t index : check.dates()) {
        const size_t at = *patched.offset(index) + 1;
        const auto slot = static_cast<double>(out.dates.size());
        out.dates.push_back(doubleOf(bigEndian(out.bytes, at, 8)));
        putBigEndian(out.bytes, at, bitsOf(slot));
    }
    // Objects may overlap in a made-up file, so writing the indexes may have changed another
    // object (put a NUL in a string, say): what libplist gets is checked again as it is.
    BinaryCheck again(patched, budget, /*placeholdersOnly=*/true);
    if (!again.run() || again.dates() != check.dates()) return std::nullopt;
    if (!std::equal(again.texts().begin(), again.texts().end(), check.texts().begin(),
                    check.texts().end(),
                    [](const auto& a, const auto& b) { return a.first == b.first; })) {
        return std::nullopt;
    }
    for (size_t slot = 0; slot < check.dates().size(); ++slot) {
        const size_t at = *patched.offset(check.dates()[slot]) + 1;
        if (doubleOf(bigEndian(out.bytes, at, 8)) != static_cast<double>(slot)) return std::nullopt;
    }
    return out;
}

std::optional<Prepared> prepareXml(std::string_view bytes) { return XmlScan(bytes).run(); }

bool restoreBinaryDates(std::string& bytes, const std::vector<double>& dates) {
    ObjectTable table;
    if (!table.load(bytes)) return false;
    for (uint64_t i = 0; i < table.objects(); ++i) {
        auto at = table.offset(i);
        if (!at) return false;
        if (static_cast<uint8_t>(bytes[*at]) != kDateMarker) continue;
        if (!table.fits(*at + 1, 8)) return false;
        const double slot = doubleOf(bigEndian(bytes, *at + 1, 8));
        if (!(slot >= 0 && slot < static_cast<double>(dates.size())) || slot != std::floor(slot))
            return false;
        putBigEndian(bytes, *at + 1, bitsOf(dates[static_cast<size_t>(slot)]));
    }
    return true;
}

std::string xmlDateNearest(double seconds) {
    static const double kFirst =
        static_cast<double>((daysFromCivil(0, 1, 1) - kReferenceDay) * 86400);
    static const double kLast =
        static_cast<double>((daysFromCivil(9999, 12, 31) - kReferenceDay) * 86400 + 86399);
    if (std::isnan(seconds)) seconds = 0;
    seconds = std::clamp(std::floor(seconds), kFirst, kLast);
    return xmlDateText(static_cast<int64_t>(seconds));
}

}  // namespace platform::plist::detail
