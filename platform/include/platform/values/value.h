// Property-list values: one C++ value type for numbers, booleans, strings, dates, data, arrays
// and dictionaries, with the phone's own readings of them.
//
// Readings (boolValue, intValue, floatValue) follow the platform:
// - numbers and booleans answer all three; a real is truncated towards zero by intValue and
//   out-of-range values saturate;
// - strings skip leading blanks, take an optional sign and leading zeros; intValue saturates;
//   boolValue is true when the first character after that is Y, y, T, t or a digit 1-9;
// - dates, data, arrays, dictionaries (and the empty value) answer none of them, so the
//   readings return std::nullopt.
//
// Strings are UTF-8. The phone's strings are UTF-16 and may hold what UTF-8 cannot: half of a
// surrogate pair (a truncated emoji) is kept as the three bytes its code point would take
// ("\xED\xA0\xBD" for U+D83D), and a NUL as the byte 0, so a text read from a file is written
// back unit for unit. Two halves of a pair are always kept as the one character they make.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace platform {

class Value;
using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value>;
using Data = std::vector<uint8_t>;

// A point in time: seconds since 2001-01-01 00:00:00 UTC, the platform's reference date.
struct Date {
    double secondsSinceReferenceDate = 0;
    bool operator==(const Date&) const = default;
};

class Value {
  public:
    enum class Kind { None, Boolean, Integer, Real, String, Date, Data, Array, Dictionary };

    Value() = default;
    Value(bool b) : v_(b) {}
    Value(int i) : v_(int64_t{i}) {}
    Value(int64_t i) : v_(i) {}
    Value(double d) : v_(d) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(platform::Date d) : v_(d) {}
    Value(Data d) : v_(Boxed<Data>(std::move(d))) {}
    Value(Array a) : v_(Boxed<Array>(std::move(a))) {}
    Value(Dictionary d) : v_(Boxed<Dictionary>(std::move(d))) {}

    Kind kind() const { return static_cast<Kind>(v_.index()); }
    bool isNone() const { return kind() == Kind::None; }
    bool isString() const { return kind() == Kind::String; }
    bool isNumber() const {
        return kind() == Kind::Boolean || kind() == Kind::Integer || kind() == Kind::Real;
    }

    // The platform's readings; nullopt when the value does not answer that reading.
    std::optional<bool> boolValue() const;
    std::optional<int32_t> intValue() const;
    std::optional<int64_t> longLongValue() const;
    std::optional<float> floatValue() const;
    std::optional<double> doubleValue() const;

    // Typed access; nullptr when the value is of another kind.
    const std::string* string() const { return std::get_if<std::string>(&v_); }
    const platform::Date* date() const { return std::get_if<platform::Date>(&v_); }
    const bool* boolean() const { return std::get_if<bool>(&v_); }
    const int64_t* integer() const { return std::get_if<int64_t>(&v_); }
    const double* real() const { return std::get_if<double>(&v_); }
    const Data* data() const { return boxed<Data>(); }
    const Array* array() const { return boxed<Array>(); }
    const Dictionary* dictionary() const { return boxed<Dictionary>(); }
    Dictionary* dictionary() { return boxed<Dictionary>(); }

    // Dictionary lookup; nullptr when this is no dictionary or the key is absent.
    const Value* find(const std::string& key) const;

    // The platform's description text ("{\n    key = value;\n}" for dictionaries, as NSLog
    // prints them). Always UTF-8 without NULs: a NUL or half a surrogate pair in a string shows
    // as an escape ("\U0000", "\UD83D").
    std::string description() const;

    bool operator==(const Value& other) const;

  private:
    template <class T>
    struct Boxed {
        std::unique_ptr<T> p;
        explicit Boxed(T v) : p(std::make_unique<T>(std::move(v))) {}
        Boxed(const Boxed& o) : p(std::make_unique<T>(*o.p)) {}
        Boxed(Boxed&&) noexcept = default;
        Boxed& operator=(const Boxed& o) {
            p = std::make_unique<T>(*o.p);
            return *this;
        }
        Boxed& operator=(Boxed&&) noexcept = default;
    };
    template <class T>
    const T* boxed() const {
        auto* b = std::get_if<Boxed<T>>(&v_);
        return b ? b->p.get() : nullptr;
    }
    template <class T>
    T* boxed() {
        auto* b = std::get_if<Boxed<T>>(&v_);
        return b ? b->p.get() : nullptr;
    }

    std::variant<std::monostate, bool, int64_t, double, std::string, platform::Date, Boxed<Data>,
                 Boxed<Array>, Boxed<Dictionary>>
        v_;
};

// The platform's readings of a text, exposed for the string class and for tests.
bool stringBoolValue(const std::string& s);
int32_t stringIntValue(const std::string& s);
int64_t stringLongLongValue(const std::string& s);
double stringDoubleValue(const std::string& s);

}  // namespace platform
