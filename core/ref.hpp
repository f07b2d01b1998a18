// Object references with their ownership in the type.
//
// `Ref` owns one strong reference and releases it when it goes out of scope;
// `Handle` borrows one and never touches the count. Functions take `Handle`
// parameters (an owner stays responsible for the object during the call) and
// return `Ref` whenever they hand over a new reference. An empty `Ref` from a
// function that makes one means that it failed, as NULL does in the C API
// (result.hpp).
#pragma once

#include "compat.hpp"

#include <cstddef>
#include <utility>

namespace zcore {

class Ref;

class Handle {
 public:
  constexpr Handle() noexcept = default;
  constexpr Handle(PyObject* p) noexcept : p_(p) {}                         // NOLINT: borrowing is implicit
  Handle(PyTypeObject* t) noexcept : p_(reinterpret_cast<PyObject*>(t)) {}  // NOLINT

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool is(Handle other) const noexcept { return p_ == other.p_; }
  bool is_none() const noexcept { return p_ == Py_None; }
  Ref ref() const noexcept;

 private:
  PyObject* p_ = nullptr;
};

class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}  // NOLINT
  Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a reference the caller owns.
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Takes a new reference to a borrowed object.
  static Ref borrow(Handle h) noexcept {
    Py_XINCREF(h.get());
    return Ref(h.get());
  }

  PyObject* get() const noexcept { return p_; }
  operator Handle() const noexcept { return Handle(p_); }  // NOLINT
  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool is(Handle other) const noexcept { return p_ == other.get(); }
  bool is_none() const noexcept { return p_ == Py_None; }

  // Hands the reference over to the caller (a C API slot that returns it).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset() noexcept { Ref().swap(*this); }
  void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

inline Ref Handle::ref() const noexcept { return Ref::borrow(*this); }

inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }

// Clears a raw owned slot of an object struct (deallocators and tp_clear).
inline void clear_slot(PyObject*& slot) noexcept { Py_CLEAR(slot); }

}  // namespace zcore
