#include "error.hpp"

namespace zcore {

CaughtException CaughtException::fetch() noexcept {
  CaughtException caught;
  caught.value_ = Ref::steal(PyErr_GetRaisedException());
  return caught;
}

Failure CaughtException::restore() noexcept {
  if (value_) PyErr_SetRaisedException(value_.release());
  return failure;
}

Failure raise_object(Handle exc) {
  Ref instance = exc.ref();
  if (PyExceptionClass_Check(exc.get())) {
    instance = TRY(call(exc));
    if (!PyExceptionInstance_Check(instance.get())) {
      PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R", exc.get(),
                   Py_TYPE(instance.get()));
      return failure;
    }
  } else if (!PyExceptionInstance_Check(exc.get())) {
    return raise(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  // With an instance, PyErr_SetObject chains the handled exception as
  // __context__, exactly as the interpreter's `raise` does.
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance.get());
  return failure;
}

Failure raise(Handle cls, Handle message) { return raise_object(TRY(call(cls, {message}))); }

Failure raise(PyObject* builtin_cls, const char* message) {
  PyErr_SetString(builtin_cls, message);
  return failure;
}

namespace detail {

Ref special_method(Handle manager, const char* name) {
  PyTypeObject* type = Py_TYPE(manager.get());
  // Looked up on the type only, skipping the instance and the metaclass, as
  // the `with` statement does.
  Ref method = Ref::steal(compat::type_lookup(type, TRY(intern(name)).get()));
  if (!method) {
    compat::raise_not_a_context_manager(manager.get(), name);
    return failure;
  }
  descrgetfunc bind = Py_TYPE(method.get())->tp_descr_get;
  if (bind == nullptr) return method;
  return Ref::steal(bind(method.get(), manager.get(), reinterpret_cast<PyObject*>(type)));
}

Truth exit_with_exception(Handle exit, const CaughtException& caught) {
  Handle value = caught.value();
  Ref traceback = Ref::steal(PyException_GetTraceback(value.get()));
  Ref suppress = TRY(call(exit, {reinterpret_cast<PyObject*>(Py_TYPE(value.get())), value,
                                 traceback ? Handle(traceback) : Handle(Py_None)}));
  return truthy(suppress);
}

}  // namespace detail

}  // namespace zcore
