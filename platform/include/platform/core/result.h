// "A value, or why not": the one shape every fallible operation of the platform and the
// simulator returns.
//
//   Result<Scenario> parse(...);            return Failure{"file:3: unknown event"};
//   auto r = parse(...);  if (!r) warn("orvella-sim", r.error());  use(*r);
//
// Result<void> carries only success or the reason for failure.
#pragma once

#include <cassert>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace platform {

// Why an operation failed, in words fit for a person (file, line and problem where known).
struct Failure {
    std::string why;
};

template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : v_(std::move(value)) {}
    Result(Failure failure) : v_(std::move(failure)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & {
        assert(ok());
        return std::get<0>(v_);
    }
    const T& value() const& {
        assert(ok());
        return std::get<0>(v_);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(v_));
    }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    // The reason; empty on success.
    const std::string& error() const {
        static const std::string none;
        return ok() ? none : std::get<1>(v_).why;
    }

  private:
    std::variant<T, Failure> v_;
};

template <>
class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(Failure failure) : why_(std::move(failure.why)), ok_(false) {}

    bool ok() const { return ok_; }
    explicit operator bool() const { return ok_; }
    const std::string& error() const { return why_; }

  private:
    std::string why_;
    bool ok_ = true;
};

}  // namespace platform
