// The coroutine object that drives a Task. send(), throw(), close() and the
// am_send slot all come down to one state machine: advance the iterator the
// body is waiting on (the awaited request or sleep) with a value (step_send)
// or an exception (step_throw), then resume the body with the outcome until
// it waits again or ends (run_body).
#include "function.hpp"
#include "module.hpp"
#include "shared.hpp"

// Needs Python.h, which function.hpp brings in.
#include <structmember.h>

#include <new>

namespace zcore {

// ---- Task plumbing ------------------------------------------------------------------

void Task::promise_type::return_value(Ref value) noexcept {
  if (value) {
    result = std::move(value);
    return;
  }
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  error = CaughtException::fetch();
}

// Required of a promise; without C++ exceptions nothing can call it.
void Task::promise_type::unhandled_exception() noexcept {
  PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  error = CaughtException::fetch();
}

Ref Task::Awaiter::await_resume() noexcept {
  if (promise->thrown) {
    CaughtException thrown = std::move(promise->thrown);
    return thrown.restore();
  }
  return std::move(promise->sent);
}

Ref awaitable_iterator(Handle awaitable) {
  PyObject* o = awaitable.get();
  if (PyCoro_CheckExact(o)) return Ref::borrow(o);
  PyTypeObject* type = Py_TYPE(o);
  if (type->tp_as_async != nullptr && type->tp_as_async->am_await != nullptr) {
    Ref it = TRY(Ref::steal(type->tp_as_async->am_await(o)));
    if (PyCoro_CheckExact(it.get())) return raise(PyExc_TypeError, "__await__() returned a coroutine");
    if (!PyIter_Check(it.get())) {
      PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it.get())->tp_name);
      return failure;
    }
    return it;
  }
  if (PyGen_CheckExact(o)) {  // a generator-based coroutine (types.coroutine)
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyGen_GetCode(reinterpret_cast<PyGenObject*>(o))));
    if (reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_ITERABLE_COROUTINE) return Ref::borrow(o);
  }
  PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", type->tp_name);
  return failure;
}

namespace {

enum class State : unsigned char { created, suspended, running, finished };

struct CoroutineObject {
  PyObject_HEAD PyObject* weaklist;
  FunctionObject* function;
  PyObject* name;  // the function's, when the coroutine was made; assignable
  PyObject* qualname;
  Ref frame_object;  // cr_frame, made when first asked for
  Ref* frame;        // arguments and the locals that outlive an await, seen by the collector
  HeapArray<Ref> frame_storage;
  Py_ssize_t count;
  Ref varkw;
  Task task;
  // What the body is handling, as a generator keeps it: an item of the
  // thread state's internal stack, because the C API has no other way to
  // give a frame its own exception state while it runs.
  _PyErr_StackItem exc_state;
  State state;  // read without a lock by other threads: through state_of()
};

CoroutineObject* as_coroutine(PyObject* self) noexcept { return reinterpret_cast<CoroutineObject*>(self); }
[[maybe_unused]] PyObject* as_object(CoroutineObject* c) noexcept { return reinterpret_cast<PyObject*>(c); }
PyObject* self_of(FunctionObject* f) noexcept { return reinterpret_cast<PyObject*>(f); }

// One thread at a time runs a coroutine: the one that claimed it (state
// running). Others may read its state at any moment, and what a suspended
// coroutine holds (cr_await, cr_frame) under its critical section, which
// claiming it takes too: what they read stays until they have read it.
State state_of(const CoroutineObject* c) noexcept {
  return std::atomic_ref<State>(const_cast<State&>(c->state)).load(std::memory_order_acquire);
}
void set_state(CoroutineObject* c, State state) noexcept {
  std::atomic_ref<State>(c->state).store(state, std::memory_order_release);
}

enum class Claim { claimed, running, finished };

// Makes the calling thread the one that runs the coroutine, unless another
// call runs it or it has finished; `was` receives the state it had.
Claim claim(CoroutineObject* c, State& was) noexcept {
  Claim result = Claim::claimed;
  Py_BEGIN_CRITICAL_SECTION(as_object(c));
  was = state_of(c);
  if (was == State::running) {
    result = Claim::running;
  } else if (was == State::finished) {
    result = Claim::finished;
  } else {
    set_state(c, State::running);
  }
  Py_END_CRITICAL_SECTION();
  return result;
}

PySendResult refuse(Claim claim) noexcept {
  if (claim == Claim::running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
  } else {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
  }
  return PYGEN_ERROR;
}

// While the coroutine runs, its own exception state is the innermost one.
class ExcStateScope {
 public:
  explicit ExcStateScope(CoroutineObject* c) noexcept : c_(c), tstate_(PyThreadState_Get()) {
    c_->exc_state.previous_item = tstate_->exc_info;
    tstate_->exc_info = &c_->exc_state;
  }
  ~ExcStateScope() {
    tstate_->exc_info = c_->exc_state.previous_item;
    c_->exc_state.previous_item = nullptr;
  }
  ExcStateScope(const ExcStateScope&) = delete;
  ExcStateScope& operator=(const ExcStateScope&) = delete;

 private:
  CoroutineObject* c_;
  PyThreadState* tstate_;
};

// Lets go of the body and its frame: taken out under the lock, so that no
// reader finds them half gone, and destroyed after it (in this order: the
// body's locals, then the slots), since destructors may run any code.
void release_frame(CoroutineObject* c) noexcept {
  Ref frame_object, varkw, handled;
  Task task;
  HeapArray<Ref> frame_storage;
  Py_BEGIN_CRITICAL_SECTION(as_object(c));
  frame_object = std::move(c->frame_object);
  task = std::move(c->task);
  c->frame = nullptr;
  frame_storage = std::move(c->frame_storage);
  c->count = 0;
  varkw = std::move(c->varkw);
  handled = Ref::steal(std::exchange(c->exc_state.exc_value, nullptr));
  Py_END_CRITICAL_SECTION();
  frame_object.reset();
  task.destroy();
}

// A StopIteration leaving a coroutine becomes a RuntimeError (PEP 479),
// caused by it.
void raise_from_stop_iteration(CaughtException error) noexcept {
  if (!error.matches(PyExc_StopIteration)) {
    error.restore();
    return;
  }
  PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
  CaughtException replaced = CaughtException::fetch();
  PyException_SetCause(replaced.value().get(), error.value().ref().release());
  PyException_SetContext(replaced.value().get(), error.value().ref().release());
  replaced.restore();
}

// The body has ended: hand back its result or its exception.
PySendResult finish(CoroutineObject* c, PyObject** out) noexcept {
  Task::promise_type& p = c->task.promise();
  CaughtException error = std::move(p.error);
  Ref result = std::move(p.result);
  set_state(c, State::finished);
  release_frame(c);
  if (!error) {
    *out = result ? result.release() : Py_NewRef(Py_None);
    return PYGEN_RETURN;
  }
  raise_from_stop_iteration(std::move(error));
  return PYGEN_ERROR;
}

// An exception thrown into the body while it handles one gets that one as
// its __context__, as the interpreter chains what it throws into a
// generator. Runs inside the coroutine's ExcStateScope, so the handled
// exception PyErr_SetObject chains to is the coroutine's own.
void chain_thrown(CoroutineObject* c) noexcept {
  PyObject* handled = c->exc_state.exc_value;
  if (handled == nullptr || handled == Py_None) return;
  CaughtException thrown = CaughtException::fetch();
  Handle value = thrown.value();
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value.get())), value.get());
}

// Hands the outcome of one step of the awaited iterator to the body.
// Returns true when the body must be resumed with it.
bool deliver(CoroutineObject* c, PySendResult r, PyObject* value, PyObject** out) noexcept {
  Task::promise_type& p = c->task.promise();
  if (r == PYGEN_NEXT) {
    *out = value;  // the iterator yielded to the event loop: so do we
    return false;
  }
  p.awaiting.reset();
  if (r == PYGEN_RETURN) {
    p.sent = Ref::steal(value);
  } else {
    p.thrown = CaughtException::fetch();
  }
  return true;
}

// The step of a claimed coroutine has ended with the awaited iterator
// yielding: the coroutine is suspended until the next one.
PySendResult suspend(CoroutineObject* c) noexcept {
  set_state(c, State::suspended);
  return PYGEN_NEXT;
}

// Resumes the body of a claimed coroutine until it waits on an iterator that
// yields, or ends.
PySendResult run_body(CoroutineObject* c, PyObject** out) noexcept {
  for (;;) {
    c->task.resume();
    if (c->task.done()) return finish(c, out);
    PyObject* value = nullptr;
    PySendResult r = PyIter_Send(c->task.promise().awaiting.get(), Py_None, &value);
    if (!deliver(c, r, value, out)) return suspend(c);
  }
}

PySendResult step_send(CoroutineObject* c, PyObject* value, PyObject** out) noexcept {
  *out = nullptr;
  State was;
  if (Claim claimed = claim(c, was); claimed != Claim::claimed) return refuse(claimed);
  ExcStateScope scope(c);
  if (was == State::created) {
    if (value != Py_None) {
      set_state(c, State::created);
      PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
      return PYGEN_ERROR;
    }
    return run_body(c, out);
  }
  PyObject* result = nullptr;
  PySendResult r = PyIter_Send(c->task.promise().awaiting.get(), value, &result);
  if (!deliver(c, r, result, out)) return suspend(c);
  return run_body(c, out);
}

// getattr(o, name) into `found` when o has it: yes, no, or another error.
Truth optional_attr(Handle o, const char* name, Ref& found) {
  Ref key = TRY(intern(name));
  PyObject* value = nullptr;
  const int r = PyObject_GetOptionalAttr(o.get(), key.get(), &value);
  found = Ref::steal(value);
  return truth_of(r);
}

// Throws the pending error into the coroutine the caller has claimed (which
// was in state `was`): first into the iterator it waits on (as `yield from`
// does), then into the body.
PySendResult step_throw(CoroutineObject* c, State was, PyObject** out) noexcept {
  *out = nullptr;
  if (was == State::created) {  // raised at the first line: the body never runs
    set_state(c, State::finished);
    release_frame(c);
    if (compat::kThrowIntoNewCoroutineChecksStopIteration) raise_from_stop_iteration(CaughtException::fetch());
    return PYGEN_ERROR;
  }
  ExcStateScope scope(c);
  Task::promise_type& p = c->task.promise();
  CaughtException exc = CaughtException::fetch();
  Ref awaiting = p.awaiting;
  PySendResult r = PYGEN_ERROR;
  PyObject* value = nullptr;
  if (exc.matches(PyExc_GeneratorExit)) {
    Ref closing;
    if (optional_attr(awaiting, "close", closing) == Truth::error) PyErr_WriteUnraisable(awaiting.get());
    Ref closed = closing ? call(closing, {}) : none();
    if (closed) exc.restore();  // GeneratorExit itself then goes into the body; else close()'s error does
  } else {
    Ref throw_method;
    if (optional_attr(awaiting, "throw", throw_method) == Truth::error) {
      set_state(c, State::suspended);  // the body is untouched
      return PYGEN_ERROR;
    }
    if (!throw_method) {
      exc.restore();
    } else {
      value = call(throw_method, {exc.value()}).release();
      if (value != nullptr) {
        r = PYGEN_NEXT;
      } else if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        CaughtException stop = CaughtException::fetch();
        value = getattr(stop.value(), "value").release();
        r = value != nullptr ? PYGEN_RETURN : PYGEN_ERROR;
      }
    }
  }
  if (r == PYGEN_ERROR) chain_thrown(c);
  if (!deliver(c, r, value, out)) return suspend(c);
  return run_body(c, out);
}

PyObject* to_python(PySendResult r, PyObject* out) noexcept {
  if (r == PYGEN_NEXT) return out;
  if (r == PYGEN_RETURN) {
    Ref result = Ref::steal(out);
    if (result.is_none()) {
      PyErr_SetObject(PyExc_StopIteration, nullptr);
    } else {
      // Wrapped in an instance so that a tuple or exception result arrives intact.
      Ref stop = call(PyExc_StopIteration, {result});
      if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
    }
  }
  return nullptr;
}

// ---- Python-visible methods ---------------------------------------------------------

PySendResult coroutine_am_send(PyObject* self, PyObject* value, PyObject** out) noexcept {
  return step_send(as_coroutine(self), value, out);
}

PyObject* coroutine_send(PyObject* self, PyObject* value) noexcept {
  PyObject* out = nullptr;
  const PySendResult r = step_send(as_coroutine(self), value, &out);
  return to_python(r, out);
}

PyObject* coroutine_iternext(PyObject* self) noexcept {
  PyObject* out = nullptr;
  const PySendResult r = step_send(as_coroutine(self), Py_None, &out);
  if (r == PYGEN_RETURN && out == Py_None) {
    Ref done = Ref::steal(out);
    return nullptr;  // plain exhaustion: no StopIteration needed
  }
  return to_python(r, out);
}

// Sets the error indicator from throw()'s arguments, as generators accept
// them. The legacy (type, value, traceback) form is normalised and raised
// with the very calls the interpreter's own throw() makes, which the newer
// single-exception API cannot express.
bool set_thrown(PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
    return false;
  }
  if (nargs > 3) {
    PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
    return false;
  }
  if (compat::warn_three_argument_throw(nargs) < 0) return false;
  PyObject* type = args[0];
  PyObject* value = nargs > 1 ? args[1] : nullptr;
  PyObject* tb = nargs > 2 && args[2] != Py_None ? args[2] : nullptr;
  if (tb != nullptr && !PyTraceBack_Check(tb)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return false;
  }
  if (PyExceptionClass_Check(type)) {
    Py_INCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyErr_Restore(type, value, tb);  // whatever normalising raised is thrown in instead
    return true;
  }
  if (PyExceptionInstance_Check(type)) {
    if (value != nullptr && value != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return false;
    }
    PyObject* traceback = tb != nullptr ? Py_NewRef(tb) : PyException_GetTraceback(type);
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(type))), Py_NewRef(type), traceback);
    return true;
  }
  PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
               Py_TYPE(type)->tp_name);
  return false;
}

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  CoroutineObject* c = as_coroutine(self);
  if (!set_thrown(args, nargs)) return nullptr;
  State was;
  if (Claim claimed = claim(c, was); claimed != Claim::claimed) {
    PyErr_Clear();  // the thrown exception is dropped, as the interpreter drops it
    refuse(claimed);
    return nullptr;
  }
  PyObject* out = nullptr;
  const PySendResult r = step_throw(c, was, &out);
  return to_python(r, out);
}

PyObject* coroutine_close(PyObject* self, PyObject*) noexcept {
  CoroutineObject* c = as_coroutine(self);
  State was;
  const Claim claimed = claim(c, was);
  if (claimed == Claim::finished) Py_RETURN_NONE;
  if (claimed == Claim::running) {
    refuse(claimed);
    return nullptr;
  }
  if (was == State::created) {
    set_state(c, State::finished);
    release_frame(c);
    Py_RETURN_NONE;
  }
  PyErr_SetObject(PyExc_GeneratorExit, nullptr);
  PyObject* out = nullptr;
  const PySendResult r = step_throw(c, was, &out);
  if (r != PYGEN_ERROR) {
    Ref ignored = Ref::steal(out);
    if (r == PYGEN_RETURN) Py_RETURN_NONE;
    PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    return nullptr;
  }
  if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return nullptr;
}

// The `await` expression: a coroutine suspended under one awaiter cannot be
// driven by a second one.
PyObject* coroutine_am_await(PyObject* self) noexcept {
  if (state_of(as_coroutine(self)) == State::suspended) {
    PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
    return nullptr;
  }
  return Py_NewRef(self);
}

// The object and the frame slots it owns (not the C++ coroutine frame, which
// is the compiler's).
PyObject* coroutine_sizeof(PyObject* self, PyObject*) noexcept {
  const Py_ssize_t slots = as_coroutine(self)->count;
  return PyLong_FromSsize_t(Py_TYPE(self)->tp_basicsize + slots * static_cast<Py_ssize_t>(sizeof(Ref)));
}

// coro.__await__() itself checks nothing, as for Python's coroutines.
PyObject* coroutine_dunder_await(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

void warn_never_awaited(PyObject* self) noexcept {
  // The warnings module's own hook gives the interpreter's exact message.
  Ref warnings = Ref::steal(PyImport_ImportModule("warnings"));
  Ref hook = warnings ? getattr(warnings, "_warn_unawaited_coroutine") : Ref();
  if (hook) {
    Ref r = call(hook, {self});
    if (r) return;
  } else {
    PyErr_Clear();
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited",
                         as_coroutine(self)->function->qualname) == 0)
      return;
  }
  PyErr_WriteUnraisable(self);
}

void coroutine_finalize(PyObject* self) noexcept {
  CoroutineObject* c = as_coroutine(self);
  PyObject* pending = PyErr_GetRaisedException();
  if (state_of(c) == State::created) {
    warn_never_awaited(self);
    set_state(c, State::finished);
    release_frame(c);
  } else if (state_of(c) == State::suspended) {
    Ref r = Ref::steal(coroutine_close(self, nullptr));
    if (!r) PyErr_WriteUnraisable(self);
  }
  PyErr_SetRaisedException(pending);
}

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  CoroutineObject* c = as_coroutine(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<PyObject*>(c->function));
  Py_VISIT(c->name);
  Py_VISIT(c->qualname);
  for (Py_ssize_t i = 0; i < c->count; ++i) Py_VISIT(c->frame[i].get());
  Py_VISIT(c->varkw.get());
  Py_VISIT(c->frame_object.get());
  Py_VISIT(c->exc_state.exc_value);
  if (c->task) {
    Task::promise_type& p = c->task.promise();
    Py_VISIT(p.awaiting.get());
    Py_VISIT(p.sent.get());
    Py_VISIT(p.result.get());
    if (int r = p.thrown.traverse(visit, arg)) return r;
    if (int r = p.error.traverse(visit, arg)) return r;
  }
  return 0;
}

int coroutine_clear(PyObject* self) noexcept {
  CoroutineObject* c = as_coroutine(self);
  if (c->state != State::running) {
    if (c->state != State::created) c->state = State::finished;
    release_frame(c);
  }
  return 0;
}

void coroutine_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  PyObject_GC_UnTrack(self);
  CoroutineObject* c = as_coroutine(self);
  if (c->weaklist != nullptr) PyObject_ClearWeakRefs(self);
  release_frame(c);
  c->task.~Task();
  c->varkw.~Ref();
  c->frame_object.~Ref();
  c->frame_storage.~HeapArray();
  Py_CLEAR(c->function);
  Py_CLEAR(c->name);
  Py_CLEAR(c->qualname);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* coroutine_repr(PyObject* self) noexcept {
  return PyUnicode_FromFormat("<coroutine object %U at %p>", load(self, as_coroutine(self)->qualname).get(), self);
}

template <PyObject* CoroutineObject::* Field>
PyObject* get_naming(PyObject* self, void*) noexcept {
  return load(self, as_coroutine(self)->*Field).release();
}
template <PyObject* CoroutineObject::* Field>
int set_naming(PyObject* self, PyObject* value, void* message) noexcept {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, static_cast<const char*>(message));
    return -1;
  }
  store(self, as_coroutine(self)->*Field, value);
  return 0;
}
PyObject* get_code(PyObject* self, void*) noexcept { return Py_XNewRef(function_code(as_coroutine(self)->function)); }
PyObject* get_running(PyObject* self, void*) noexcept {
  return PyBool_FromLong(state_of(as_coroutine(self)) == State::running);
}
PyObject* get_suspended(PyObject* self, void*) noexcept {
  return PyBool_FromLong(state_of(as_coroutine(self)) == State::suspended);
}
PyObject* get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }
// The names inspect gives the states.
PyObject* get_state(PyObject* self, void*) noexcept {
  switch (state_of(as_coroutine(self))) {
    case State::created:
      return PyUnicode_InternFromString("CORO_CREATED");
    case State::suspended:
      return PyUnicode_InternFromString("CORO_SUSPENDED");
    case State::running:
      return PyUnicode_InternFromString("CORO_RUNNING");
    case State::finished:
      break;
  }
  return PyUnicode_InternFromString("CORO_CLOSED");
}

// A real frame object for the code, with the arguments as its locals, from
// creation until the coroutine has finished, the same object every time.
// Made outside the lock from the arguments taken under it, and kept unless
// another thread made one first or the coroutine finished meanwhile.
PyObject* get_frame(PyObject* self, void*) noexcept {
  CoroutineObject* c = as_coroutine(self);
  FunctionObject* f = c->function;
  const Py_ssize_t arguments = f->argcount + f->kwonlycount;
  Ref frame, varkw;
  HeapArray<Ref> values;
  if (values.allocate(static_cast<std::size_t>(arguments)) == nullptr) return nullptr;
  bool finished = false;
  Py_BEGIN_CRITICAL_SECTION(self);
  finished = state_of(c) == State::finished;
  frame = c->frame_object;
  for (Py_ssize_t i = 0; i < arguments && i < c->count; ++i) values.data()[i] = c->frame[i];
  varkw = c->varkw;
  Py_END_CRITICAL_SECTION();
  if (finished) Py_RETURN_NONE;
  if (frame) return frame.release();
  frame = Ref::steal(reinterpret_cast<PyObject*>(
      PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(load_published(f->code)), f->globals, nullptr)));
  if (!frame) return nullptr;
  Ref locals = Ref::steal(PyFrame_GetLocals(reinterpret_cast<PyFrameObject*>(frame.get())));
  if (!locals) return nullptr;
  for (Py_ssize_t i = 0; i < arguments; ++i)
    if (values.data()[i] &&
        PyObject_SetItem(locals.get(), PyTuple_GET_ITEM(f->varnames, i), values.data()[i].get()) < 0)
      return nullptr;
  if (varkw && PyObject_SetItem(locals.get(), PyTuple_GET_ITEM(f->varnames, arguments), varkw.get()) < 0)
    return nullptr;
  compat::store_frame_locals(reinterpret_cast<PyFrameObject*>(frame.get()));
  Ref result;
  Py_BEGIN_CRITICAL_SECTION(self);
  if (!c->frame_object && state_of(c) != State::finished) c->frame_object = std::move(frame);
  result = c->frame_object ? c->frame_object : none();
  Py_END_CRITICAL_SECTION();
  return result.release();
}
PyObject* get_await(PyObject* self, void*) noexcept {
  CoroutineObject* c = as_coroutine(self);
  Ref awaiting;
  Py_BEGIN_CRITICAL_SECTION(self);
  if (state_of(c) == State::suspended && c->task) awaiting = c->task.promise().awaiting;
  Py_END_CRITICAL_SECTION();
  return awaiting ? awaiting.release() : Py_NewRef(Py_None);
}

char kNameDoc[] = "name of the coroutine";
char kNameMessage[] = "__name__ must be set to a string object";
char kQualnameMessage[] = "__qualname__ must be set to a string object";
char kQualnameDoc[] = "qualified name of the coroutine";
char kAwaitDoc[] = "object being awaited on, or None";
char kStateDoc[] = "state of the coroutine";

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_naming<&CoroutineObject::name>, set_naming<&CoroutineObject::name>, kNameDoc, kNameMessage},
    {"__qualname__", get_naming<&CoroutineObject::qualname>, set_naming<&CoroutineObject::qualname>, kQualnameDoc,
     kQualnameMessage},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, kAwaitDoc, nullptr},
    // Last: where coroutines have no state, its empty name ends the table.
    {compat::kCoroutinesHaveState ? "cr_state" : nullptr, get_state, nullptr, kStateDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)), METH_FASTCALL,
     compat::kCoroutineThrowDoc},
    {"close", coroutine_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {"__sizeof__", coroutine_sizeof, METH_NOARGS, "gen.__sizeof__() -> size of gen in memory, in bytes"},
    {"__await__", coroutine_dunder_await, METH_NOARGS, "Return an iterator to be used in await expression."},
    // Last: where coroutines are not generic, its empty name ends the table.
    {compat::kCoroutinesAreGeneric ? "__class_getitem__" : nullptr, Py_GenericAlias, METH_O | METH_CLASS,
     compat::kCoroutineClassGetitemDoc},
    {nullptr, nullptr, 0, nullptr}};

PyMemberDef coroutine_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CoroutineObject, weaklist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot coroutine_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(coroutine_dealloc)},
                                 {Py_tp_traverse, reinterpret_cast<void*>(coroutine_traverse)},
                                 {Py_tp_clear, reinterpret_cast<void*>(coroutine_clear)},
                                 {Py_tp_finalize, reinterpret_cast<void*>(coroutine_finalize)},
                                 {Py_tp_repr, reinterpret_cast<void*>(coroutine_repr)},
                                 {Py_tp_iternext, reinterpret_cast<void*>(coroutine_iternext)},
                                 {Py_tp_methods, coroutine_methods},
                                 {Py_tp_getset, coroutine_getset},
                                 {Py_tp_members, coroutine_members},
                                 {Py_am_await, reinterpret_cast<void*>(coroutine_am_await)},
                                 {Py_am_send, reinterpret_cast<void*>(coroutine_am_send)},
                                 {0, nullptr}};

PyType_Spec coroutine_spec = {
    "zentrova_sdk.coroutine", sizeof(CoroutineObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coroutine_slots};

}  // namespace

PyType_Spec* coroutine_type_spec() noexcept { return &coroutine_spec; }

namespace {

// The coroutine type is made with the module's first coroutine: a program
// that only uses its synchronous functions never pays for it.
// Threads that make the first coroutines at once may each make a type: the
// first one kept in the module state is the module's (under the module's
// critical section), and each function keeps that one.
PyTypeObject* coroutine_type_of(FunctionObject* function) {
  if (PyTypeObject* type = load_published(function->coroutine_type)) return type;
  if (function->module == nullptr) {  // torn down by the collector
    PyErr_SetString(PyExc_RuntimeError, "module is not initialised");
    return nullptr;
  }
  PyObject* module = function->module;
  NativeTypes& types = native_types(module);
  Ref type = load(module, types.coroutine);
  if (!type) {
    Ref made = make_coroutine_type(module);
    if (!made) return nullptr;
    Py_BEGIN_CRITICAL_SECTION(module);
    if (!types.coroutine) types.coroutine = std::move(made);
    type = types.coroutine;
    Py_END_CRITICAL_SECTION();
  }
  return publish(function->coroutine_type, std::move(type));
}

}  // namespace

Ref make_coroutine(FunctionObject* function, Ref* frame, Py_ssize_t count, Ref varkw) {
  PyTypeObject* type = coroutine_type_of(function);
  if (type == nullptr) return failure;
  // cr_code and cr_frame need the code object.
  PyObject* code = function_code(function);
  if (code == nullptr) return failure;
  if (code == Py_None) return raise(PyExc_RuntimeError, "module is not initialised");
  Ref self = TRY(Ref::steal(type->tp_alloc(type, 0)));
  CoroutineObject* c = as_coroutine(self.get());
  new (&c->varkw) Ref(std::move(varkw));
  new (&c->frame_object) Ref();
  new (&c->task) Task();
  new (&c->frame_storage) HeapArray<Ref>();
  c->exc_state = {};
  c->state = State::finished;  // until it is whole: a coroutine that failed to be made was never due to be awaited
  c->function = reinterpret_cast<FunctionObject*>(Py_NewRef(reinterpret_cast<PyObject*>(function)));
  c->name = load(self_of(function), function->name).release();
  c->qualname = load(self_of(function), function->qualname).release();
  c->frame = c->frame_storage.allocate(static_cast<std::size_t>(count));
  if (c->frame == nullptr) return failure;
  c->count = count;
  for (Py_ssize_t i = 0; i < count; ++i) c->frame[i] = std::move(frame[i]);
  c->task = function->coroutine(Args(function, c->frame, c->varkw));
  if (!c->task) return failure;  // no memory for the body's frame
  c->state = State::created;
  return self;
}

}  // namespace zcore
