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

Ref make_class(Handle module, const char* name, std::initializer_list<Handle> bases, Handle namespace_dict) {
  Ref module_name = Ref::check(PyModule_GetNameObject(module.get()));
  Ref qualname = text(name);
  // A class statement puts these two first, before anything of the body.
  Ref ns = new_dict();
  dict_set(ns, "__module__", module_name);
  dict_set(ns, "__qualname__", qualname);
  if (PyDict_Update(ns.get(), namespace_dict.get()) < 0) throw_error_set();
  return call(reinterpret_cast<PyObject*>(&PyType_Type), {qualname, tuple(bases), ns});
}

Ref make_exception(Handle module, const char* name, Handle base) {
  return make_class(module, name, {base}, new_dict());
}

Ref make_str_enum(Handle module, const char* name, std::initializer_list<std::pair<const char*, const char*>> members) {
  Ref pairs = new_list();
  for (const auto& [member, value] : members) list_append(pairs, tuple({text(member), text(value)}));
  Ref module_name = Ref::check(PyModule_GetNameObject(module.get()));
  Ref kwnames = tuple({intern("module"), intern("qualname"), intern("type")});
  Ref enum_class = getattr(import("enum"), "Enum");
  return call_kw(enum_class, {text(name), pairs, module_name, text(name), reinterpret_cast<PyObject*>(&PyUnicode_Type)},
                 kwnames);
}

Ref make_dataclass(Handle module, Handle decorator, const DataclassDecl& decl) {
  // A class body with annotations sets them up before its docstring.
  Ref ns = new_dict();
  Ref annotations = new_dict();
  dict_set(ns, "__annotations__", annotations);
  if (decl.doc != nullptr) dict_set(ns, "__doc__", text(decl.doc));
  for (const Field& field : decl.fields) {
    dict_set(annotations, field.name, text(field.annotation));
    if (field.default_value) dict_set(ns, field.name, field.default_value);
  }
  for (const Member& member : decl.members) dict_set(ns, member.name, member.value);
  Ref cls = make_class(module, decl.name, {reinterpret_cast<PyObject*>(&PyBaseObject_Type)}, ns);
  return call(decorator, {cls});
}

}  // namespace zcore
