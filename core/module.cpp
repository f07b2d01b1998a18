#include "module.hpp"

namespace zcore {

Status add(Handle module, const char* name, Handle value) {
  return setitem(Handle(PyModule_GetDict(module.get())), TRY(native_types(module).name(name)), value);
}

Status add_from(Handle module, const char* from, std::initializer_list<const char*> names) {
  NativeTypes& cache = native_types(module);
  Ref fromlist = TRY(new_list());
  for (const char* name : names) TRY(list_append(fromlist, TRY(cache.name(name))));
  Ref source = TRY(Ref::steal(PyImport_ImportModuleLevel(from, nullptr, nullptr, fromlist.get(), 0)));
  Handle globals = PyModule_GetDict(module.get());
  for (const char* name : names) {
    Ref key = TRY(cache.name(name));
    TRY(setitem(globals, key, TRY(import_name(source, from, key))));
  }
  return Status::ok;
}

Ref builtin(const char* name) {
  PyObject* value = PyDict_GetItemWithError(PyEval_GetBuiltins(), TRY(intern(name)).get());
  if (value == nullptr) {
    if (PyErr_Occurred()) return failure;
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    return failure;
  }
  return Ref::borrow(value);
}

Status install_builtins(Handle module) {
  Handle globals = PyModule_GetDict(module.get());
  Ref key = TRY(native_types(module).name("__builtins__"));
  if (PyDict_GetItemWithError(globals.get(), key.get()) != nullptr) return Status::ok;
  if (PyErr_Occurred()) return failure;
  return setitem(globals, key, PyEval_GetBuiltins());
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
  NativeTypes& names = native_types(module);
  // type.__prepare__ (which nothing can replace) gives an empty dict.
  Ref ns = metaclass.is(reinterpret_cast<PyObject*>(&PyType_Type))
               ? TRY(new_dict())
               : TRY(call_method(metaclass, TRY(names.name("__prepare__")), {qualname, base_tuple}));
  TRY(setitem(ns, TRY(names.name("__module__")), module_name));
  TRY(setitem(ns, TRY(names.name("__qualname__")), qualname));
  // Where the class's source would begin, were there any: the first line, as
  // for the code objects of its methods.
  if (compat::kClassStatementRecordsAttributes) TRY(setitem(ns, TRY(names.name("__firstlineno__")), TRY(integer(1))));
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(body.get(), &pos, &key, &value)) TRY(setitem(ns, key, value));
  if (compat::kClassStatementRecordsAttributes) {
    Ref attributes = TRY(new_list());
    for (const char* attribute : self_attributes) TRY(list_append(attributes, TRY(names.name(attribute))));
    TRY(status_of(PyList_Sort(attributes.get())));
    TRY(setitem(ns, TRY(names.name("__static_attributes__")), TRY(Ref::steal(PyList_AsTuple(attributes.get())))));
  }
  return call(metaclass, {qualname, base_tuple, ns});
}

Status set_class_docstring(NativeTypes& types, Handle body, const char* doc) {
  Ref value = TRY(docstring(types, doc));
  if (value.is_none()) return Status::ok;
  return setitem(body, TRY(types.name("__doc__")), value);
}

Ref make_exception(Handle module, const char* name, Handle base) {
  return make_class(module, name, {base}, TRY(new_dict()));
}

Ref make_str_enum(Handle module, const char* name, std::initializer_list<std::pair<const char*, const char*>> members) {
  NativeTypes& names = native_types(module);
  Ref body = TRY(new_dict());
  for (const auto& [member, value] : members) TRY(setitem(body, TRY(names.name(member)), TRY(text(value))));
  Ref enum_class = TRY(getattr(TRY(import("enum")), "Enum"));
  return make_class(module, name, {reinterpret_cast<PyObject*>(&PyUnicode_Type), enum_class}, body);
}

Ref make_dataclass(Handle module, Handle decorator, const DataclassDecl& decl) {
  if (decl.fields.overflowed() || decl.members.overflowed()) {
    PyErr_Format(PyExc_SystemError, "class %s declares more names than its lists hold", decl.name);
    return failure;
  }
  NativeTypes& names = native_types(module);
  // A class body with annotations sets them up before its docstring.
  Ref ns = TRY(new_dict());
  Ref annotations = TRY(new_dict());
  TRY(setitem(ns, TRY(names.name("__annotations__")), annotations));
  if (decl.doc != nullptr) TRY(set_class_docstring(names, ns, decl.doc));
  for (const Field& field : decl.fields) {
    Ref name = TRY(names.name(field.name));
    TRY(dict_set(annotations, name, TRY(names.text(field.annotation))));
    if (field.default_value) TRY(dict_set(ns, name, field.default_value));
  }
  for (const Member& member : decl.members) TRY(dict_set(ns, TRY(names.name(member.name)), member.value));
  Ref cls = TRY(make_class(module, decl.name, {reinterpret_cast<PyObject*>(&PyBaseObject_Type)}, ns));
  return call(decorator, {cls});
}

Status RecordClass::set(Handle record, std::initializer_list<Handle> field_names) {
  cls = record.ref();
  init_name = TRY(intern("__init__"));
  no_arguments = TRY(tuple({}));
  init = TRY(getitem(TRY(getattr(record, "__dict__")), init_name));
  fields = TRY(tuple(field_names));
  return Status::ok;
}

Ref construct(const RecordClass& record, Handle cls, std::initializer_list<Handle> values) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls.get());
  // (What the class lookups find is only compared with what the module holds,
  // never used, so it may change under another thread meanwhile.)
  if (!cls.is(record.cls) || type->tp_setattro != PyObject_GenericSetAttr || type->tp_new != PyBaseObject_Type.tp_new ||
      _PyType_Lookup(type, record.init_name.get()) != record.init.get())
    return call_kw(cls, values, record.fields);
  Ref self = TRY(Ref::steal(type->tp_new(type, record.no_arguments.get(), nullptr)));
  Py_ssize_t i = 0;
  for (Handle value : values) TRY(setattr(self, PyTuple_GET_ITEM(record.fields.get(), i++), value));
  return self;
}

}  // namespace zcore
