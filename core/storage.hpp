// Storage for a build without C++ exceptions: nothing here throws, and
// running out of memory is a MemoryError like any other failure.
//
// The modules are compiled with -fno-exceptions, so they load no unwinder and
// none of the C++ runtime's exception support. Their allocations go through
// the interpreter's allocator instead of operator new: declaration lists live
// inline, and the rare argument list too long for the inline slots gets a
// HeapArray.
#pragma once

#include "compat.hpp"

#include <cstddef>
#include <initializer_list>
#include <new>
#include <utility>

namespace zcore {

// A list of at most `Capacity` items, kept inline, made from a braced list.
// A longer list keeps its first items and says so through overflowed(),
// which the builders that take declarations check.
template <class T, std::size_t Capacity>
class InlineList {
 public:
  InlineList() noexcept = default;
  InlineList(std::initializer_list<T> items) noexcept : overflowed_(items.size() > Capacity) {  // NOLINT: braced lists
    for (const T& item : items) {
      if (size_ == Capacity) break;
      items_[size_++] = item;
    }
  }

  const T* begin() const noexcept { return items_; }
  const T* end() const noexcept { return items_ + size_; }
  std::size_t size() const noexcept { return size_; }
  bool overflowed() const noexcept { return overflowed_; }

 private:
  T items_[Capacity] = {};
  std::size_t size_ = 0;
  bool overflowed_ = false;
};

// `count` value-initialised T on the interpreter's heap, released with the
// array.
template <class T>
class HeapArray {
 public:
  HeapArray() noexcept = default;
  HeapArray(HeapArray&& other) noexcept
      : items_(std::exchange(other.items_, nullptr)), count_(std::exchange(other.count_, 0)) {}
  HeapArray& operator=(HeapArray&& other) noexcept {
    reset();
    items_ = std::exchange(other.items_, nullptr);
    count_ = std::exchange(other.count_, 0);
    return *this;
  }
  HeapArray(const HeapArray&) = delete;
  HeapArray& operator=(const HeapArray&) = delete;
  ~HeapArray() { reset(); }

  // The items, or nullptr with MemoryError set.
  T* allocate(std::size_t count) noexcept {
    reset();
    if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)) {
      PyErr_NoMemory();
      return nullptr;
    }
    void* memory = PyMem_Malloc(count * sizeof(T) + (count == 0));
    if (memory == nullptr) {
      PyErr_NoMemory();
      return nullptr;
    }
    items_ = static_cast<T*>(memory);
    for (std::size_t i = 0; i < count; ++i) new (&items_[i]) T();
    count_ = count;
    return items_;
  }

  void reset() noexcept {
    if (items_ == nullptr) return;
    for (std::size_t i = count_; i > 0; --i) items_[i - 1].~T();
    PyMem_Free(std::exchange(items_, nullptr));
    count_ = 0;
  }

  T* data() const noexcept { return items_; }

 private:
  T* items_ = nullptr;
  std::size_t count_ = 0;
};

}  // namespace zcore
