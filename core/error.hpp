// Python exceptions seen from C++.
//
// An error travels up the C++ stack in the interpreter's error indicator,
// signalled by the result of each call (result.hpp). Code that needs to look
// at it (an `except` clause) takes it out of the indicator as a
// CaughtException, decides, and either puts it back or raises another one.
#pragma once

#include <utility>

#include "object.hpp"

namespace zcore {

class CaughtException {
 public:
  // Takes the pending error out of the indicator (which must be set).
  static CaughtException fetch() noexcept;

  CaughtException() noexcept = default;
  Handle value() const noexcept { return value_; }
  explicit operator bool() const noexcept { return static_cast<bool>(value_); }
  // isinstance test against a class or a tuple of classes, like `except`.
  bool matches(Handle cls) const noexcept { return PyErr_GivenExceptionMatches(value_.get(), cls.get()) != 0; }
  // Puts the exception back into the indicator (the bare `raise`), to be
  // handed up as a failure.
  Failure restore() noexcept;
  int traverse(visitproc visit, void* arg) const noexcept {
    Py_VISIT(value_.get());
    return 0;
  }

 private:
  Ref value_;
};

// For the lifetime of the scope, `caught` is the exception being handled, as
// inside Python's `except` block: anything raised meanwhile gets it as its
// __context__, and sys.exc_info() reports it.
class HandlingScope {
 public:
  // Works on the innermost exception-state item, as the interpreter's
  // handlers do, so that inside a coroutine it is the coroutine's own. The
  // item is the thread state's internal: PyErr_GetHandledException() reports
  // the nearest exception of any item, so the previous value of this one
  // could not be put back exactly through the public API.
  explicit HandlingScope(const CaughtException& caught) noexcept
      : item_(PyThreadState_Get()->exc_info),
        previous_(std::exchange(item_->exc_value, caught.value().ref().release())) {}
  ~HandlingScope() { Ref handled = Ref::steal(std::exchange(item_->exc_value, previous_)); }
  HandlingScope(const HandlingScope&) = delete;
  HandlingScope& operator=(const HandlingScope&) = delete;

 private:
  _PyErr_StackItem* item_;
  PyObject* previous_;  // owned; handed back to the item on exit
};

// `raise exc` of an object already made: an exception instance, or an
// exception class, instantiated without arguments; anything else is a
// TypeError, as the interpreter's `raise` has it. Chained implicitly to the
// exception being handled, if any, and never given a cause. It always fails:
// `return raise_object(...)`.
Failure raise_object(Handle exc);
// `raise cls(message)`, as raise_object does.
Failure raise(Handle cls, Handle message);
Failure raise(PyObject* builtin_cls, const char* message);

// `with manager as value: body(value)`, the body returning a Status:
// __enter__ and __exit__ are looked up on the type, and __exit__ sees the
// body's exception and may suppress it.
template <class Body>
Status with_context(Handle manager, Body&& body);

// Boundaries between the interpreter and C++: every slot runs its body
// through one of these. The modules are built without C++ exceptions
// (storage.hpp), so a Python error, handed up as a failed result, is all
// that can leave a body.
template <class Body>
PyObject* guard(Body&& body) noexcept {
  return body().release();
}

template <class Body>
int guard_status(Body&& body) noexcept {
  return body() == Status::ok ? 0 : -1;
}

namespace detail {
Ref special_method(Handle manager, const char* name);
Truth exit_with_exception(Handle exit, const CaughtException& caught);
}  // namespace detail

template <class Body>
Status with_context(Handle manager, Body&& body) {
  Ref enter, exit;
  if (compat::kWithLooksUpExitFirst) exit = TRY(detail::special_method(manager, "__exit__"));
  enter = TRY(detail::special_method(manager, "__enter__"));
  if (!compat::kWithLooksUpExitFirst) exit = TRY(detail::special_method(manager, "__exit__"));
  Ref value = TRY(call(enter));
  if (body(Handle(value)) == Status::error) {
    CaughtException caught = CaughtException::fetch();
    HandlingScope handling(caught);
    if (!TRY(detail::exit_with_exception(exit, caught))) return caught.restore();
    return Status::ok;
  }
  TRY(call(exit, {Py_None, Py_None, Py_None}));
  return Status::ok;
}

}  // namespace zcore
