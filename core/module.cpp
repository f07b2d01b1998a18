#include "module.hpp"

namespace zcore {

void add(Handle module, const char* name, Handle value) {
  if (PyModule_AddObjectRef(module.get(), name, value.get()) < 0) throw_error_set();
}

void add_from(Handle module, const char* from, const char* name) { add(module, name, import_from(from, name)); }

Ref builtin(const char* name) {
  PyObject* value = PyDict_GetItemString(PyEval_GetBuiltins(), name);
  if (value == nullptr) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw_error_set();
  }
  return Ref::borrow(value);
}

void install_builtins(Handle module) {
  Handle globals = PyModule_GetDict(module.get());
  if (PyDict_GetItemWithError(globals.get(), intern("__builtins__").get()) != nullptr) return;
  if (PyErr_Occurred()) throw_error_set();
  dict_set(globals, "__builtins__", PyEval_GetBuiltins());
}

namespace {

// The metaclass a class statement uses: the most derived type of the bases.
Ref metaclass_of(Handle bases) {
  PyTypeObject* winner = &PyType_Type;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases.get()); ++i) {
    PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases.get(), i));
    if (PyType_IsSubtype(winner, candidate)) continue;
    if (!PyType_IsSubtype(candidate, winner))
      raise(PyExc_TypeError,
            "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the metaclasses "
            "of all its bases");
    winner = candidate;
  }
  return Ref::borrow(reinterpret_cast<PyObject*>(winner));
}

}  // namespace

Ref make_class(Handle module, const char* name, std::initializer_list<Handle> bases, Handle body,
               std::span<const char* const> self_attributes) {
  Ref module_name = Ref::check(PyModule_GetNameObject(module.get()));
  Ref qualname = text(name);
  Ref base_tuple = tuple(bases);
  Ref metaclass = metaclass_of(base_tuple);
  Ref ns = call_method(metaclass, intern("__prepare__"), {qualname, base_tuple});
  setitem(ns, intern("__module__"), module_name);
  setitem(ns, intern("__qualname__"), qualname);
  // Where the class's source would begin, were there any: the first line, as
  // for the code objects of its methods.
  if (compat::kClassStatementRecordsAttributes) setitem(ns, intern("__firstlineno__"), integer(1));
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(body.get(), &pos, &key, &value)) setitem(ns, key, value);
  if (compat::kClassStatementRecordsAttributes) {
    Ref names = new_list();
    for (const char* attribute : self_attributes) list_append(names, intern(attribute));
    if (PyList_Sort(names.get()) < 0) throw_error_set();
    setitem(ns, intern("__static_attributes__"), Ref::check(PyList_AsTuple(names.get())));
  }
  return call(metaclass, {qualname, base_tuple, ns});
}

void set_class_docstring(Handle body, const char* doc) {
  Ref value = docstring(doc);
  if (!value.is_none()) dict_set(body, "__doc__", value);
}

Ref make_exception(Handle module, const char* name, Handle base) {
  return make_class(module, name, {base}, new_dict());
}

Ref make_str_enum(Handle module, const char* name, std::initializer_list<std::pair<const char*, const char*>> members) {
  Ref body = new_dict();
  for (const auto& [member, value] : members) dict_set(body, member, text(value));
  return make_class(module, name, {reinterpret_cast<PyObject*>(&PyUnicode_Type), getattr(import("enum"), "Enum")},
                    body);
}

Ref make_dataclass(Handle module, Handle decorator, const DataclassDecl& decl) {
  // A class body with annotations sets them up before its docstring.
  Ref ns = new_dict();
  Ref annotations = new_dict();
  dict_set(ns, "__annotations__", annotations);
  if (decl.doc != nullptr) set_class_docstring(ns, decl.doc);
  for (const Field& field : decl.fields) {
    dict_set(annotations, field.name, text(field.annotation));
    if (field.default_value) dict_set(ns, field.name, field.default_value);
  }
  for (const Member& member : decl.members) dict_set(ns, member.name, member.value);
  Ref cls = make_class(module, decl.name, {reinterpret_cast<PyObject*>(&PyBaseObject_Type)}, ns);
  return call(decorator, {cls});
}

}  // namespace zcore
