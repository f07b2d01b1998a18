#include "object.hpp"

#include "storage.hpp"

#include <cstdint>
#include <cstring>

namespace zcore {

namespace {

bool is_ascii(std::string_view s) noexcept {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    if (word & kHighBits) return false;
  }
  for (; i < s.size(); ++i)
    if (static_cast<unsigned char>(s[i]) & 0x80) return false;
  return true;
}

}  // namespace

Ref text(std::string_view s) {
  const auto size = static_cast<Py_ssize_t>(s.size());
  // The modules' own texts are ASCII: copied as they are, which is what the
  // UTF-8 decoder would make of them. (It also gives the empty and the
  // one-character strings the interpreter's shared objects.)
  if (size > 1 && is_ascii(s)) {
    PyObject* made = PyUnicode_New(size, 127);
    if (made == nullptr) return failure;
    std::memcpy(PyUnicode_1BYTE_DATA(made), s.data(), s.size());
    return Ref::steal(made);
  }
  return Ref::steal(PyUnicode_FromStringAndSize(s.data(), size));
}

Ref intern(const char* s) { return Ref::steal(PyUnicode_InternFromString(s)); }

Ref tuple(std::initializer_list<Handle> items) {
  Ref t = TRY(Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size()))));
  Py_ssize_t i = 0;
  for (Handle item : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(item.get()));
  return t;
}

Ref concat(std::initializer_list<Handle> texts) {
  Ref parts = TRY(tuple(texts));
  Ref empty = TRY(Ref::steal(PyUnicode_FromStringAndSize("", 0)));
  return Ref::steal(PyUnicode_Join(empty.get(), parts.get()));
}

namespace {

// Vectorcall needs a writable slot in front of the arguments so that a bound
// method can prepend `self` without copying (PY_VECTORCALL_ARGUMENTS_OFFSET).
constexpr std::size_t kInlineArgs = 8;

// The arguments after the writable slot: inline, or for a longer call on
// the heap (nullptr with MemoryError set when that fails).
PyObject** argument_slots(PyObject* (&inline_slots)[kInlineArgs + 1], HeapArray<PyObject*>& heap, std::size_t count) {
  if (count <= kInlineArgs) return inline_slots;
  return heap.allocate(count + 1);
}

// f(*args), the last len(kwnames) of them by keyword when there are kwnames.
Ref vectorcall(Handle f, std::initializer_list<Handle> args, PyObject* kwnames) {
  PyObject* inline_slots[kInlineArgs + 1];
  HeapArray<PyObject*> heap;
  PyObject** slots = argument_slots(inline_slots, heap, args.size());
  if (slots == nullptr) return failure;
  std::size_t i = 1;
  for (Handle a : args) slots[i++] = a.get();
  const std::size_t nkw = kwnames != nullptr ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
  return Ref::steal(
      PyObject_Vectorcall(f.get(), slots + 1, (args.size() - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

}  // namespace

Ref call(Handle f, std::initializer_list<Handle> args) { return vectorcall(f, args, nullptr); }

Ref call_kw(Handle f, std::initializer_list<Handle> args, Handle kwnames) { return vectorcall(f, args, kwnames.get()); }

Ref call_dict(Handle f, Handle args_tuple, Handle kwargs) {
  return Ref::steal(PyObject_Call(f.get(), args_tuple.get(), kwargs.get()));
}

Ref call_method(Handle self, Handle name, std::initializer_list<Handle> args) {
  PyObject* inline_slots[kInlineArgs + 1];
  HeapArray<PyObject*> heap;
  PyObject** slots = argument_slots(inline_slots, heap, args.size());
  if (slots == nullptr) return failure;
  slots[0] = self.get();
  std::size_t i = 1;
  for (Handle a : args) slots[i++] = a.get();
  return Ref::steal(
      PyObject_VectorcallMethod(name.get(), slots, (args.size() + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Status unpack2(Handle pair, Ref& first, Ref& second) {
  if (PyTuple_CheckExact(pair.get()) || PyList_CheckExact(pair.get())) {
    bool taken = false;
    // Another thread may change a list meanwhile: its items are taken under its lock.
    Py_BEGIN_CRITICAL_SECTION(pair.get());
    if (PySequence_Fast_GET_SIZE(pair.get()) == 2) {
      PyObject** items = PySequence_Fast_ITEMS(pair.get());
      first = Ref::borrow(items[0]);
      second = Ref::borrow(items[1]);
      taken = true;
    }
    Py_END_CRITICAL_SECTION();
    if (taken) return Status::ok;
  }
  Ref it = Ref::steal(PyObject_GetIter(pair.get()));
  if (!it) {
    // The interpreter's own wording for `a, b = value` on a value that cannot be iterated.
    PyTypeObject* type = Py_TYPE(pair.get());
    if (PyErr_ExceptionMatches(PyExc_TypeError) && type->tp_iter == nullptr && !PySequence_Check(pair.get())) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type->tp_name);
    }
    return failure;
  }
  int got = 0;
  for (Ref* slot : {&first, &second}) {
    if (!TRY(next(it, *slot))) {
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", got);
      return failure;
    }
    ++got;
  }
  Ref extra;
  if (TRY(next(it, extra))) {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    return failure;
  }
  return Status::ok;
}

Ref import_name(Handle source, const char* module, Handle name) {
  Ref value = Ref::steal(PyObject_GetAttr(source.get(), name.get()));
  if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
  PyErr_Clear();
  PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%s'", name.get(), module);
  return failure;
}

}  // namespace zcore
