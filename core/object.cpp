#include "object.hpp"

#include <vector>

#include "error.hpp"

namespace zcore {

Ref text(std::string_view s) {
  return Ref::check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

Ref intern(const char* s) { return Ref::check(PyUnicode_InternFromString(s)); }

Ref tuple(std::initializer_list<Handle> items) {
  Ref t = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (Handle item : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(item.get()));
  return t;
}

Ref concat(std::initializer_list<Handle> texts) {
  Ref parts = tuple(texts);
  Ref empty = Ref::check(PyUnicode_FromStringAndSize("", 0));
  return Ref::check(PyUnicode_Join(empty.get(), parts.get()));
}

namespace {

// Vectorcall needs a writable slot in front of the arguments so that a bound
// method can prepend `self` without copying (PY_VECTORCALL_ARGUMENTS_OFFSET).
constexpr std::size_t kInlineArgs = 8;

struct ArgVector {
  PyObject* inline_slots[kInlineArgs + 1];
  std::vector<PyObject*> heap;
  PyObject** slots;

  explicit ArgVector(std::initializer_list<Handle> args) {
    slots = inline_slots;
    if (args.size() > kInlineArgs) {
      heap.resize(args.size() + 1);
      slots = heap.data();
    }
    slots[0] = nullptr;
    std::size_t i = 1;
    for (Handle a : args) slots[i++] = a.get();
  }
  PyObject* const* argv() const { return slots + 1; }
};

}  // namespace

Ref call(Handle f, std::initializer_list<Handle> args) {
  ArgVector v(args);
  return Ref::check(PyObject_Vectorcall(f.get(), v.argv(), args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call_kw(Handle f, std::initializer_list<Handle> args, Handle kwnames) {
  ArgVector v(args);
  const std::size_t nkw = static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames.get()));
  const std::size_t npos = args.size() - nkw;
  return Ref::check(PyObject_Vectorcall(f.get(), v.argv(), npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

Ref call_dict(Handle f, Handle args_tuple, Handle kwargs) {
  return Ref::check(PyObject_Call(f.get(), args_tuple.get(), kwargs.get()));
}

Ref call_method(Handle self, Handle name, std::initializer_list<Handle> args) {
  PyObject* inline_slots[kInlineArgs + 1];
  std::vector<PyObject*> heap;
  PyObject** slots = inline_slots;
  if (args.size() > kInlineArgs) {
    heap.resize(args.size() + 1);
    slots = heap.data();
  }
  slots[0] = self.get();
  std::size_t i = 1;
  for (Handle a : args) slots[i++] = a.get();
  return Ref::check(
      PyObject_VectorcallMethod(name.get(), slots, (args.size() + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

std::pair<Ref, Ref> unpack2(Handle pair) {
  if ((PyTuple_CheckExact(pair.get()) || PyList_CheckExact(pair.get())) && PySequence_Fast_GET_SIZE(pair.get()) == 2) {
    PyObject** items = PySequence_Fast_ITEMS(pair.get());
    return {Ref::borrow(items[0]), Ref::borrow(items[1])};
  }
  PyObject* iterator = PyObject_GetIter(pair.get());
  if (iterator == nullptr) {
    // The interpreter's own wording for `a, b = value` on a value that cannot be iterated.
    PyTypeObject* type = Py_TYPE(pair.get());
    if (PyErr_ExceptionMatches(PyExc_TypeError) && type->tp_iter == nullptr && !PySequence_Check(pair.get())) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type->tp_name);
    }
    throw_error_set();
  }
  Ref it = Ref::steal(iterator);
  Ref first = next(it);
  Ref second = first ? next(it) : Ref();
  if (!second) {
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", first ? 1 : 0);
    throw_error_set();
  }
  if (next(it)) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  return {std::move(first), std::move(second)};
}

Ref import_from(const char* module, const char* name) {
  Ref fromlist = tuple({intern(name)});
  Ref mod = Ref::check(PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.get(), 0));
  PyObject* value = PyObject_GetAttrString(mod.get(), name);
  if (value != nullptr) return Ref::steal(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error_set();
  PyErr_Clear();
  PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
  throw_error_set();
}

}  // namespace zcore
