// The object protocol, as the modules use it: every operation goes through
// the object (attribute lookup, comparison, truth, formatting, calls), so
// overrides, monkeypatching and fake objects behave as they would in Python.
// Each function reports a Python error by its result (result.hpp); the
// handles it is given are never empty.
#pragma once

#include <initializer_list>
#include <string_view>
#include <utility>

#include "result.hpp"

namespace zcore {

// ---- text ----------------------------------------------------------------
Ref text(std::string_view s);
Ref intern(const char* s);  // for names used as attribute or dict keys

// ---- attributes ------------------------------------------------------------
inline Ref getattr(Handle o, Handle name) { return Ref::steal(PyObject_GetAttr(o.get(), name.get())); }
inline Ref getattr(Handle o, const char* name) {
  return Ref::steal(PyObject_GetAttr(o.get(), TRY(intern(name)).get()));
}
inline Status setattr(Handle o, Handle name, Handle value) {
  return status_of(PyObject_SetAttr(o.get(), name.get(), value.get()));
}
inline Status setattr(Handle o, const char* name, Handle value) {
  return status_of(PyObject_SetAttrString(o.get(), name, value.get()));
}

// ---- items -------------------------------------------------------------------
inline Ref getitem(Handle o, Handle key) { return Ref::steal(PyObject_GetItem(o.get(), key.get())); }
inline Status setitem(Handle o, Handle key, Handle value) {
  return status_of(PyObject_SetItem(o.get(), key.get(), value.get()));
}
inline Truth contains(Handle container, Handle item) {  // `item in container`
  return truth_of(PySequence_Contains(container.get(), item.get()));
}
// A plain dict being built by the module itself (never a caller's mapping).
inline Status dict_set(Handle dict, Handle key, Handle value) {
  return status_of(PyDict_SetItem(dict.get(), key.get(), value.get()));
}
inline Status dict_set(Handle dict, const char* key, Handle value) {
  return status_of(PyDict_SetItemString(dict.get(), key, value.get()));
}
inline Ref new_dict() { return Ref::steal(PyDict_New()); }
inline Ref new_list() { return Ref::steal(PyList_New(0)); }
inline Status list_append(Handle list, Handle item) { return status_of(PyList_Append(list.get(), item.get())); }
Ref tuple(std::initializer_list<Handle> items);

// ---- truth, comparison, type tests ------------------------------------------------
inline Truth truthy(Handle o) { return truth_of(PyObject_IsTrue(o.get())); }  // `bool(o)`, or `if o:`
inline Ref rich_compare(Handle a, Handle b, int op) {                         // `a <op> b`
  return Ref::steal(PyObject_RichCompare(a.get(), b.get(), op));
}
inline Truth compare(Handle a, Handle b, int op) {  // `if a <op> b:`
  Ref result = TRY(rich_compare(a, b, op));
  return truthy(result);
}
inline Truth isinstance(Handle o, Handle cls) { return truth_of(PyObject_IsInstance(o.get(), cls.get())); }

// ---- text forms and arithmetic ---------------------------------------------------------
inline Ref format(Handle o) {  // f"{o}"
  return Ref::steal(PyObject_Format(o.get(), nullptr));
}
inline Ref str(Handle o) { return Ref::steal(PyObject_Str(o.get())); }  // str(o)
Ref concat(std::initializer_list<Handle> texts);                        // "".join of texts
inline Ref add(Handle a, Handle b) { return Ref::steal(PyNumber_Add(a.get(), b.get())); }
inline Ref subtract(Handle a, Handle b) { return Ref::steal(PyNumber_Subtract(a.get(), b.get())); }
inline Ref multiply(Handle a, Handle b) { return Ref::steal(PyNumber_Multiply(a.get(), b.get())); }
inline Ref true_divide(Handle a, Handle b) { return Ref::steal(PyNumber_TrueDivide(a.get(), b.get())); }
inline Ref power(Handle a, Handle b) { return Ref::steal(PyNumber_Power(a.get(), b.get(), Py_None)); }
static_assert(sizeof(long) == sizeof(Py_ssize_t), "the supported platforms are LP64");
inline Ref integer(long v) { return Ref::steal(PyLong_FromSsize_t(v)); }
inline Ref floating(double v) { return Ref::steal(PyFloat_FromDouble(v)); }

// ---- iteration ---------------------------------------------------------------------
inline Ref iterate(Handle o) { return Ref::steal(PyObject_GetIter(o.get())); }
// The next item into `item`: yes, or no once the iterator is exhausted.
inline Truth next(Handle iterator, Ref& item) {
  item = Ref::steal(PyIter_Next(iterator.get()));
  if (item) return Truth::yes;
  return PyErr_Occurred() ? Truth::error : Truth::no;
}

// `first, second = pair`, with the interpreter's messages for what does not fit.
Status unpack2(Handle pair, Ref& first, Ref& second);

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

// `mapping.get(key, fallback)`, or `mapping.get(key)` without a fallback;
// `get_name` is the interned "get". An exact dict's own get cannot have been
// replaced, so its lookup is made directly, with the same result; any other
// mapping is asked through its own get.
inline Ref mapping_get(Handle mapping, Handle get_name, Handle key, Handle fallback = {}) {
  if (PyDict_CheckExact(mapping.get())) {
    PyObject* value = nullptr;
    const int found = PyDict_GetItemRef(mapping.get(), key.get(), &value);
    if (found > 0) return Ref::steal(value);
    if (found < 0) return failure;
    return Ref::borrow(fallback ? fallback : Handle(Py_None));
  }
  if (!fallback) return call_method(mapping, get_name, {key});
  return call_method(mapping, get_name, {key, fallback});
}

// ---- modules -------------------------------------------------------------------------
inline Ref import(const char* dotted) { return Ref::steal(PyImport_ImportModule(dotted)); }
// The `name` of `from <module> import name`, from the module imported.
Ref import_name(Handle source, const char* module, Handle name);

// ---- interned names -------------------------------------------------------------------
// The attribute names and keys a module uses, interned once at initialisation
// and indexed by an enumeration generated from the same list.
// Texts that are not names (messages, paths) are made without interning.
template <class Index, std::size_t N, bool Interned = true>
class NameTable {
 public:
  // `made` gives each text its object (a cache shares the names that the
  // module's functions and classes use too).
  template <class Make>
  Status create(const char* const (&texts)[N], Make&& made) {
    for (std::size_t i = 0; i < N; ++i) refs_[i] = TRY(made(texts[i]));
    return Status::ok;
  }
  Status create(const char* const (&texts)[N]) {
    return create(texts, [](const char* s) { return Interned ? intern(s) : text(s); });
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
