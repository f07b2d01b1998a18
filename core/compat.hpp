// What differs between the interpreters the modules support (CPython 3.11
// to 3.13), in one place: the newer C API is provided on the older versions,
// and what the interpreter itself does differently is a constant or a
// function here. Everything else is written against the 3.13 API and tests
// no version of its own.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030E0000
#error "zentrova_sdk supports CPython 3.11, 3.12 and 3.13"
#endif

// ---- the 3.12 API on 3.11 ----------------------------------------------------------
#if PY_VERSION_HEX < 0x030C0000

inline PyObject* PyErr_GetRaisedException() noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
}

inline void PyErr_SetRaisedException(PyObject* exc) noexcept {
  if (exc == nullptr) {
    PyErr_Restore(nullptr, nullptr, nullptr);
    return;
  }
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
}

// 3.11 has the field, 3.12 the function.
inline PyCodeObject* PyGen_GetCode(PyGenObject* gen) noexcept {
  return reinterpret_cast<PyCodeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(gen->gi_code)));
}

inline PyObject* PyType_GetDict(PyTypeObject* type) noexcept { return Py_NewRef(type->tp_dict); }

#endif
