// What differs between the interpreters the modules support (CPython 3.11
// to 3.15), in one place: the newer C API is provided on the older versions,
// and what the interpreter itself does differently is a constant or a
// function here. Everything else is written against the 3.13 API and tests
// no version of its own.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#if PY_VERSION_HEX >= 0x030E0000
#include <opcode.h>  // the opcode numbers, for forwarding_bytecode()
#endif

#include <string_view>

// CMakeLists.txt refuses other interpreters at configure time already.
#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x03100000
#error "zentrova_sdk supports CPython 3.11 to 3.15"
#endif
#if defined(Py_GIL_DISABLED) && (PY_VERSION_HEX < 0x030E0000 || PY_VERSION_HEX >= 0x030F0000)
#error "zentrova_sdk supports the free-threaded build of CPython 3.14 only"
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

// Renamed in 3.12, unchanged in its parameters.
#define PyUnstable_Code_NewWithPosOnlyArgs PyCode_NewWithPosOnlyArgs

#endif

// ---- the 3.13 API on 3.11 and 3.12 --------------------------------------------------
#if PY_VERSION_HEX < 0x030D0000

// The same lookup under its older, private name.
inline int PyObject_GetOptionalAttr(PyObject* o, PyObject* name, PyObject** result) noexcept {
  return _PyObject_LookupAttr(o, name, result);
}

// A dict lookup that hands out a strong reference: with the GIL, the
// borrowed one cannot go away before the caller takes it.
inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) noexcept {
  PyObject* item = PyDict_GetItemWithError(dict, key);
  *result = Py_XNewRef(item);
  if (item != nullptr) return 1;
  return PyErr_Occurred() ? -1 : 0;
}

// Critical sections lock an object where there is no GIL; with the GIL they
// are plain blocks, as 3.13 defines them for that build.
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }

#endif

// The module slot that declares that a module is safe without the GIL,
// since 3.13: a free-threaded interpreter would otherwise turn the GIL back
// on to import it.
#if PY_VERSION_HEX >= 0x030D0000
#define ZCORE_GIL_NOT_USED_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define ZCORE_GIL_NOT_USED_SLOT
#endif

namespace zcore::compat {

// The free-threaded build (PEP 703): no GIL, so what the GIL guaranteed for
// the modules' own objects comes from critical sections and atomics.
#ifdef Py_GIL_DISABLED
inline constexpr bool kFreeThreaded = true;
#else
inline constexpr bool kFreeThreaded = false;
#endif

// ---- what the interpreter's compiler and class statement do ---------------------------

// 3.13's compiler removes the common indentation of a docstring's lines
// after the first (and the leading blanks of the first).
inline constexpr bool kCompilerDedentsDocstrings = PY_VERSION_HEX >= 0x030D0000;
// Since 3.13 a class statement records its first line and the attributes its
// methods assign through `self.` in the class namespace.
inline constexpr bool kClassStatementRecordsAttributes = PY_VERSION_HEX >= 0x030D0000;
// Since 3.12 the compiler inlines comprehensions into the function that
// holds them (PEP 709) instead of making each a function of its own.
inline constexpr bool kComprehensionsInlined = PY_VERSION_HEX >= 0x030C0000;
// Since 3.12 functions have __type_params__ (the empty tuple when not generic).
inline constexpr bool kFunctionsHaveTypeParams = PY_VERSION_HEX >= 0x030C0000;
// Since 3.14 (PEP 649 and 749) a function with annotations has __annotate__,
// a function the compiler makes beside it that builds the annotations on
// demand; __annotations__ is filled from it when first read. Under `from
// __future__ import annotations` it returns the texts, for the formats up to
// VALUE_WITH_FAKE_GLOBALS (2), and raises NotImplementedError for the others.
inline constexpr bool kFunctionsHaveAnnotate = PY_VERSION_HEX >= 0x030E0000;

// The co_flags the compiler adds since 3.14: CO_METHOD for a function defined
// in a class body, CO_HAS_DOCSTRING for one whose docstring it kept.
inline int code_flags(bool method, bool has_docstring) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
  return (method ? CO_METHOD : 0) | (has_docstring ? CO_HAS_DOCSTRING : 0);
#else
  (void)method;
  (void)has_docstring;
  return 0;
#endif
}

// The co_qualname of the code of a function's __annotate__: in 3.14 the
// compiler names it after the scope around the def ("K.__annotate__" for a
// method K.m, "__annotate__" at module level); since 3.15 after the function
// itself ("K.m.__annotate__").
inline PyObject* annotate_code_qualname(PyObject* function_qualname) noexcept {
#if PY_VERSION_HEX >= 0x030F0000
  return PyUnicode_FromFormat("%U.__annotate__", function_qualname);
#else
  const Py_ssize_t dot = PyUnicode_FindChar(function_qualname, '.', 0, PyUnicode_GET_LENGTH(function_qualname), -1);
  if (dot == -2) return nullptr;
  if (dot == -1) return PyUnicode_FromString("__annotate__");
  PyObject* scope = PyUnicode_Substring(function_qualname, 0, dot);
  if (scope == nullptr) return nullptr;
  PyObject* name = PyUnicode_FromFormat("%U.__annotate__", scope);
  Py_DECREF(scope);
  return name;
#endif
}

// annotationlib runs the code of a function's __annotate__ itself, with
// stand-in globals, to make the STRING format; so that code is
// `return <constant 0>(<argument 0>)`, the constant being the native body.
// Its bytecode as a new bytes object, on the versions that have __annotate__.
// The opcode numbers come from the interpreter's opcode.h; how many inline
// cache entries follow each instruction is only in an internal table, so
// those counts are written here.
inline constexpr int kForwardingStackSize = 3;  // the callable, NULL, the argument
inline PyObject* forwarding_bytecode() noexcept {
#if PY_VERSION_HEX >= 0x030E0000
  struct Instruction {
    int opcode, arg, caches;
  };
  constexpr int resume_caches = PY_VERSION_HEX >= 0x030F0000 ? 1 : 0;
  constexpr Instruction body[] = {{RESUME, 0, resume_caches}, {LOAD_CONST, 0, 0}, {PUSH_NULL, 0, 0},
                                  {LOAD_FAST, 0, 0},          {CALL, 1, 3},       {RETURN_VALUE, 0, 0}};
  char code[64];
  Py_ssize_t size = 0;
  for (const Instruction& i : body) {
    code[size++] = static_cast<char>(i.opcode);
    code[size++] = static_cast<char>(i.arg);
    for (int c = 0; c < 2 * i.caches; ++c) code[size++] = 0;  // CACHE 0
  }
  return PyBytes_FromStringAndSize(code, size);
#else
  PyErr_SetString(PyExc_SystemError, "functions have no __annotate__ on this interpreter");
  return nullptr;
#endif
}

// ---- lookups ------------------------------------------------------------------------

// An attribute of a type found along its MRO without binding it, as the
// interpreter looks up special methods: a new reference, or NULL without an
// error. The C API has only this private lookup; since 3.14 it also comes
// returning a strong reference, which stays valid while other threads change
// the type.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
  return _PyType_LookupRef(type, name);
#else
  return Py_XNewRef(_PyType_Lookup(type, name));
#endif
}

// ---- what the interpreter's statements do --------------------------------------------

// Since 3.14 `with` looks __exit__ up before __enter__.
inline constexpr bool kWithLooksUpExitFirst = PY_VERSION_HEX >= 0x030E0000;

// The TypeError of `with` on an object whose type lacks `method` (__enter__
// or __exit__). Since 3.14 it names the type by its fully qualified name and
// the missing method whichever it is, and points to `async with` when the
// type has both asynchronous methods; before, only a missing __exit__ is
// named.
inline void raise_not_a_context_manager(PyObject* manager, const char* method) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
  auto has_method = [&](const char* name) {
    PyObject* key = PyUnicode_InternFromString(name);
    PyObject* found = key != nullptr ? type_lookup(Py_TYPE(manager), key) : nullptr;
    const bool bindable = found != nullptr && Py_TYPE(found)->tp_descr_get != nullptr;
    Py_XDECREF(found);
    Py_XDECREF(key);
    return bindable;
  };
  const bool asynchronous = has_method("__aenter__") && has_method("__aexit__");
  PyErr_Clear();  // a lookup sets no error; a failure to make the name only drops the hint
  PyErr_Format(PyExc_TypeError,
               asynchronous ? "'%T' object does not support the context manager protocol (missed %s method) but it "
                              "supports the asynchronous context manager protocol. Did you mean to use 'async with'?"
                            : "'%T' object does not support the context manager protocol (missed %s method)",
               manager, method);
#else
  const bool exit = std::string_view(method) == "__exit__";
  PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
               Py_TYPE(manager)->tp_name, exit ? " (missed __exit__ method)" : "");
#endif
}

// ---- what the interpreter's own objects do ------------------------------------------

// Before 3.12 a coroutine's first instruction already lies inside the guard
// that turns a StopIteration leaving the body into a RuntimeError (PEP 479),
// so one thrown into a coroutine that never ran is turned too; since 3.12 it
// leaves as it came.
inline constexpr bool kThrowIntoNewCoroutineChecksStopIteration = PY_VERSION_HEX < 0x030C0000;

// Writes a frame's f_locals mapping back into its fast locals. Since 3.13
// f_locals writes through (PEP 667) and there is nothing to do.
inline void store_frame_locals(PyFrameObject* frame) noexcept {
#if PY_VERSION_HEX < 0x030D0000
  PyFrame_LocalsToFast(frame, 0);
#else
  (void)frame;
#endif
}

// The "Did you mean ...?" that 3.13 adds to an unexpected keyword argument:
// the closest of `candidates` (a list of names) to `name`, or NULL without an
// error when there is none or the interpreter makes no suggestions. The
// routine is the interpreter's own (it has no public C API), so the
// suggestion is exactly the one its Python functions make.
inline PyObject* keyword_suggestion(PyObject* candidates, PyObject* name) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* module = PyImport_ImportModule("_suggestions");
  PyObject* suggestion =
      module != nullptr ? PyObject_CallMethod(module, "_generate_suggestions", "OO", candidates, name) : nullptr;
  Py_XDECREF(module);
  if (suggestion == nullptr || suggestion == Py_None) {
    // As in the interpreter, a failure to suggest only drops the suggestion.
    PyErr_Clear();
    Py_XDECREF(suggestion);
    return nullptr;
  }
  return suggestion;
#else
  (void)candidates;
  (void)name;
  return nullptr;
#endif
}

// Since 3.12, throw(type, value, traceback) warns that the three-argument
// form is deprecated. Returns -1 when the warning was turned into an error.
inline int warn_three_argument_throw(Py_ssize_t nargs) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  if (nargs > 1)
    return PyErr_WarnEx(PyExc_DeprecationWarning,
                        "the (type, exc, tb) signature of throw() is deprecated, use the single-arg signature instead.",
                        1);
#else
  (void)nargs;
#endif
  return 0;
}

// The docstring of coroutine.throw(), which gained a deprecation note in 3.12.
inline constexpr const char kCoroutineThrowDoc[] =
    "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated value or "
    "raise\nStopIteration."
#if PY_VERSION_HEX >= 0x030C0000
    "\nthe (type, val, tb) signature is deprecated, \nand may be removed in a future version of Python."
#endif
    ;
// Since 3.13 coroutine types are generic: types.CoroutineType[...] works.
inline constexpr bool kCoroutinesAreGeneric = PY_VERSION_HEX >= 0x030D0000;
// The docstring of coroutine.__class_getitem__, rewritten in 3.14.
inline constexpr const char* kCoroutineClassGetitemDoc =
    PY_VERSION_HEX >= 0x030E0000 ? "coroutines are generic over the types of their yield, send, and return values"
                                 : "See PEP 585";
// Since 3.15 a coroutine tells its state (cr_state), which
// inspect.getcoroutinestate() returns.
inline constexpr bool kCoroutinesHaveState = PY_VERSION_HEX >= 0x030F0000;

}  // namespace zcore::compat
