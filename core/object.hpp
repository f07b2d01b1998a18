// The object protocol, as the modules use it: every operation goes through
// the object (attribute lookup, comparison, truth, formatting, calls), so
// overrides, monkeypatching and fake objects behave as they would in Python.
// Each function throws ErrorAlreadySet when the interpreter reports an error.
#pragma once

#include <initializer_list>
#include <string_view>
#include <utility>

#include "ref.hpp"

namespace zcore {

// ---- text ----------------------------------------------------------------
Ref text(std::string_view s);
Ref intern(const char* s);  // for names used as attribute or dict keys

// ---- attributes ------------------------------------------------------------
inline Ref getattr(Handle o, Handle name) { return Ref::check(PyObject_GetAttr(o.get(), name.get())); }
inline Ref getattr(Handle o, const char* name) { return Ref::check(PyObject_GetAttrString(o.get(), name)); }
inline void setattr(Handle o, Handle name, Handle value) {
  if (PyObject_SetAttr(o.get(), name.get(), value.get()) < 0) throw_error_set();
}
inline void setattr(Handle o, const char* name, Handle value) {
  if (PyObject_SetAttrString(o.get(), name, value.get()) < 0) throw_error_set();
}

// ---- items -------------------------------------------------------------------
inline Ref getitem(Handle o, Handle key) { return Ref::check(PyObject_GetItem(o.get(), key.get())); }
inline void setitem(Handle o, Handle key, Handle value) {
  if (PyObject_SetItem(o.get(), key.get(), value.get()) < 0) throw_error_set();
}
inline bool contains(Handle container, Handle item) {  // `item in container`
  int r = PySequence_Contains(container.get(), item.get());
  if (r < 0) throw_error_set();
  return r == 1;
}
// A plain dict being built by the module itself (never a caller's mapping).
inline void dict_set(Handle dict, Handle key, Handle value) {
  if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw_error_set();
}
inline void dict_set(Handle dict, const char* key, Handle value) {
  if (PyDict_SetItemString(dict.get(), key, value.get()) < 0) throw_error_set();
}
inline Ref new_dict() { return Ref::check(PyDict_New()); }
inline Ref new_list() { return Ref::check(PyList_New(0)); }
inline void list_append(Handle list, Handle item) {
  if (PyList_Append(list.get(), item.get()) < 0) throw_error_set();
}
Ref tuple(std::initializer_list<Handle> items);

// ---- truth, comparison, type tests ------------------------------------------------
inline bool truthy(Handle o) {  // `bool(o)`, or an `if o:` test
  int r = PyObject_IsTrue(o.get());
  if (r < 0) throw_error_set();
  return r == 1;
}
inline bool compare(Handle a, Handle b, int op) {  // `if a <op> b:`
  return truthy(Ref::check(PyObject_RichCompare(a.get(), b.get(), op)));
}
inline bool isinstance(Handle o, Handle cls) {
  int r = PyObject_IsInstance(o.get(), cls.get());
  if (r < 0) throw_error_set();
  return r == 1;
}

// ---- text forms and arithmetic ---------------------------------------------------------
inline Ref format(Handle o) {  // f"{o}"
  return Ref::check(PyObject_Format(o.get(), nullptr));
}
inline Ref str(Handle o) { return Ref::check(PyObject_Str(o.get())); }  // str(o)
Ref concat(std::initializer_list<Handle> texts);                        // "".join of texts
inline Ref add(Handle a, Handle b) { return Ref::check(PyNumber_Add(a.get(), b.get())); }
inline Ref subtract(Handle a, Handle b) { return Ref::check(PyNumber_Subtract(a.get(), b.get())); }
inline Ref multiply(Handle a, Handle b) { return Ref::check(PyNumber_Multiply(a.get(), b.get())); }
inline Ref true_divide(Handle a, Handle b) { return Ref::check(PyNumber_TrueDivide(a.get(), b.get())); }
inline Ref power(Handle a, Handle b) { return Ref::check(PyNumber_Power(a.get(), b.get(), Py_None)); }
inline Ref integer(long v) { return Ref::check(PyLong_FromLong(v)); }
inline Ref floating(double v) { return Ref::check(PyFloat_FromDouble(v)); }

// ---- iteration ---------------------------------------------------------------------
inline Ref iterate(Handle o) { return Ref::check(PyObject_GetIter(o.get())); }
// Next item, or an empty Ref once the iterator is exhausted.
inline Ref next(Handle iterator) {
  PyObject* item = PyIter_Next(iterator.get());
  if (item == nullptr && PyErr_Occurred()) throw_error_set();
  return Ref::steal(item);
}

// `a, b = pair`, with the interpreter's messages for a wrong length.
std::pair<Ref, Ref> unpack2(Handle pair);

// ---- calls -------------------------------------------------------------------------
// f(*args)
Ref call(Handle f, std::initializer_list<Handle> args = {});
// f(*positional, **dict(zip(kwnames, keyword_values))): `args` holds the
// positional values followed by one value per name in the tuple `kwnames`.
Ref call_kw(Handle f, std::initializer_list<Handle> args, Handle kwnames);
// f(*args, **kwargs) with a dict of keyword arguments (may be empty).
Ref call_dict(Handle f, Handle args_tuple, Handle kwargs);
// self.name(*args): looked up on the object at the moment of the call.
Ref call_method(Handle self, Handle name, std::initializer_list<Handle> args = {});

// ---- modules -------------------------------------------------------------------------
inline Ref import(const char* dotted) { return Ref::check(PyImport_ImportModule(dotted)); }
// `from module import name`
Ref import_from(const char* module, const char* name);

// ---- interned names -------------------------------------------------------------------
// The attribute names and keys a module uses, interned once at initialisation
// and indexed by an enumeration generated from the same list.
template <class Index, std::size_t N>
class NameTable {
 public:
  void create(const char* const (&texts)[N]) {
    for (std::size_t i = 0; i < N; ++i) refs_[i] = intern(texts[i]);
  }
  Handle operator[](Index i) const noexcept { return refs_[static_cast<std::size_t>(i)]; }
  template <class F>
  void for_each_ref(F&& f) {
    for (Ref& r : refs_) f(r);
  }

 private:
  Ref refs_[N];
};

}  // namespace zcore
