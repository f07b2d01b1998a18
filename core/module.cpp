#include "module.hpp"

namespace zcore {

Status add(Handle module, const char* name, Handle value) {
  return status_of(PyModule_AddObjectRef(module.get(), name, value.get()));
}

Status add_from(Handle module, const char* from, const char* name) {
  return add(module, name, TRY(import_from(from, name)));
}

Ref builtin(const char* name) {
  PyObject* value = PyDict_GetItemString(PyEval_GetBuiltins(), name);
  if (value == nullptr) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    return failure;
  }
  return Ref::borrow(value);
}

Status install_builtins(Handle module) {
  Handle globals = PyModule_GetDict(module.get());
  if (PyDict_GetItemWithError(globals.get(), TRY(intern("__builtins__")).get()) != nullptr) return Status::ok;
  if (PyErr_Occurred()) return failure;
  return dict_set(globals, "__builtins__", PyEval_GetBuiltins());
}

namespace {

// The metaclass a class statement uses: the most derived type of the bases.
Ref metaclass_of(Handle bases) {
  PyTypeObject* winner = &PyType_Type;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases.get()); ++i) {
    PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases.get(), i));
    if (PyType_IsSubtype(winner, candidate)) continue;
    if (!PyType_IsSubtype(candidate, winner))
      return raise(PyExc_TypeError,
                   "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the "
                   "metaclasses of all its bases");
    winner = candidate;
  }
  return Ref::borrow(reinterpret_cast<PyObject*>(winner));
}

}  // namespace

Ref make_class(Handle module, const char* name, std::initializer_list<Handle> bases, Handle body,
               std::span<const char* const> self_attributes) {
  Ref module_name = TRY(Ref::steal(PyModule_GetNameObject(module.get())));
  Ref qualname = TRY(text(name));
  Ref base_tuple = TRY(tuple(bases));
  Ref metaclass = TRY(metaclass_of(base_tuple));
  Ref ns = TRY(call_method(metaclass, TRY(intern("__prepare__")), {qualname, base_tuple}));
  TRY(setitem(ns, TRY(intern("__module__")), module_name));
  TRY(setitem(ns, TRY(intern("__qualname__")), qualname));
  // Where the class's source would begin, were there any: the first line, as
  // for the code objects of its methods.
  if (compat::kClassStatementRecordsAttributes) TRY(setitem(ns, TRY(intern("__firstlineno__")), TRY(integer(1))));
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(body.get(), &pos, &key, &value)) TRY(setitem(ns, key, value));
  if (compat::kClassStatementRecordsAttributes) {
    Ref names = TRY(new_list());
    for (const char* attribute : self_attributes) TRY(list_append(names, TRY(intern(attribute))));
    TRY(status_of(PyList_Sort(names.get())));
    TRY(setitem(ns, TRY(intern("__static_attributes__")), TRY(Ref::steal(PyList_AsTuple(names.get())))));
  }
  return call(metaclass, {qualname, base_tuple, ns});
}

Status set_class_docstring(Handle body, const char* doc) {
  Ref value = TRY(docstring(doc));
  if (value.is_none()) return Status::ok;
  return dict_set(body, "__doc__", value);
}

Ref make_exception(Handle module, const char* name, Handle base) {
  return make_class(module, name, {base}, TRY(new_dict()));
}

Ref make_str_enum(Handle module, const char* name, std::initializer_list<std::pair<const char*, const char*>> members) {
  Ref body = TRY(new_dict());
  for (const auto& [member, value] : members) TRY(dict_set(body, member, TRY(text(value))));
  Ref enum_class = TRY(getattr(TRY(import("enum")), "Enum"));
  return make_class(module, name, {reinterpret_cast<PyObject*>(&PyUnicode_Type), enum_class}, body);
}

Ref make_dataclass(Handle module, Handle decorator, const DataclassDecl& decl) {
  // A class body with annotations sets them up before its docstring.
  Ref ns = TRY(new_dict());
  Ref annotations = TRY(new_dict());
  TRY(dict_set(ns, "__annotations__", annotations));
  if (decl.doc != nullptr) TRY(set_class_docstring(ns, decl.doc));
  for (const Field& field : decl.fields) {
    TRY(dict_set(annotations, field.name, TRY(text(field.annotation))));
    if (field.default_value) TRY(dict_set(ns, field.name, field.default_value));
  }
  for (const Member& member : decl.members) TRY(dict_set(ns, member.name, member.value));
  Ref cls = TRY(make_class(module, decl.name, {reinterpret_cast<PyObject*>(&PyBaseObject_Type)}, ns));
  return call(decorator, {cls});
}

}  // namespace zcore
