// Fields of the modules' own objects that other threads may read while one
// changes them. With the GIL, a borrowed pointer stays valid until the code
// holding it calls back into the interpreter; without it (the free-threaded
// build), another thread may replace the field, and free what it held, at
// any moment. So, as CPython's own objects do:
//
// - a field that attribute assignment replaces is read and written under the
//   owner's critical section, and read as a new reference (load, store);
// - a field made on first use and never replaced is made outside any lock
//   and published once, atomically: the first thread to finish wins, and
//   every thread gets that object (publish, load_published).
//
// With the GIL, critical sections are plain blocks and the atomics plain
// loads and stores.
#pragma once

#include <atomic>

#include "ref.hpp"

namespace zcore {

// `owner.field` as a new reference.
inline Ref load([[maybe_unused]] PyObject* owner, PyObject* const& field) noexcept {
  Ref value;
  Py_BEGIN_CRITICAL_SECTION(owner);
  value = Ref::borrow(field);
  Py_END_CRITICAL_SECTION();
  return value;
}

inline Ref load([[maybe_unused]] PyObject* owner, const Ref& field) noexcept {
  Ref value;
  Py_BEGIN_CRITICAL_SECTION(owner);
  value = field;
  Py_END_CRITICAL_SECTION();
  return value;
}

// `owner.field = value` (NULL clears it). What the field held is released
// after the lock, since its finaliser may run any code.
inline void store([[maybe_unused]] PyObject* owner, PyObject*& field, PyObject* value) noexcept {
  Ref previous;
  Py_BEGIN_CRITICAL_SECTION(owner);
  previous = Ref::steal(field);
  field = Py_XNewRef(value);
  Py_END_CRITICAL_SECTION();
}

// The object made on first use into `slot` (borrowed), or NULL when none has
// been published yet.
template <class T>
T* load_published(T* const& slot) noexcept {
  return std::atomic_ref<T*>(const_cast<T*&>(slot)).load(std::memory_order_acquire);
}

// Publishes `made` into the empty `slot`, which then owns it; when another
// thread has published first, `made` is dropped. Returns what the slot holds
// (borrowed).
template <class T>
T* publish(T*& slot, Ref made) noexcept {
  T* expected = nullptr;
  T* candidate = reinterpret_cast<T*>(made.get());
  if (std::atomic_ref<T*>(slot).compare_exchange_strong(expected, candidate, std::memory_order_acq_rel,
                                                        std::memory_order_acquire)) {
    (void)made.release();
    return candidate;
  }
  return expected;
}

}  // namespace zcore
