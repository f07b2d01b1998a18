#include "function.hpp"
#include "module.hpp"
#include "shared.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace zcore {

Handle Args::module() const noexcept { return function_->module; }

Ref& Args::local(std::size_t i) const noexcept {
  return frame_[static_cast<std::size_t>(function_->argcount + function_->kwonlycount) + i];
}

Ref Args::global(Handle name) const {
  PyObject* value = nullptr;
  int found = PyDict_GetItemRef(function_->globals, name.get(), &value);
  if (found == 0) found = PyDict_GetItemRef(function_->builtins, name.get(), &value);
  if (found > 0) return Ref::steal(value);
  if (found == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
  return failure;
}

namespace {

FunctionObject* as_function(PyObject* self) noexcept { return reinterpret_cast<FunctionObject*>(self); }
PyObject* as_object(FunctionObject* f) noexcept { return reinterpret_cast<PyObject*>(f); }

// The names, defaults and annotations of a function may be reassigned by
// another thread while it is called (shared.hpp).
Ref field(FunctionObject* f, PyObject* const& slot) noexcept { return load(as_object(f), slot); }

// ---- argument binding, after the interpreter's own (and its messages) --------------

Failure raise_missing(FunctionObject* f, const char* kind, Handle names) {
  const Py_ssize_t count = PyList_GET_SIZE(names.get());
  Ref listed;
  if (count == 1) {
    listed = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
  } else if (count == 2) {
    listed = TRY(Ref::steal(
        PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0), PyList_GET_ITEM(names.get(), 1))));
  } else {
    Ref tail = TRY(Ref::steal(PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names.get(), count - 2),
                                                   PyList_GET_ITEM(names.get(), count - 1))));
    TRY(status_of(PyList_SetSlice(names.get(), count - 2, count, nullptr)));
    Ref head = TRY(Ref::steal(PyUnicode_Join(TRY(text(", ")).get(), names.get())));
    listed = TRY(Ref::steal(PyUnicode_Concat(head.get(), tail.get())));
  }
  PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", field(f, f->qualname).get(), count, kind,
               count == 1 ? "" : "s", listed.get());
  return failure;
}

Status check_missing(FunctionObject* f, Py_ssize_t start, Py_ssize_t end, const Ref* slots, const char* kind) {
  Ref names;
  for (Py_ssize_t i = start; i < end; ++i) {
    if (slots[i]) continue;
    if (!names) names = TRY(new_list());
    TRY(list_append(names, TRY(Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(f->varnames, i))))));
  }
  if (names) return raise_missing(f, kind, names);
  return Status::ok;
}

Failure raise_too_many_positional(FunctionObject* f, Py_ssize_t given, const Ref* slots) {
  Py_ssize_t kwonly_given = 0;
  for (Py_ssize_t i = f->argcount; i < f->argcount + f->kwonlycount; ++i) kwonly_given += slots[i] ? 1 : 0;
  Ref defaults = field(f, f->defaults);
  const Py_ssize_t defcount = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
  const bool plural = defcount ? true : f->argcount != 1;
  Ref expected = TRY(Ref::steal(defcount ? PyUnicode_FromFormat("from %zd to %zd", f->argcount - defcount, f->argcount)
                                         : PyUnicode_FromFormat("%zd", f->argcount)));
  Ref keyword_note = TRY(
      Ref::steal(kwonly_given ? PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                                     given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : "")
                              : PyUnicode_FromStringAndSize("", 0)));
  PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", field(f, f->qualname).get(),
               expected.get(), plural ? "s" : "", given, keyword_note.get(),
               given == 1 && !kwonly_given ? "was" : "were");
  return failure;
}

// When a keyword finds no parameter, the interpreter first reports the
// keywords that name positional-only ones, if any, all together.
Status check_positional_only_keywords(FunctionObject* f, PyObject* kwnames) {
  Ref names = TRY(new_list());
  for (Py_ssize_t i = 0; i < f->posonlycount; ++i) {
    PyObject* name = PyTuple_GET_ITEM(f->varnames, i);
    for (Py_ssize_t j = 0, nk = PyTuple_GET_SIZE(kwnames); j < nk; ++j) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, j);
      if (key == name || TRY(truth_of(PyObject_RichCompareBool(name, key, Py_EQ)))) TRY(list_append(names, key));
    }
  }
  if (PyList_GET_SIZE(names.get()) == 0) return Status::ok;
  Ref listed = TRY(Ref::steal(PyUnicode_Join(TRY(text(", ")).get(), names.get())));
  PyErr_Format(PyExc_TypeError, "%U() got some positional-only arguments passed as keyword arguments: '%U'",
               field(f, f->qualname).get(), listed.get());
  return failure;
}

Failure raise_unexpected_keyword(FunctionObject* f, PyObject* key, PyObject* kwnames) {
  if (f->posonlycount > 0) TRY(check_positional_only_keywords(f, kwnames));
  // The interpreter looks for a suggestion among the parameters a keyword can name.
  Ref candidates = TRY(Ref::steal(PySequence_List(f->varnames)));
  TRY(status_of(
      PyList_SetSlice(candidates.get(), f->argcount + f->kwonlycount, PyList_GET_SIZE(candidates.get()), nullptr)));
  TRY(status_of(PyList_SetSlice(candidates.get(), 0, f->posonlycount, nullptr)));
  if (Ref suggestion = Ref::steal(compat::keyword_suggestion(candidates.get(), key))) {
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                 field(f, f->qualname).get(), key, suggestion.get());
  } else {
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", field(f, f->qualname).get(), key);
  }
  return failure;
}

// The index of the parameter named `key` into `index`, -1 for none; fails on
// a name that is not a string or whose comparison raises.
Status keyword_index(FunctionObject* f, PyObject* key, Py_ssize_t& index) {
  const Py_ssize_t total = f->argcount + f->kwonlycount;
  for (index = f->posonlycount; index < total; ++index)
    if (PyTuple_GET_ITEM(f->varnames, index) == key) return Status::ok;  // interned names: identity first
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", field(f, f->qualname).get());
    return failure;
  }
  // The parameter names are interned, so an interned text equals one of them
  // only by being it.
  if (PyUnicode_CheckExact(key) && PyUnicode_CHECK_INTERNED(key)) {
    index = -1;
    return Status::ok;
  }
  for (index = f->posonlycount; index < total; ++index)
    if (TRY(truth_of(PyObject_RichCompareBool(PyTuple_GET_ITEM(f->varnames, index), key, Py_EQ)))) return Status::ok;
  index = -1;
  return Status::ok;
}

Status bind(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Ref* slots, Ref& varkw) {
  const Py_ssize_t total = f->argcount + f->kwonlycount;
  for (Py_ssize_t i = 0, n = std::min(nargs, f->argcount); i < n; ++i) slots[i] = Ref::borrow(args[i]);
  if (f->has_varkw) varkw = TRY(new_dict());
  if (kwnames != nullptr) {
    for (Py_ssize_t j = 0, nk = PyTuple_GET_SIZE(kwnames); j < nk; ++j) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, j);
      PyObject* value = args[nargs + j];
      Py_ssize_t index = -1;
      TRY(keyword_index(f, key, index));
      if (index < 0) {
        if (!varkw) return raise_unexpected_keyword(f, key, kwnames);
        TRY(dict_set(varkw, key, value));
        continue;
      }
      if (slots[index]) {
        PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", field(f, f->qualname).get(), key);
        return failure;
      }
      slots[index] = Ref::borrow(value);
    }
  }
  if (nargs > f->argcount) return raise_too_many_positional(f, nargs, slots);
  if (nargs < f->argcount) {
    Ref defaults = field(f, f->defaults);
    const Py_ssize_t defcount = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    const Py_ssize_t required = f->argcount - defcount;
    TRY(check_missing(f, nargs, required, slots, "positional"));
    for (Py_ssize_t i = std::max(nargs, required); i < f->argcount; ++i)
      if (!slots[i]) slots[i] = Ref::borrow(PyTuple_GET_ITEM(defaults.get(), i - required));
  }
  Ref kwdefaults;
  for (Py_ssize_t i = f->argcount; i < total; ++i) {
    if (slots[i]) continue;
    if (!kwdefaults && !(kwdefaults = field(f, f->kwdefaults))) break;
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(kwdefaults.get(), PyTuple_GET_ITEM(f->varnames, i), &value) < 0) return failure;
    slots[i] = Ref::steal(value);
  }
  return check_missing(f, f->argcount, total, slots, "keyword-only");
}

constexpr Py_ssize_t kInlineSlots = 8;

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  return guard([&]() -> Ref {
    FunctionObject* f = as_function(callable);
    // The collector clears a function only when nothing can reach it; should
    // anything call it even so, its body finds no module state.
    if (f->module == nullptr) return raise(PyExc_RuntimeError, "module is not initialised");
    // Only a coroutine's frame has local slots: a synchronous body never
    // pauses, so its C++ locals are all it needs (and its call stays on the
    // inline slots).
    const Py_ssize_t total = f->argcount + f->kwonlycount + (f->coroutine != nullptr ? f->nlocals : 0);
    Ref inline_slots[kInlineSlots];
    HeapArray<Ref> heap_slots;
    Ref* slots = inline_slots;
    if (total > kInlineSlots && (slots = heap_slots.allocate(static_cast<std::size_t>(total))) == nullptr)
      return failure;
    Ref varkw;
    TRY(bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, slots, varkw));
    if (f->sync != nullptr) return f->sync(Args(f, slots, varkw));
    return make_coroutine(f, slots, total, std::move(varkw));
  });
}

// ---- type slots ---------------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  FunctionObject* f = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->dict);
  Py_VISIT(f->module_name);
  Py_VISIT(f->doc);
  Py_VISIT(f->annotations);
  Py_VISIT(f->declared_annotations);
  Py_VISIT(f->annotate);
  Py_VISIT(f->body_data);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->type_params);
  Py_VISIT(f->globals);
  Py_VISIT(f->builtins);
  Py_VISIT(f->module);
  Py_VISIT(f->coroutine_type);
  return 0;
}

int function_clear(PyObject* self) noexcept {
  FunctionObject* f = as_function(self);
  clear_slot(f->dict);
  clear_slot(f->module_name);
  clear_slot(f->doc);
  clear_slot(f->annotations);
  clear_slot(f->declared_annotations);
  clear_slot(f->annotate);
  clear_slot(f->body_data);
  clear_slot(f->defaults);
  clear_slot(f->kwdefaults);
  clear_slot(f->type_params);
  clear_slot(f->globals);
  clear_slot(f->builtins);
  clear_slot(f->module);
  // name, qualname and code stay: live coroutines still report them.
  return 0;
}

void function_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  FunctionObject* f = as_function(self);
  if (f->weaklist != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  clear_slot(f->name);
  clear_slot(f->qualname);
  clear_slot(f->code);
  clear_slot(f->code_qualname);
  clear_slot(f->varnames);
  clear_slot(f->cellvars);
  Py_CLEAR(f->coroutine_type);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) noexcept {
  FunctionObject* f = as_function(self);
  return PyUnicode_FromFormat("<function %U at %p>", field(f, f->qualname).get(), self);
}

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
  if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, instance);
}

PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
  FunctionObject* f = as_function(self);
  return field(f, f->qualname).release();
}

template <PyObject* FunctionObject::* Field>
PyObject* get_or_none(PyObject* self, void*) noexcept {
  FunctionObject* f = as_function(self);
  Ref value = field(f, f->*Field);
  return value ? value.release() : Py_NewRef(Py_None);
}

template <PyObject* FunctionObject::* Field, int (*Check)(PyObject*), bool NoneClears>
int set_checked(PyObject* self, PyObject* value, void* message) noexcept {
  // Where None clears the attribute, so does `del`.
  if (NoneClears && value == Py_None) value = nullptr;
  if (NoneClears ? value != nullptr && !Check(value) : value == nullptr || !Check(value)) {
    PyErr_SetString(PyExc_TypeError, static_cast<const char*>(message));
    return -1;
  }
  store(self, as_function(self)->*Field, value);
  return 0;
}

int is_text(PyObject* o) noexcept { return PyUnicode_Check(o); }
int is_tuple(PyObject* o) noexcept { return PyTuple_Check(o); }
int is_dict(PyObject* o) noexcept { return PyDict_Check(o); }

// ---- annotations ----------------------------------------------------------------------
// A function's annotations, __annotate__ and declared texts change together,
// under its critical section.

// The body of the __annotate__ the compiler makes for a function with
// annotations under `from __future__ import annotations`: `if format > 2:
// raise NotImplementedError`, then a new dict of the texts.
Ref annotations_in_format(Handle texts, Handle format) {
  Ref two = TRY(Ref::steal(PyLong_FromLong(2)));
  if (TRY(truth_of(PyObject_RichCompareBool(format.get(), two.get(), Py_GT)))) {
    PyErr_SetNone(PyExc_NotImplementedError);
    return failure;
  }
  return Ref::steal(PyDict_Copy(texts.get()));
}

Ref call_annotate(const Args& args) { return annotations_in_format(args.function()->body_data, args[0]); }

// The same body, as the constant that the code of an __annotate__ calls
// when that code is run (see compat::forwarding_bytecode), bound to the texts.
PyObject* annotate_texts(PyObject* texts, PyObject* format) noexcept {
  return annotations_in_format(texts, format).release();
}
PyMethodDef annotate_texts_def = {"__annotate__", annotate_texts, METH_O, nullptr};

// A new function object: the __annotate__ of `owner`, named after it as it
// is called now (`qualname`), returning the texts `declared`.
Ref make_annotate(FunctionObject* owner, Handle declared, Handle qualname) {
  NativeTypes& types = native_types(owner->module);
  Ref name = TRY(types.name("__annotate__"));
  Ref full_name = TRY(Ref::steal(PyUnicode_FromFormat("%U.__annotate__", qualname.get())));
  Ref code_qualname = TRY(Ref::steal(compat::annotate_code_qualname(qualname.get())));
  Ref varnames = TRY(tuple({TRY(types.name("format"))}));
  Ref cellvars = TRY(tuple({}));
  Ref module_name = field(owner, owner->module_name);
  PyTypeObject* type = Py_TYPE(as_object(owner));
  Ref result = TRY(Ref::steal(type->tp_alloc(type, 0)));
  FunctionObject* f = as_function(result.get());
  f->vectorcall = owner->vectorcall;
  f->name = name.release();
  f->qualname = full_name.release();
  f->module_name = module_name.release();
  f->doc = Py_NewRef(Py_None);
  f->body_data = Ref::borrow(declared).release();
  f->globals = Py_NewRef(owner->globals);
  f->builtins = Py_NewRef(owner->builtins);
  f->module = Py_NewRef(owner->module);
  f->code_qualname = code_qualname.release();
  f->varnames = varnames.release();
  f->cellvars = cellvars.release();
  f->argcount = 1;
  f->posonlycount = 1;
  f->sync = call_annotate;
  return result;
}

// The function's __annotate__ (None for none), made from its declared texts
// when first asked for: outside the lock, then kept unless another thread
// made one or assigned one meanwhile.
Ref annotate_of(FunctionObject* f) {
  Ref declared, qualname;
  Py_BEGIN_CRITICAL_SECTION(as_object(f));
  if (f->annotate == nullptr && f->module != nullptr) {
    declared = Ref::borrow(f->declared_annotations);
    qualname = Ref::borrow(f->qualname);
  }
  Py_END_CRITICAL_SECTION();
  Ref made;
  if (declared) made = TRY(make_annotate(f, declared, qualname));
  Ref result;
  Py_BEGIN_CRITICAL_SECTION(as_object(f));
  if (made && f->annotate == nullptr && f->declared_annotations == declared.get()) f->annotate = made.release();
  result = Ref::borrow(f->annotate != nullptr ? f->annotate : Py_None);
  Py_END_CRITICAL_SECTION();
  return result;
}

PyObject* get_annotate(PyObject* self, void*) noexcept { return annotate_of(as_function(self)).release(); }

int set_annotate(PyObject* self, PyObject* value, void*) noexcept {
  FunctionObject* f = as_function(self);
  if (value == nullptr) {
    PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
    return -1;
  }
  if (value != Py_None && !PyCallable_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
    return -1;
  }
  Ref annotate, declared, annotations;  // released after the lock
  Py_BEGIN_CRITICAL_SECTION(self);
  annotate = Ref::steal(std::exchange(f->annotate, value == Py_None ? nullptr : Py_NewRef(value)));
  declared = Ref::steal(std::exchange(f->declared_annotations, nullptr));
  if (value != Py_None) annotations = Ref::steal(std::exchange(f->annotations, nullptr));
  Py_END_CRITICAL_SECTION();
  return 0;
}

// Where functions have __annotate__, __annotations__ is what it returns for
// VALUE (1), asked when first read; our own __annotate__ would return a copy
// of the declared texts, so that copy is made directly. Runs under the
// function's critical section.
Ref annotations_from_annotate(FunctionObject* f) {
  if (f->annotate == nullptr && f->declared_annotations != nullptr)
    return Ref::steal(PyDict_Copy(f->declared_annotations));
  if (f->annotate == nullptr || !PyCallable_Check(f->annotate)) return new_dict();
  Ref annotate = Ref::borrow(f->annotate);  // which the call may see replaced
  Ref made = TRY(call(annotate, {TRY(integer(1))}));
  if (!PyDict_Check(made.get())) {
    PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'", Py_TYPE(made.get())->tp_name);
    return failure;
  }
  return made;
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
  FunctionObject* f = as_function(self);
  Ref result;
  Py_BEGIN_CRITICAL_SECTION(self);
  if (f->annotations != nullptr) {
    result = Ref::borrow(f->annotations);
  } else if ((result = annotations_from_annotate(f))) {
    // Kept, unless the call let another thread fill the field first.
    if (f->annotations == nullptr) f->annotations = Ref(result).release();
    result = Ref::borrow(f->annotations);
  }
  Py_END_CRITICAL_SECTION();
  return result.release();
}

int set_annotations(PyObject* self, PyObject* value, void* message) noexcept {
  FunctionObject* f = as_function(self);
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, static_cast<const char*>(message));
    return -1;
  }
  Ref annotations, annotate, declared;  // released after the lock
  Py_BEGIN_CRITICAL_SECTION(self);
  annotations = Ref::steal(std::exchange(f->annotations, Py_XNewRef(value)));
  annotate = Ref::steal(std::exchange(f->annotate, nullptr));
  declared = Ref::steal(std::exchange(f->declared_annotations, nullptr));
  Py_END_CRITICAL_SECTION();
  return 0;
}

PyObject* get_closure(PyObject*, void*) noexcept { Py_RETURN_NONE; }

// The code object is made lazily, from the function's names: before they
// change, the code takes the ones it was defined with.
PyObject* get_code(PyObject* self, void*) noexcept { return Py_XNewRef(function_code(as_function(self))); }
int set_code(PyObject*, PyObject*, void*) noexcept {
  PyErr_SetString(PyExc_AttributeError, "readonly attribute");
  return -1;
}
// What is made from the function's names when first asked for is made
// before a rename, so that it keeps the names the function was defined with.
template <PyObject* FunctionObject::* Field>
int set_naming(PyObject* self, PyObject* value, void* message) noexcept {
  FunctionObject* f = as_function(self);
  if (function_code(f) == nullptr) return -1;
  if (compat::kFunctionsHaveAnnotate && !annotate_of(f)) return -1;
  return set_checked<Field, is_text, false>(self, value, message);
}

// Not generic: the empty tuple until something else is assigned.
PyObject* get_type_params(PyObject* self, void*) noexcept {
  FunctionObject* f = as_function(self);
  Ref value = field(f, f->type_params);
  return value ? value.release() : PyTuple_New(0);
}

char kNameMessage[] = "__name__ must be set to a string object";
char kQualnameMessage[] = "__qualname__ must be set to a string object";
char kDefaultsMessage[] = "__defaults__ must be set to a tuple object";
char kKwdefaultsMessage[] = "__kwdefaults__ must be set to a dict object";
char kAnnotationsMessage[] = "__annotations__ must be set to a dict object";
char kTypeParamsMessage[] = "__type_params__ must be set to a tuple";

PyGetSetDef function_getset[] = {
    {"__name__", get_or_none<&FunctionObject::name>, set_naming<&FunctionObject::name>, nullptr, kNameMessage},
    {"__qualname__", get_or_none<&FunctionObject::qualname>, set_naming<&FunctionObject::qualname>, nullptr,
     kQualnameMessage},
    {"__code__", get_code, set_code, nullptr, nullptr},
    {"__defaults__", get_or_none<&FunctionObject::defaults>, set_checked<&FunctionObject::defaults, is_tuple, true>,
     nullptr, kDefaultsMessage},
    {"__kwdefaults__", get_or_none<&FunctionObject::kwdefaults>,
     set_checked<&FunctionObject::kwdefaults, is_dict, true>, nullptr, kKwdefaultsMessage},
    {"__annotations__", get_annotations, set_annotations, nullptr, kAnnotationsMessage},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    // Last, newest last: where functions have no such attribute, its empty name ends the table.
    {compat::kFunctionsHaveTypeParams ? "__type_params__" : nullptr, get_type_params,
     set_checked<&FunctionObject::type_params, is_tuple, false>, nullptr, kTypeParamsMessage},
    {compat::kFunctionsHaveAnnotate ? "__annotate__" : nullptr, get_annotate, set_annotate, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module_name), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__builtins__", T_OBJECT, offsetof(FunctionObject, builtins), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weaklist), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\nHelper for pickle."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot function_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
                                {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
                                {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
                                {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
                                {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
                                {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
                                {Py_tp_getset, function_getset},
                                {Py_tp_members, function_members},
                                {Py_tp_methods, function_methods},
                                {0, nullptr}};

PyType_Spec function_spec = {"zentrova_sdk.function", sizeof(FunctionObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                 Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                                 Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             function_slots};

// ---- construction ----------------------------------------------------------------------

Ref builtins_of(NativeTypes& types, Handle globals) {
  PyObject* b = PyDict_GetItemWithError(globals.get(), TRY(types.name("__builtins__")).get());
  if (b == nullptr && PyErr_Occurred()) return failure;
  if (b != nullptr && PyModule_Check(b)) return Ref::borrow(PyModule_GetDict(b));
  if (b != nullptr && PyDict_Check(b)) return Ref::borrow(b);
  return Ref::borrow(PyEval_GetBuiltins());
}

struct Signature {
  Ref varnames;    // co_varnames
  Ref cellvars;    // co_cellvars
  Ref defaults;    // tuple or empty
  Ref kwdefaults;  // dict or empty
  Ref annotations;
  Py_ssize_t argcount = 0;
  Py_ssize_t kwonlycount = 0;
};

// Where a local of the body goes in its code object: among the variables,
// into a cell, or nowhere (a comprehension's own variable before 3.12).
enum class LocalKind { variable, cell, none };

LocalKind kind_of(const FunctionDecl& decl, const char* local) {
  if (compat::kComprehensionsInlined) return LocalKind::variable;
  auto listed = [&](const auto& list) {
    return std::any_of(list.begin(), list.end(), [&](const char* name) { return std::string_view(name) == local; });
  };
  if (listed(decl.captured)) return LocalKind::cell;
  return listed(decl.comprehension_vars) ? LocalKind::none : LocalKind::variable;
}

// Tuples sized from the declaration and filled in order, as the compiler
// lays them out: positional parameters, keyword-only ones, **kwargs, then
// the body's variables; cells apart.
Status build_signature(NativeTypes& types, const FunctionDecl& decl, Signature& sig) {
  Py_ssize_t defaults = 0, kwdefaults = 0, variables = 0, cells = 0;
  for (const Param& p : decl.params) {
    ++(p.keyword_only ? sig.kwonlycount : sig.argcount);
    if (p.default_value) ++(p.keyword_only ? kwdefaults : defaults);
  }
  for (const char* local : decl.locals) {
    const LocalKind kind = kind_of(decl, local);
    if (kind == LocalKind::variable) ++variables;
    if (kind == LocalKind::cell) ++cells;
  }
  sig.varnames =
      TRY(Ref::steal(PyTuple_New(sig.argcount + sig.kwonlycount + (decl.varkw != nullptr ? 1 : 0) + variables)));
  sig.cellvars = TRY(Ref::steal(PyTuple_New(cells)));
  if (defaults > 0) sig.defaults = TRY(Ref::steal(PyTuple_New(defaults)));
  if (kwdefaults > 0) sig.kwdefaults = TRY(new_dict());
  sig.annotations = TRY(new_dict());
  Py_ssize_t next_name = 0, next_default = 0;
  for (bool keyword_only : {false, true}) {
    for (const Param& p : decl.params) {
      if (p.keyword_only != keyword_only) continue;
      Ref name = TRY(types.name(p.name));
      PyTuple_SET_ITEM(sig.varnames.get(), next_name++, Ref(name).release());
      if (p.annotation != nullptr) TRY(dict_set(sig.annotations, name, TRY(types.text(p.annotation))));
      if (keyword_only) {
        if (p.default_value) TRY(dict_set(sig.kwdefaults, name, p.default_value));
      } else if (p.default_value) {
        PyTuple_SET_ITEM(sig.defaults.get(), next_default++, Ref(p.default_value).release());
      } else if (next_default > 0) {
        PyErr_Format(PyExc_SystemError, "%s: non-default argument follows default argument", decl.name);
        return failure;
      }
    }
  }
  if (decl.varkw != nullptr) {
    Ref name = TRY(types.name(decl.varkw));
    PyTuple_SET_ITEM(sig.varnames.get(), next_name++, Ref(name).release());
    if (decl.varkw_annotation != nullptr) TRY(dict_set(sig.annotations, name, TRY(types.text(decl.varkw_annotation))));
  }
  if (decl.returns != nullptr) TRY(dict_set(sig.annotations, TRY(types.name("return")), TRY(types.text(decl.returns))));
  Py_ssize_t next_cell = 0;
  for (const char* local : decl.locals) {
    const LocalKind kind = kind_of(decl, local);
    if (kind == LocalKind::none) continue;
    Ref name = TRY(types.name(local));
    if (kind == LocalKind::variable) PyTuple_SET_ITEM(sig.varnames.get(), next_name++, name.release());
    if (kind == LocalKind::cell) PyTuple_SET_ITEM(sig.cellvars.get(), next_cell++, name.release());
  }
  return Status::ok;
}

// A location table that puts `units` code units on the first line, without
// columns: entries of at most 8 units, each "no columns" (13) with a line
// delta of 0.
Ref line_table(Py_ssize_t units) {
  char table[32];
  Py_ssize_t size = 0;
  for (; units > 0 && size + 2 <= static_cast<Py_ssize_t>(sizeof table); units -= 8) {
    table[size++] = static_cast<char>(0x80 | (13 << 3) | (std::min<Py_ssize_t>(units, 8) - 1));
    table[size++] = 0;
  }
  return Ref::steal(PyBytes_FromStringAndSize(table, size));
}

}  // namespace

PyObject* function_code(FunctionObject* f) noexcept {
  if (PyObject* code = load_published(f->code)) return code;
  if (f->module == nullptr) return Py_None;  // torn down by the collector before anyone asked
  NativeTypes& types = native_types(f->module);
  if (!types.bytecode) {  // the module's state is gone (interpreter shutdown)
    PyErr_SetString(PyExc_RuntimeError, "module is not initialised");
    return nullptr;
  }
  // The modules' annotations are text, as under `from __future__ import annotations`.
  const int flags = CO_OPTIMIZED | CO_NEWLOCALS | CO_FUTURE_ANNOTATIONS | f->code_flags;
  // The body is C++, so the code object never runs: its bytecode and tables
  // are those of the interpreter's own empty code object, whatever the
  // interpreter's bytecode format is. The code of an __annotate__ is the
  // exception: annotationlib runs it, so it calls the native body. Its names are the function's own, which
  // stay as they were made until the code exists (see set_naming).
  Ref name = field(f, f->name);
  Ref qualname = f->code_qualname != nullptr ? Ref::borrow(f->code_qualname) : field(f, f->qualname);
  Ref bytecode = types.bytecode, consts = types.consts, linetable = types.linetable;
  int stacksize = types.stacksize;
  if (f->sync == call_annotate) {
    bytecode = TRY(Ref::steal(compat::forwarding_bytecode()));
    consts = TRY(tuple({TRY(Ref::steal(PyCFunction_New(&annotate_texts_def, f->body_data)))}));
    linetable = TRY(line_table(PyBytes_GET_SIZE(bytecode.get()) / 2));
    stacksize = compat::kForwardingStackSize;
  }
  Ref made = Ref::steal(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
      static_cast<int>(f->argcount), static_cast<int>(f->posonlycount), static_cast<int>(f->kwonlycount),
      static_cast<int>(PyTuple_GET_SIZE(f->varnames)), stacksize, flags, bytecode.get(), consts.get(),
      types.names.get(), f->varnames, types.freevars.get(), f->cellvars, types.filename.get(), name.get(),
      qualname.get(), types.firstlineno, linetable.get(), types.exceptiontable.get())));
  if (!made) return nullptr;
  return publish(f->code, std::move(made));
}

namespace {

// What 3.13's compiler does to a docstring (_PyCompile_CleanDoc), unlike
// inspect.cleandoc: it removes the leading blanks of the first line and the
// smallest indentation of the non-blank lines after it from each of them, and
// keeps blank lines, the leading and the trailing ones included.
Ref dedent_docstring(std::string_view doc) {
  const std::size_t end = doc.size();
  std::size_t p = doc.find('\n');
  p = p == std::string_view::npos ? end : p + 1;
  std::size_t margin = std::string_view::npos;
  while (p < end) {
    const std::size_t start = p;
    while (p < end && doc[p] == ' ') ++p;
    if (p < end && doc[p] != '\n') margin = std::min(margin, p - start);
    while (p < end && doc[p++] != '\n') {
    }
  }
  if (margin == std::string_view::npos) margin = 0;
  HeapArray<char> buffer;
  char* out = buffer.allocate(end);
  if (out == nullptr) return failure;
  std::size_t size = 0;
  p = doc.find_first_not_of(' ');
  if (p == std::string_view::npos) p = end;
  while (p < end) {
    const char ch = doc[p++];
    out[size++] = ch;
    if (ch == '\n') break;
  }
  while (p < end) {
    for (std::size_t i = 0; i < margin && p < end && doc[p] == ' '; ++i) ++p;
    while (p < end) {
      const char ch = doc[p++];
      out[size++] = ch;
      if (ch == '\n') break;
    }
  }
  return text(std::string_view(out, size));
}

}  // namespace

Ref docstring(const NativeTypes& types, const char* raw) {
  if (!types.keep_docstrings) return none();
  const std::string_view source(raw);
  if (!compat::kCompilerDedentsDocstrings) return text(source);
  // The compiler expands tabs first, as str.expandtabs() does (to nothing,
  // where there are none).
  if (source.find('\t') == std::string_view::npos) return dedent_docstring(source);
  Ref doc = TRY(call_method(TRY(text(source)), TRY(intern("expandtabs"))));
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(doc.get(), &size);
  if (utf8 == nullptr) return failure;
  return dedent_docstring(std::string_view(utf8, static_cast<std::size_t>(size)));
}

namespace {

// Makes a new type's namespace what the interpreter's own type shows: the
// __module__ of a built-in type (unless its instances have their own
// __module__, whose descriptor takes the name), and none of what only the C
// side needs (the offset of the vectorcall pointer, given to the type
// machinery as a member; the __next__ of the iterator slot). The slots
// themselves stay.
Status as_builtin(Handle type, bool set_module, std::initializer_list<const char*> hidden) {
  // The interpreter's messages print tp_name ("'function' object has no
  // attribute ..."), which a heap type takes from the name it is created
  // with: the full dotted name, since one without a module is deprecated. tp_name is pointed at
  // the last part of the type's own copy of that name, freed with the type.
  PyTypeObject* t = reinterpret_cast<PyTypeObject*>(type.get());
  const char* dot = std::strrchr(t->tp_name, '.');
  if (dot != nullptr) t->tp_name = dot + 1;
  Ref dict = TRY(Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type.get()))));
  if (set_module) TRY(dict_set(dict, TRY(intern("__module__")), TRY(intern("builtins"))));
  for (const char* name : hidden) TRY(status_of(PyDict_DelItem(dict.get(), TRY(intern(name)).get())));
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
  return Status::ok;
}

}  // namespace

Status NativeTypes::create_function_type(Handle module) {
  function = TRY(Ref::steal(PyType_FromModuleAndSpec(module.get(), &function_spec, nullptr)));
  // The type is new and not yet seen by anyone, so its namespace can still
  // lose the entry.
  return as_builtin(function, false, {"__vectorcalloffset__"});
}

Status NativeTypes::share_function_type(Handle other, const char* other_name) {
  if (function || !PyModule_Check(other.get())) return Status::ok;
  PyModuleDef* def = PyModule_GetDef(other.get());
  if (def == nullptr || def->m_name == nullptr || std::string_view(def->m_name) != other_name) return Status::ok;
  auto* state = static_cast<ModuleStateBase*>(PyModule_GetState(other.get()));
  if (state != nullptr && state->is_ready() && state->types.function) function = state->types.function;
  return Status::ok;
}

Status NativeTypes::create(Handle module) {
  const char* module_name = PyModule_GetName(module.get());
  if (module_name == nullptr) return failure;
  Ref file = TRY(Ref::steal(PyUnicode_FromFormat("<%s>", module_name)));
  const char* file_name = PyUnicode_AsUTF8(file.get());
  if (file_name == nullptr) return failure;
  Ref empty = TRY(Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file_name, "<native>", 1))));
  PyCodeObject* template_code = reinterpret_cast<PyCodeObject*>(empty.get());
  bytecode = TRY(Ref::steal(PyCode_GetCode(template_code)));
  consts = Ref::borrow(template_code->co_consts);
  names = Ref::borrow(template_code->co_names);
  linetable = Ref::borrow(template_code->co_linetable);
  exceptiontable = Ref::borrow(template_code->co_exceptiontable);
  filename = Ref::borrow(template_code->co_filename);
  freevars = TRY(tuple({}));
  stacksize = template_code->co_stacksize;
  firstlineno = template_code->co_firstlineno;
  // -OO drops docstrings at compile time; the flag is the interpreter's, fixed at its start.
  if (PyObject* flags = PySys_GetObject("flags")) {  // borrowed
    const long level = PyLong_AsLong(TRY(getattr(flags, "optimize")).get());
    if (level == -1 && PyErr_Occurred()) return failure;
    keep_docstrings = level < 2;
  }
  return Status::ok;
}

Ref NativeTypes::name(const char* s) {
  const std::size_t mask = kNameSlots - 1;
  std::size_t slot = (reinterpret_cast<std::uintptr_t>(s) * 0x9E3779B97F4A7C15ull >> 32) & mask;
  while (cached_names[slot].text != nullptr && cached_names[slot].text != s) slot = (slot + 1) & mask;
  CachedName& entry = cached_names[slot];
  if (entry.name) return entry.name;  // (a cleared module state keeps the texts, not the names)
  PyObject* interned = TRY(zcore::text(std::string_view(s))).release();
  PyUnicode_InternInPlace(&interned);
  Ref made = Ref::steal(interned);
  // Once the module is initialised, calls in any thread read the table:
  // names first made later are not kept.
  if (sealed) return made;
  if (entry.text == s) {
    entry.name = made;
  } else if (cached_count < kNameSlots * 3 / 4) {  // past that, names are made afresh: slower, never wrong
    entry = {s, made};
    ++cached_count;
  }
  return made;
}

Ref NativeTypes::text(const char* s) { return name(s); }

Ref make_coroutine_type(Handle module) {
  Ref coroutine = TRY(Ref::steal(PyType_FromModuleAndSpec(module.get(), coroutine_type_spec(), nullptr)));
  // The iterator slot stays: `await` drives what __await__ returns through it.
  TRY(as_builtin(coroutine, true, {"__next__"}));
  // asyncio.iscoroutine() and isinstance checks go through the ABC.
  Ref abc = TRY(getattr(TRY(import("collections.abc")), "Coroutine"));
  TRY(call_method(abc, TRY(intern("register")), {coroutine}));
  return coroutine;
}

namespace {

// Our functions are defined at module level or directly in a class body,
// whose name then leads their qualified name.
bool defined_in_class(const FunctionDecl& decl) {
  return decl.qualname != nullptr && std::string_view(decl.qualname).find('.') != std::string_view::npos;
}

}  // namespace

Ref make_function(Handle module, NativeTypes& types, const FunctionDecl& decl) {
  if ((decl.sync == nullptr) == (decl.coroutine == nullptr)) {
    PyErr_Format(PyExc_SystemError, "function %s needs exactly one body", decl.name);
    return failure;
  }
  if (decl.params.overflowed() || decl.locals.overflowed() || decl.comprehension_vars.overflowed() ||
      decl.captured.overflowed()) {
    PyErr_Format(PyExc_SystemError, "function %s declares more names than its lists hold", decl.name);
    return failure;
  }
  Signature sig;
  TRY(build_signature(types, decl, sig));
  Ref qualname = TRY(text(decl.qualname != nullptr ? decl.qualname : decl.name));
  Ref module_name = TRY(Ref::steal(PyModule_GetNameObject(module.get())));
  Ref globals = Ref::borrow(PyModule_GetDict(module.get()));
  Ref builtins = TRY(builtins_of(types, globals));
  Ref name = TRY(types.name(decl.name));
  Ref doc = decl.doc != nullptr ? TRY(docstring(types, decl.doc)) : none();

  if (!types.function) TRY(types.create_function_type(module));
  PyTypeObject* function_type = reinterpret_cast<PyTypeObject*>(types.function.get());
  Ref result = TRY(Ref::steal(function_type->tp_alloc(function_type, 0)));
  FunctionObject* f = as_function(result.get());
  f->vectorcall = function_vectorcall;
  f->name = name.release();
  f->qualname = qualname.release();
  f->module_name = module_name.release();
  f->code_flags = (decl.varkw != nullptr ? CO_VARKEYWORDS : 0) | (decl.coroutine != nullptr ? CO_COROUTINE : 0) |
                  compat::code_flags(defined_in_class(decl), !doc.is_none());
  f->doc = doc.release();
  if (!compat::kFunctionsHaveAnnotate) {
    f->annotations = sig.annotations.release();
  } else if (PyDict_GET_SIZE(sig.annotations.get()) > 0) {  // else no __annotate__, and {} when first read
    f->declared_annotations = sig.annotations.release();
  }
  f->defaults = sig.defaults.release();
  f->kwdefaults = sig.kwdefaults.release();
  f->globals = globals.release();
  f->builtins = builtins.release();
  f->module = Ref::borrow(module).release();
  f->varnames = sig.varnames.release();
  f->code = nullptr;  // made when first asked for
  f->cellvars = sig.cellvars.release();
  // NULL until the module's first coroutine is made.
  f->coroutine_type = reinterpret_cast<PyTypeObject*>(Ref(types.coroutine).release());
  f->argcount = sig.argcount;
  f->kwonlycount = sig.kwonlycount;
  f->nlocals = static_cast<Py_ssize_t>(decl.locals.size());
  f->has_varkw = decl.varkw != nullptr;
  f->sync = decl.sync;
  f->coroutine = decl.coroutine;
  return result;
}

}  // namespace zcore
