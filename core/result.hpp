// How a Python error travels through the C++ code: the way the C API itself
// signals it. A function that fails leaves the interpreter's error indicator
// set and returns the failure of its result type: an empty Ref (the NULL of
// the C API), Status::error (its -1), or Truth::error (the -1 of a truth
// test). Its caller hands the failure up with TRY, or CO_TRY in a coroutine
// body, until a slot returns NULL or -1 to the interpreter. A raised error
// costs what it costs the interpreter: nothing unwinds the C++ stack.
//
//   Ref status = TRY(getattr(last, names.status));      // the value, or return {}
//   if (TRY(truthy(status))) ...                          // a Truth becomes a bool
//   TRY(setattr(self, names.timeout, timeout));           // a Status is only checked
//   return raise(error, message);                         // fails with a new error
//
// `return {}` is the failure of every result type (an empty Ref,
// Status::error, Truth::error), which is what TRY returns. TRY relies on
// statement expressions (GCC and Clang); CO_TRY must not enclose a co_await,
// which GCC 12 cannot compile there: await first, then check the result.
#pragma once

#include <functional>
#include <utility>

#include "ref.hpp"

namespace zcore {

// The outcome of an operation without a value.
enum class [[nodiscard]] Status : unsigned char { error = 0, ok = 1 };
// The outcome of a truth test, a comparison or a membership test.
enum class [[nodiscard]] Truth : unsigned char { error = 0, no = 1, yes = 2 };

constexpr Truth truth(bool value) noexcept { return value ? Truth::yes : Truth::no; }
// From the C API's conventions: -1 for an error, else 0 or 1 (or >= 0).
constexpr Truth truth_of(int result) noexcept { return result < 0 ? Truth::error : truth(result != 0); }
constexpr Status status_of(int result) noexcept { return result < 0 ? Status::error : Status::ok; }

// What raising an error hands up: the failure of whichever result type the
// function has.
struct Failure {
  operator Ref() const noexcept { return {}; }  // NOLINT: converts implicitly by design
  operator Status() const noexcept { return Status::error; }
  operator Truth() const noexcept { return Truth::error; }
};
// The error indicator is set (a failed C API call): hand the failure up.
inline constexpr Failure failure{};

namespace detail {

inline bool failed(const Ref& r) noexcept { return !r; }
inline bool failed(Status s) noexcept { return s == Status::error; }
inline bool failed(Truth t) noexcept { return t == Truth::error; }
template <class T>
bool failed(T* p) noexcept {
  return p == nullptr;
}

inline Ref unwrap(Ref&& r) noexcept { return std::move(r); }
inline void unwrap(Status) noexcept {}
inline bool unwrap(Truth t) noexcept { return t == Truth::yes; }
// A statement expression's value is a copy: a pointer's target comes out as
// a reference wrapper, which binds `T& x = TRY(...)` to the object itself.
template <class T>
std::reference_wrapper<T> unwrap(T* p) noexcept {
  return *p;
}

}  // namespace detail

}  // namespace zcore

// NOLINTBEGIN(cppcoreguidelines-macro-usage): control flow cannot be a function
#define TRY(...)                                           \
  ({                                                       \
    auto zcore_result_ = (__VA_ARGS__);                    \
    if (::zcore::detail::failed(zcore_result_)) return {}; \
    ::zcore::detail::unwrap(std::move(zcore_result_));     \
  })
#define CO_TRY(...)                                           \
  ({                                                          \
    auto zcore_result_ = (__VA_ARGS__);                       \
    if (::zcore::detail::failed(zcore_result_)) co_return {}; \
    ::zcore::detail::unwrap(std::move(zcore_result_));        \
  })
// NOLINTEND(cppcoreguidelines-macro-usage)
