// The C++ side of a native coroutine: a C++20 coroutine whose body can
// `co_await` any Python awaitable and reads top to bottom like the `async def`
// it implements. The Python side (send/throw/close, the awaitable protocol)
// is the coroutine object of coroutine.cpp, which drives a Task step by step.
//
// Two rules for bodies: a failure is handed up with CO_TRY, or, for the
// result of a co_await (which CO_TRY must not enclose), by checking the
// result and `co_return {}`; and objects kept only in C++ locals are
// invisible to the cycle collector, so what outlives an await belongs in the
// frame's slots (Args::local) or is moved into the co_await.
#pragma once

#include <coroutine>
#include <utility>

#include "error.hpp"

namespace zcore {

// The iterator that drives one `await` of a Python awaitable, as the
// interpreter's GET_AWAITABLE builds it.
Ref awaitable_iterator(Handle awaitable);

class Task {
 public:
  struct promise_type;
  using handle_type = std::coroutine_handle<promise_type>;

  // The result of a co_await is a Ref: the awaited value, or empty with the
  // error in the indicator, handed up by the body like any other failure.
  struct Awaiter {
    promise_type* promise;
    // Without an iterator (the object cannot be awaited) the body goes on at
    // once, with that error.
    bool await_ready() const noexcept { return !promise->awaiting; }
    void await_suspend(handle_type) const noexcept {}
    Ref await_resume() noexcept;
  };

  struct promise_type {
    Ref awaiting;            // iterator the body is suspended on
    Ref sent;                // the awaited result to resume the body with,
    CaughtException thrown;  // or the error to raise out of its co_await
    Ref result;              // co_return value
    CaughtException error;   // the exception that ended the body

    Task get_return_object() noexcept { return Task(handle_type::from_promise(*this)); }
    // The body's frame comes from the interpreter's allocator; when it cannot
    // be had, the call returns an empty Task with MemoryError set.
    static void* operator new(std::size_t size) noexcept { return PyMem_Malloc(size); }
    static void operator delete(void* frame) noexcept { PyMem_Free(frame); }
    static Task get_return_object_on_allocation_failure() noexcept {
      PyErr_NoMemory();
      return Task();
    }
    // Nothing of the body runs before the coroutine object is first driven.
    std::suspend_always initial_suspend() const noexcept { return {}; }
    std::suspend_always final_suspend() const noexcept { return {}; }
    // `co_return {}` ends the body with the pending error.
    void return_value(Ref value) noexcept;
    void unhandled_exception() noexcept;
    // Takes the awaitable out of the body (`co_await std::move(x)` or a
    // temporary): while suspended, only `awaiting` may hold it, since the
    // collector sees the promise and not the body's locals.
    Awaiter await_transform(Ref&& awaitable) noexcept {
      Ref taken = std::move(awaitable);
      awaiting = awaitable_iterator(taken);
      return Awaiter{this};
    }
  };

  Task() noexcept = default;
  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    destroy();
    handle_ = std::exchange(other.handle_, {});
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { destroy(); }

  explicit operator bool() const noexcept { return static_cast<bool>(handle_); }
  promise_type& promise() const noexcept { return handle_.promise(); }
  bool done() const noexcept { return handle_.done(); }
  void resume() const { handle_.resume(); }
  // Runs the destructors of the body's locals, wherever it stopped.
  void destroy() noexcept {
    if (handle_) std::exchange(handle_, {}).destroy();
  }

 private:
  explicit Task(handle_type h) noexcept : handle_(h) {}
  handle_type handle_;
};

}  // namespace zcore
