// Module-level machinery: multi-phase initialisation with per-module state,
// and builders for the classes a module defines, each made by the host's own
// machinery (enum, dataclasses, type) with the module's __module__ and the
// class's __qualname__.
#pragma once

#include <atomic>
#include <initializer_list>
#include <new>
#include <span>
#include <utility>

#include "function.hpp"

namespace zcore {

// ---- state -------------------------------------------------------------------------

// A module run from source finds __builtins__ in its globals, where exec()
// puts the builtins before the first statement: so does this one.
Status install_builtins(Handle module);

// Every module state derives from this; `ready` is false until initialisation
// has finished and again once the state has been cleared, so that a function
// called during interpreter shutdown raises instead of touching freed names.
struct ModuleStateBase {
  NativeTypes types;
  bool ready = false;  // read by every call, in any thread: through is_ready()

  bool is_ready() const noexcept {
    return std::atomic_ref<bool>(const_cast<bool&>(ready)).load(std::memory_order_acquire);
  }
  void set_ready(bool value) noexcept { std::atomic_ref<bool>(ready).store(value, std::memory_order_release); }
};

// The state of the module that defines the function being called, or a
// failure once the module has been torn down.
// The native support of a module whose state derives from ModuleStateBase,
// its only base, which so starts the state.
inline NativeTypes& native_types(Handle module) {
  return static_cast<ModuleStateBase*>(PyModule_GetState(module.get()))->types;
}

template <class State>
State* module_state(const Args& args) {
  State& state = args.state<State>();
  if (state.is_ready()) return &state;
  PyErr_SetString(PyExc_RuntimeError, "module is not initialised");
  return nullptr;
}

// The PyModuleDef slots of a module whose state is `State` (with a
// `for_each_ref(f)` listing its references) and whose exec function is `Exec`.
template <class State, Status (*Exec)(Handle module, State& state)>
struct ModuleDefinition {
  static State* state_of(PyObject* module) noexcept { return static_cast<State*>(PyModule_GetState(module)); }

  static int exec(PyObject* module) noexcept {
    return guard_status([&]() -> Status {
      State* state = new (state_of(module)) State();
      TRY(install_builtins(module));
      TRY(state->types.create(module));
      TRY(Exec(module, *state));
      state->types.seal();
      state->set_ready(true);
      return Status::ok;
    });
  }
  static int traverse(PyObject* module, visitproc visit, void* arg) noexcept {
    State* state = state_of(module);
    if (state == nullptr) return 0;
    int result = 0;
    state->for_each_ref([&](Ref& r) {
      if (result == 0 && r) result = visit(r.get(), arg);
    });
    return result;
  }
  static int clear(PyObject* module) noexcept {
    State* state = state_of(module);
    if (state == nullptr) return 0;
    state->set_ready(false);
    state->for_each_ref([](Ref& r) { r.reset(); });
    return 0;
  }
  static void free(void* module) noexcept {
    State* state = state_of(static_cast<PyObject*>(module));
    if (state != nullptr) state->~State();  // zeroed memory is an empty state too
  }

  // Safe without the GIL: see shared.hpp.
  static inline PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec)},
                                            ZCORE_GIL_NOT_USED_SLOT{0, nullptr}};

  static PyModuleDef make(const char* name) noexcept {
    return {PyModuleDef_HEAD_INIT, name, nullptr, sizeof(State), nullptr, slots, traverse, clear, free};
  }
};

// ---- names -------------------------------------------------------------------------

Status add(Handle module, const char* name, Handle value);
// Binds `name` in the module to the attribute `name` of the module `from`.
// `from <from> import <names>`: one import, then each name bound in the
// module to the attribute of that name.
Status add_from(Handle module, const char* from, std::initializer_list<const char*> names);
Ref builtin(const char* name);

// ---- classes -----------------------------------------------------------------------

// class <name>(<bases>): <body>, made as a class statement makes it: the
// metaclass of the bases prepares the namespace and is called with it; the
// namespace gets __module__ and __qualname__ (and where the interpreter
// records them, __firstlineno__) first, then the entries of the dict `body`
// in order, through the namespace's own item assignment, and where the
// interpreter records it, __static_attributes__: the sorted names that the
// class's methods assign through `self.`.
Ref make_class(Handle module, const char* name, std::initializer_list<Handle> bases, Handle body,
               std::span<const char* const> self_attributes = {});
// Puts a docstring into a class body as the compiler does (nothing under -OO).
Status set_class_docstring(NativeTypes& types, Handle body, const char* doc);
// class <name>(<base>): pass
Ref make_exception(Handle module, const char* name, Handle base);
// class <name>(str, Enum) with the members in order.
Ref make_str_enum(Handle module, const char* name, std::initializer_list<std::pair<const char*, const char*>> members);

struct Field {
  const char* name;
  const char* annotation;
  Handle default_value = {};  // empty: required
};

struct Member {
  const char* name;
  Handle value;
};

struct DataclassDecl {
  const char* name;
  const char* doc = nullptr;
  InlineList<Field, 8> fields;
  InlineList<Member, 4> members = {};
};

// A class body of annotated fields (annotations stored as text) and members,
// decorated with `decorator` (the host's dataclasses.dataclass).
Ref make_dataclass(Handle module, Handle decorator, const DataclassDecl& decl);

// A data class as a module made it, recognised again at call time.
struct RecordClass {
  Ref cls;
  Ref init;    // the __init__ the dataclass decorator generated
  Ref fields;  // the keyword names of the fields, in order
  Ref init_name, no_arguments;

  Status set(Handle record, std::initializer_list<Handle> field_names);
  template <class F>
  void for_each_ref(F&& f) {
    for (Ref* r : {&cls, &init, &fields, &init_name, &no_arguments}) f(*r);
  }
};

// cls(**dict(zip(record.fields, values))). When `cls` is the record class
// itself, unchanged since the module made it (the same generated __init__,
// the default __new__ and __setattr__), the instance is built by doing what
// that __init__ does, without the detour through keyword arguments.
Ref construct(const RecordClass& record, Handle cls, std::initializer_list<Handle> values);

}  // namespace zcore
