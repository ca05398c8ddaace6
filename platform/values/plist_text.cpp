#include "plist_text.h"

#include <cstdio>

#include "platform/core/utf8.h"

namespace platform::plist::detail {

using utf8::isSurrogate;
using utf8::nextCodePoint;

namespace {

bool isLowSurrogate(uint32_t cp) { return cp >= 0xDC00 && cp <= 0xDFFF; }

// The high surrogate the text ends with, if it does.
std::optional<uint32_t> trailingHighSurrogate(const std::string& s) {
    if (s.size() < 3) return std::nullopt;
    const auto b = [&](size_t k) { return static_cast<uint8_t>(s[s.size() - 3 + k]); };
    if (b(0) != 0xED || b(1) < 0xA0 || b(1) > 0xAF) return std::nullopt;
    return 0xD000u | ((b(1) & 0x3Fu) << 6) | (b(2) & 0x3Fu);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "&...;" at the start of `s`: the code point and the length taken.
std::optional<std::pair<uint32_t, size_t>> reference(std::string_view s) {
    const size_t end = s.find(';');
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view name = s.substr(1, end - 1);
    static constexpr std::pair<std::string_view, uint32_t> kEntities[] = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    for (const auto& [entity, cp] : kEntities)
        if (name == entity) return std::pair{cp, end + 1};
    if (name.size() < 2 || name[0] != '#') return std::nullopt;
    const bool hex = name[1] == 'x';
    const std::string_view digits = name.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 8) return std::nullopt;
    uint32_t cp = 0;
    for (char c : digits) {
        const int d = hex ? hexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0) return std::nullopt;
        cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(d);
    }
    if (cp > 0x10FFFF) return std::nullopt;
    return std::pair{cp, end + 1};
}

}  // namespace

void appendCodePoint(std::string& out, uint32_t cp) {
    if (isLowSurrogate(cp)) {
        if (auto high = trailingHighSurrogate(out)) {
            out.resize(out.size() - 3);
            cp = 0x10000 + ((*high - 0xD800) << 10) + (cp - 0xDC00);
        }
    }
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool validUtf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        auto cp = nextCodePoint(s, i);
        if (!cp || isSurrogate(*cp)) return false;
    }
    return true;
}

std::optional<std::string> canonicalText(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        auto cp = nextCodePoint(s, i);
        if (!cp) return std::nullopt;
        appendCodePoint(out, *cp);
    }
    return out;
}

bool needsPlaceholder(std::string_view s) {
    if (s.starts_with(kPlaceholderMark)) return true;
    for (size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<uint8_t>(s[i]);
        if (c == 0) return true;
        if (c == 0xED && i + 1 < s.size() && static_cast<uint8_t>(s[i + 1]) >= 0xA0) return true;
    }
    return false;
}

std::string placeholder(size_t index) {
    return std::string(kPlaceholderMark) + std::to_string(index);
}

std::optional<size_t> placeholderIndex(std::string_view s) {
    if (!s.starts_with(kPlaceholderMark)) return std::nullopt;
    const std::string_view digits = s.substr(kPlaceholderMark.size());
    if (digits.empty() || digits.size() > 9) return std::nullopt;
    size_t index = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        index = index * 10 + static_cast<size_t>(c - '0');
    }
    return index;
}

std::optional<std::string> decodeXmlText(std::string_view content) {
    static constexpr std::string_view kCdata = "<![CDATA[";
    std::string raw;
    raw.reserve(content.size());
    for (size_t i = 0; i < content.size();) {
        const char c = content[i];
        if (c == '&') {
            auto ref = reference(content.substr(i));
            if (!ref) return std::nullopt;
            appendCodePoint(raw, ref->first);
            i += ref->second;
        } else if (c == '<') {
            if (!content.substr(i).starts_with(kCdata)) return std::nullopt;
            const size_t end = content.find("]]>", i + kCdata.size());
            if (end == std::string_view::npos) return std::nullopt;
            raw.append(content.substr(i + kCdata.size(), end - i - kCdata.size()));
            i = end + 3;
        } else {
            raw += c;
            ++i;
        }
    }
    return canonicalText(raw);
}

std::string xmlText(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const size_t at = i;
        auto cp = nextCodePoint(s, i);
        if (!cp) {  // no text: as it is
            out += s[at];
            i = at + 1;
        } else if (*cp == '&' || *cp == '<' || *cp == '>') {
            out += *cp == '&' ? "&amp;" : *cp == '<' ? "&lt;" : "&gt;";
        } else if (*cp == 0 || isSurrogate(*cp)) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "&#x%X;", static_cast<unsigned>(*cp));
            out += buf;
        } else {
            out.append(s.substr(at, i - at));
        }
    }
    return out;
}

}  // namespace platform::plist::detail
