#include "platform/values/plist.h"

#include <plist/plist.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/core/trace.h"
#include "platform/files/files.h"
#include "plist_guard.h"
#include "plist_text.h"

namespace platform::plist {

namespace {

using detail::kMaxDepth;
using detail::Prepared;

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// --- libplist nodes to values ------------------------------------------------------------

// The text of a string or key node: a placeholder stands for its text in `p` (plist_text.h);
// anything else must be UTF-8, or it could not be written back as it is.
std::optional<std::string> textOf(char* s, const Prepared& p) {
    std::string text = s ? s : "";
    std::free(s);
    if (auto index = detail::placeholderIndex(text)) {
        if (*index >= p.strings.size()) return std::nullopt;
        return p.strings[*index];
    }
    if (text.starts_with(detail::kPlaceholderMark) || !detail::validUtf8(text)) return std::nullopt;
    return text;
}

// Values from libplist's tree. `p` holds the file's dates and the texts libplist cannot carry,
// by the index libplist reports in their place, and which of an XML file's arrays were
// dictionaries (plist_guard.h).
class TreeReader {
  public:
    explicit TreeReader(const Prepared& p) : p_(p) {}

    std::optional<Value> value(plist_t node, int depth) {
        if (node == nullptr || depth > kMaxDepth) return std::nullopt;
        switch (plist_get_node_type(node)) {
            case PLIST_BOOLEAN: {
                uint8_t b = 0;
                plist_get_bool_val(node, &b);
                return Value(b != 0);
            }
            case PLIST_UINT: {
                uint64_t u = 0;
                plist_get_uint_val(node, &u);
                return Value(static_cast<int64_t>(u));
            }
            case PLIST_UID: {
                uint64_t u = 0;
                plist_get_uid_val(node, &u);
                return Value(static_cast<int64_t>(u));
            }
            case PLIST_REAL: {
                double d = 0;
                plist_get_real_val(node, &d);
                return Value(d);
            }
            case PLIST_STRING:
            case PLIST_KEY: {
                char* s = nullptr;
                if (plist_get_node_type(node) == PLIST_KEY)
                    plist_get_key_val(node, &s);
                else
                    plist_get_string_val(node, &s);
                auto text = textOf(s, p_);
                if (!text) return std::nullopt;
                return Value(std::move(*text));
            }
            case PLIST_DATE: {
                int32_t slot = -1, usec = 0;
                plist_get_date_val(node, &slot, &usec);
                if (slot < 0 || static_cast<size_t>(slot) >= p_.dates.size() || usec != 0)
                    return std::nullopt;
                return Value(Date{p_.dates[static_cast<size_t>(slot)]});
            }
            case PLIST_DATA: {
                char* bytes = nullptr;
                uint64_t len = 0;
                plist_get_data_val(node, &bytes, &len);
                const auto* b = reinterpret_cast<uint8_t*>(bytes);
                Data d(b, b + len);
                std::free(bytes);
                return Value(std::move(d));
            }
            case PLIST_ARRAY:
                return array(node, depth);
            case PLIST_DICT:
                return dictionary(node, depth);
            default:
                return std::nullopt;
        }
    }

  private:
    std::optional<Value> array(plist_t node, int depth) {
        const bool wasDictionary =
            containers_ < p_.dictionaries.size() && p_.dictionaries[containers_];
        ++containers_;
        // Through the iterator: fetching by index walks the list from its start each time.
        Array a;
        a.reserve(plist_array_get_size(node));
        plist_array_iter it = nullptr;
        plist_array_new_iter(node, &it);
        for (plist_t element = nullptr; it != nullptr;) {
            plist_array_next_item(node, it, &element);
            if (element == nullptr) break;
            auto item = value(element, depth + 1);
            if (!item) break;
            a.push_back(std::move(*item));
        }
        const bool whole = a.size() == plist_array_get_size(node);
        std::free(it);
        if (!whole) return std::nullopt;
        if (!wasDictionary) return Value(std::move(a));
        // Keys and values in turn; every key a text.
        Dictionary d;
        if (a.size() % 2 != 0) return std::nullopt;
        for (size_t i = 0; i < a.size(); i += 2) {
            if (!a[i].isString()) return std::nullopt;
            d.insert_or_assign(*a[i].string(), std::move(a[i + 1]));
        }
        return Value(std::move(d));
    }

    std::optional<Value> dictionary(plist_t node, int depth) {
        Dictionary d;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        if (it == nullptr) return Value(std::move(d));
        for (;;) {
            char* key = nullptr;
            plist_t val = nullptr;
            plist_dict_next_item(node, it, &key, &val);
            if (val == nullptr) {
                std::free(key);
                break;
            }
            auto item = value(val, depth + 1);
            auto k = textOf(key, p_);
            if (!item || !k) {
                std::free(it);
                return std::nullopt;
            }
            d.insert_or_assign(std::move(*k), std::move(*item));
        }
        std::free(it);
        return Value(std::move(d));
    }

    const Prepared& p_;
    size_t containers_ = 0;  // arrays met so far, in the order of the document
};

// libplist's tree of a value, for its binary writer. libplist's dates are whole 32-bit
// seconds, so every date goes in as the index of its exact value in dates(), which
// restoreBinaryDates writes back over the indexes. A text libplist cannot carry (plist_text.h)
// cannot be written in this form.
class NodeBuilder {
  public:
    // Nothing when the value cannot be written in this form.
    PlistPtr build(const Value& v) {
        PlistPtr root(node(v));
        if (failed_) return nullptr;
        return root;
    }
    const std::vector<double>& dates() const { return dates_; }

  private:
    plist_t node(const Value& v) {
        switch (v.kind()) {
            case Value::Kind::None:
                return nullptr;
            case Value::Kind::Boolean:
                return plist_new_bool(*v.boolean() ? 1 : 0);
            case Value::Kind::Integer:
                return plist_new_uint(static_cast<uint64_t>(*v.integer()));
            case Value::Kind::Real:
                return plist_new_real(*v.real());
            case Value::Kind::String:
                return plist_new_string(text(*v.string()));
            case Value::Kind::Date:
                dates_.push_back(v.date()->secondsSinceReferenceDate);
                return plist_new_date(static_cast<int32_t>(dates_.size() - 1), 0);
            case Value::Kind::Data: {
                const Data& d = *v.data();
                return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
            }
            case Value::Kind::Array: {
                plist_t a = plist_new_array();
                for (const Value& item : *v.array()) {
                    if (plist_t n = node(item)) plist_array_append_item(a, n);
                }
                return a;
            }
            case Value::Kind::Dictionary: {
                plist_t d = plist_new_dict();
                for (const auto& [k, item] : *v.dictionary()) {
                    if (plist_t n = node(item)) plist_dict_set_item(d, text(k), n);
                }
                return d;
            }
        }
        return nullptr;
    }

    const char* text(const std::string& s) {
        if (detail::needsPlaceholder(s)) failed_ = true;
        return s.c_str();
    }

    bool failed_ = false;
    std::vector<double> dates_;
};

// --- Old-style text ----------------------------------------------------------------------

class TextParser {
  public:
    explicit TextParser(std::string_view s) : s_(s) {}

    std::optional<Value> parseDocument() {
        skip();
        if (atEnd()) return std::nullopt;
        const size_t start = pos_;
        auto first = value(0);
        if (!first) return std::nullopt;
        skip();
        if (atEnd()) return first;
        if (peek() != '=' && peek() != ';') return std::nullopt;
        // A ".strings" body: key = value; pairs without the enclosing braces.
        pos_ = start;
        auto body = dictionaryBody(0, /*braced=*/false);
        if (!body) return std::nullopt;
        return Value(std::move(*body));
    }

  private:
    bool atEnd() const { return pos_ >= s_.size(); }
    char peek() const { return s_[pos_]; }

    void skip() {
        while (!atEnd()) {
            char c = peek();
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
                ++pos_;
            } else if (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '/') {
                while (!atEnd() && peek() != '\n') ++pos_;
            } else if (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '*') {
                size_t end = s_.find("*/", pos_ + 2);
                pos_ = end == std::string_view::npos ? s_.size() : end + 2;
            } else {
                break;
            }
        }
    }

    static bool bareChar(char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' || c == '+' ||
               c == '/' || c == ':' || c == '.' || c == '-';
    }

    std::optional<Value> value(int depth) {
        if (depth > kMaxDepth) return std::nullopt;
        skip();
        if (atEnd()) return std::nullopt;
        char c = peek();
        if (c == '{') {
            ++pos_;
            auto d = dictionaryBody(depth, /*braced=*/true);
            if (!d) return std::nullopt;
            return Value(std::move(*d));
        }
        if (c == '(') return array(depth);
        if (c == '<') return data();
        auto s = string();
        if (!s) return std::nullopt;
        return Value(std::move(*s));
    }

    std::optional<Dictionary> dictionaryBody(int depth, bool braced) {
        Dictionary d;
        for (;;) {
            skip();
            if (atEnd()) {
                if (braced) return std::nullopt;
                return d;
            }
            if (braced && peek() == '}') {
                ++pos_;
                return d;
            }
            auto key = string();
            if (!key) return std::nullopt;
            skip();
            if (atEnd()) return std::nullopt;
            if (peek() == ';') {  // "key;" stands for "key = key;"
                ++pos_;
                d.insert_or_assign(*key, Value(*key));
                continue;
            }
            if (peek() != '=') return std::nullopt;
            ++pos_;
            auto v = value(depth + 1);
            if (!v) return std::nullopt;
            skip();
            if (atEnd() || peek() != ';') return std::nullopt;
            ++pos_;
            d.insert_or_assign(std::move(*key), std::move(*v));
        }
    }

    std::optional<Value> array(int depth) {
        ++pos_;  // (
        Array a;
        skip();
        if (!atEnd() && peek() == ')') {
            ++pos_;
            return Value(std::move(a));
        }
        for (;;) {
            auto v = value(depth + 1);
            if (!v) return std::nullopt;
            a.push_back(std::move(*v));
            skip();
            if (atEnd()) return std::nullopt;
            if (peek() == ',') {
                ++pos_;
                skip();
                if (!atEnd() && peek() == ')') {
                    ++pos_;
                    return Value(std::move(a));
                }
                continue;
            }
            if (peek() == ')') {
                ++pos_;
                return Value(std::move(a));
            }
            return std::nullopt;
        }
    }

    static int hexDigit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    std::optional<Value> data() {
        ++pos_;  // <
        Data d;
        int high = -1;
        for (;;) {
            skip();
            if (atEnd()) return std::nullopt;
            char c = peek();
            ++pos_;
            if (c == '>') break;
            int h = hexDigit(c);
            if (h < 0) return std::nullopt;
            if (high < 0) {
                high = h;
            } else {
                d.push_back(static_cast<uint8_t>(high * 16 + h));
                high = -1;
            }
        }
        if (high >= 0) return std::nullopt;
        return Value(std::move(d));
    }

    std::optional<std::string> string() {
        if (atEnd()) return std::nullopt;
        return peek() == '"' ? quoted() : bare();
    }

    std::optional<std::string> bare() {
        size_t start = pos_;
        while (!atEnd() && bareChar(peek())) ++pos_;
        if (pos_ == start) return std::nullopt;
        return std::string(s_.substr(start, pos_ - start));
    }

    std::optional<std::string> quoted() {
        ++pos_;
        std::string out;
        while (!atEnd()) {
            char c = s_[pos_++];
            if (c == '"') return out;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (!escape(out)) return std::nullopt;
        }
        return std::nullopt;  // unterminated
    }

    // Reads the escape after a backslash into out; false when it is cut short.
    bool escape(std::string& out) {
        if (atEnd()) return false;
        char e = s_[pos_++];
        switch (e) {
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case 'a':
                out += '\a';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'v':
                out += '\v';
                break;
            case 'U':
            case 'u':
                return unicode(out);
            default:
                if (e >= '0' && e <= '7') {
                    octal(e, out);
                } else {
                    out += e;  // \" \\ \' and anything else stand for themselves
                }
        }
        return true;
    }

    // \uXXXX: exactly four hex digits.
    bool unicode(std::string& out) {
        uint32_t cp = 0;
        for (int i = 0; i < 4; ++i) {
            if (atEnd() || hexDigit(peek()) < 0) return false;
            cp = cp * 16 + static_cast<uint32_t>(hexDigit(s_[pos_++]));
        }
        detail::appendCodePoint(out, cp);
        return true;
    }

    // \NNN: up to three octal digits, the first already read.
    void octal(char first, std::string& out) {
        int v = first - '0';
        for (int i = 0; i < 2 && !atEnd() && peek() >= '0' && peek() <= '7'; ++i) {
            v = v * 8 + (s_[pos_++] - '0');
        }
        out += static_cast<char>(v & 0xFF);
    }

    std::string_view s_;
    size_t pos_ = 0;
};

bool startsWithXml(std::string_view b) {
    size_t i = 0;
    if (b.substr(0, 3) == "\xEF\xBB\xBF") i = 3;
    while (i < b.size() && std::isspace(static_cast<unsigned char>(b[i]))) ++i;
    return b.substr(i, 5) == "<?xml" || b.substr(i, 6) == "<plist" || b.substr(i, 9) == "<!DOCTYPE";
}

}  // namespace

std::optional<Value> parseXml(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > kMaxPropertyListBytes) return std::nullopt;
    auto prepared = detail::prepareXml(bytes);
    // A NUL in a text has been taken out with the text; anywhere else it is no XML, and libplist
    // would abort on it.
    if (!prepared || prepared->bytes.find('\0') != std::string::npos) return std::nullopt;
    plist_t root = nullptr;
    plist_from_xml(prepared->bytes.data(), static_cast<uint32_t>(prepared->bytes.size()), &root);
    PlistPtr owned(root);
    return TreeReader(*prepared).value(root, 0);
}

std::optional<Value> parseBinary(std::string_view bytes) {
    if (bytes.size() < 8 || bytes.size() > kMaxPropertyListBytes) return std::nullopt;
    auto prepared = detail::prepareBinary(bytes);
    if (!prepared) return std::nullopt;
    plist_t root = nullptr;
    plist_from_bin(prepared->bytes.data(), static_cast<uint32_t>(prepared->bytes.size()), &root);
    PlistPtr owned(root);
    return TreeReader(*prepared).value(root, 0);
}

std::optional<Value> parseText(std::string_view bytes) {
    if (bytes.size() > kMaxPropertyListBytes) return std::nullopt;
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    return TextParser(bytes).parseDocument();
}

std::optional<Value> parse(std::string_view bytes) {
    if (bytes.substr(0, 6) == "bplist") return parseBinary(bytes);
    if (startsWithXml(bytes)) return parseXml(bytes);
    return parseText(bytes);
}

std::optional<Value> readFile(const std::string& hostPath) {
    if (tracing()) trace(events::Bookkeeping{"file read: " + hostPath});
    auto bytes = files::readRegularFile(hostPath, kMaxPropertyListBytes);
    if (!bytes) return std::nullopt;
    return parse(*bytes);
}

std::optional<Dictionary> readDictionary(const std::string& hostPath) {
    auto v = readFile(hostPath);
    if (!v || v->dictionary() == nullptr) return std::nullopt;
    return std::move(*v->dictionary());
}

std::string toXml(const Value& root) { return detail::writeXml(root); }

std::string toBinary(const Value& root) {
    NodeBuilder builder;
    PlistPtr node = builder.build(root);
    if (!node) return {};
    char* bin = nullptr;
    uint32_t len = 0;
    plist_to_bin(node.get(), &bin, &len);
    std::string out(bin ? bin : "", len);
    plist_to_bin_free(bin);
    if (!detail::restoreBinaryDates(out, builder.dates())) return {};
    return out;
}

bool identical(const Value& a, const Value& b) {
    if (a.kind() != b.kind()) return false;
    const auto sameBits = [](double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; };
    switch (a.kind()) {
        case Value::Kind::Real:
            return sameBits(*a.real(), *b.real());
        case Value::Kind::Date:
            return sameBits(a.date()->secondsSinceReferenceDate,
                            b.date()->secondsSinceReferenceDate);
        case Value::Kind::Array:
            return std::equal(a.array()->begin(), a.array()->end(), b.array()->begin(),
                              b.array()->end(), identical);
        case Value::Kind::Dictionary:
            return std::equal(a.dictionary()->begin(), a.dictionary()->end(),
                              b.dictionary()->begin(), b.dictionary()->end(),
                              [](const auto& x, const auto& y) {
                                  return x.first == y.first && identical(x.second, y.second);
                              });
        default:
            return a == b;
    }
}

bool writeXmlAtomically(const Value& root, const std::string& hostPath) {
    const std::string xml = toXml(root);
    return !xml.empty() && files::replaceFile(hostPath, xml).ok();
}

}  // namespace platform::plist
