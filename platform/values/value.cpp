#include "platform/values/value.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>

namespace platform {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

size_t skipBlanks(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && isBlank(s[i])) ++i;
    return i;
}

template <class T>
T saturate(double d) {
    if (std::isnan(d)) return 0;
    if (d >= static_cast<double>(std::numeric_limits<T>::max()))
        return std::numeric_limits<T>::max();
    if (d <= static_cast<double>(std::numeric_limits<T>::min()))
        return std::numeric_limits<T>::min();
    return static_cast<T>(d);
}

int32_t saturate32(int64_t v) {
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

bool plainString(const std::string& s) {
    if (s.empty()) return false;
    for (unsigned char c : s) {
        if (!(std::isalnum(c) || c == '_' || c == '.' || c == '$' || c == '/' || c == ':' ||
              c == '-')) {
            return false;
        }
    }
    return true;
}

// The length of the NUL or half surrogate pair at `i`, or 0.
size_t unsayableAt(const std::string& s, size_t i) {
    if (s[i] == '\0') return 1;
    const bool surrogate = static_cast<unsigned char>(s[i]) == 0xED && i + 2 < s.size() &&
                           static_cast<unsigned char>(s[i + 1]) >= 0xA0;
    return surrogate ? 3 : 0;
}

// Appends the escape of what unsayableAt found, and returns its length (0 for anything else).
size_t appendEscape(const std::string& s, size_t i, std::string& out) {
    const size_t n = unsayableAt(s, i);
    if (n == 0) return 0;
    unsigned cp = 0;
    if (n == 3) {
        cp = 0xD000u | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
             (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
    }
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\U%04X", cp);
    out += buf;
    return n;
}

std::string escaped(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (const size_t n = appendEscape(s, i, out)) {
            i += n - 1;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string quoted(const std::string& s) {
    if (plainString(s)) return s;
    std::string out = "\"";
    for (size_t i = 0; i < s.size(); ++i) {
        if (const size_t n = appendEscape(s, i, out)) {
            i += n - 1;
            continue;
        }
        const char c = s[i];
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out + "\"";
}

std::string formatReal(double d) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", d);
    return buf;
}

std::string formatDate(const Date& d) {
    // Beyond a hundred million years (or not a number) there is no calendar date to print, and
    // converting such a double to an integer is undefined.
    if (!(std::fabs(d.secondsSinceReferenceDate) < 3e15)) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.17g seconds after 2001-01-01 00:00:00 +0000",
                      d.secondsSinceReferenceDate);
        return buf;
    }
    // Reference date is 978307200 seconds after the Unix epoch.
    time_t t = static_cast<time_t>(std::floor(d.secondsSinceReferenceDate)) + 978307200;
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
    return buf;
}

void describeInto(const Value& v, int indent, bool nested, std::string& out) {
    const std::string pad(static_cast<size_t>(indent) * 4, ' ');
    const std::string inner(static_cast<size_t>(indent + 1) * 4, ' ');
    switch (v.kind()) {
        case Value::Kind::None:
            out += "(null)";
            break;
        case Value::Kind::Boolean:
            out += *v.boolean() ? "1" : "0";
            break;
        case Value::Kind::Integer:
            out += std::to_string(*v.integer());
            break;
        case Value::Kind::Real:
            out += formatReal(*v.real());
            break;
        case Value::Kind::String:
            out += nested ? quoted(*v.string()) : escaped(*v.string());
            break;
        case Value::Kind::Date:
            out += formatDate(*v.date());
            break;
        case Value::Kind::Data: {
            out += '<';
            const Data& d = *v.data();
            for (size_t i = 0; i < d.size(); ++i) {
                if (i > 0 && i % 4 == 0) out += ' ';
                char buf[3];
                std::snprintf(buf, sizeof buf, "%02x", d[i]);
                out += buf;
            }
            out += '>';
            break;
        }
        case Value::Kind::Array: {
            out += "(\n";
            const Array& a = *v.array();
            for (size_t i = 0; i < a.size(); ++i) {
                out += inner;
                describeInto(a[i], indent + 1, true, out);
                out += i + 1 < a.size() ? ",\n" : "\n";
            }
            out += pad + ")";
            break;
        }
        case Value::Kind::Dictionary: {
            out += "{\n";
            for (const auto& [k, item] : *v.dictionary()) {
                out += inner + quoted(k) + " = ";
                describeInto(item, indent + 1, true, out);
                out += ";\n";
            }
            out += pad + "}";
            break;
        }
    }
}

}  // namespace

bool stringBoolValue(const std::string& s) {
    size_t i = skipBlanks(s);
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    while (i < s.size() && s[i] == '0') ++i;
    if (i >= s.size()) return false;
    char c = s[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

int64_t stringLongLongValue(const std::string& s) {
    size_t i = skipBlanks(s);
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    // Accumulate as a negative number so INT64_MIN fits; saturate on overflow.
    int64_t acc = 0;
    bool overflow = false;
    for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
        int digit = s[i] - '0';
        if (acc < (INT64_MIN + digit) / 10) {
            overflow = true;
        } else {
            acc = acc * 10 - digit;
        }
    }
    if (overflow) return negative ? INT64_MIN : INT64_MAX;
    if (negative) return acc;
    return acc == INT64_MIN ? INT64_MAX : -acc;
}

int32_t stringIntValue(const std::string& s) { return saturate32(stringLongLongValue(s)); }

double stringDoubleValue(const std::string& s) {
    // Only the plain decimal form is read: sign, digits, fraction, exponent.
    size_t i = skipBlanks(s);
    size_t start = i;
    auto digits = [&] {
        size_t from = i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
        return i > from;
    };
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    bool any = digits();
    if (i < s.size() && s[i] == '.') {
        ++i;
        any = digits() || any;
    }
    if (!any) return 0.0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        size_t mark = i++;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        if (!digits()) i = mark;
    }
    return std::strtod(s.substr(start, i - start).c_str(), nullptr);
}

std::optional<bool> Value::boolValue() const {
    switch (kind()) {
        case Kind::Boolean:
            return *boolean();
        case Kind::Integer:
            return *integer() != 0;
        case Kind::Real:
            return *real() != 0.0;
        case Kind::String:
            return stringBoolValue(*string());
        default:
            return std::nullopt;
    }
}

std::optional<int64_t> Value::longLongValue() const {
    switch (kind()) {
        case Kind::Boolean:
            return *boolean() ? 1 : 0;
        case Kind::Integer:
            return *integer();
        case Kind::Real:
            return saturate<int64_t>(*real());
        case Kind::String:
            return stringLongLongValue(*string());
        default:
            return std::nullopt;
    }
}

std::optional<int32_t> Value::intValue() const {
    if (kind() == Kind::Real) return saturate<int32_t>(*real());
    auto v = longLongValue();
    if (!v) return std::nullopt;
    return saturate32(*v);
}

std::optional<double> Value::doubleValue() const {
    switch (kind()) {
        case Kind::Boolean:
            return *boolean() ? 1.0 : 0.0;
        case Kind::Integer:
            return static_cast<double>(*integer());
        case Kind::Real:
            return *real();
        case Kind::String:
            return stringDoubleValue(*string());
        default:
            return std::nullopt;
    }
}

std::optional<float> Value::floatValue() const {
    auto d = doubleValue();
    if (!d) return std::nullopt;
    return static_cast<float>(*d);
}

const Value* Value::find(const std::string& key) const {
    const Dictionary* d = dictionary();
    if (d == nullptr) return nullptr;
    auto it = d->find(key);
    return it == d->end() ? nullptr : &it->second;
}

std::string Value::description() const {
    std::string out;
    describeInto(*this, 0, false, out);
    return out;
}

bool Value::operator==(const Value& o) const {
    if (kind() != o.kind()) return false;
    switch (kind()) {
        case Kind::None:
            return true;
        case Kind::Boolean:
            return *boolean() == *o.boolean();
        case Kind::Integer:
            return *integer() == *o.integer();
        case Kind::Real:
            return *real() == *o.real();
        case Kind::String:
            return *string() == *o.string();
        case Kind::Date:
            return *date() == *o.date();
        case Kind::Data:
            return *data() == *o.data();
        case Kind::Array:
            return *array() == *o.array();
        case Kind::Dictionary:
            return *dictionary() == *o.dictionary();
    }
    return false;
}

}  // namespace platform
