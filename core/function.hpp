// Native functions that present themselves as Python functions: a real code
// object, __name__/__qualname__/__module__/__doc__, string annotations,
// __defaults__/__kwdefaults__, __globals__, __dict__, Python's argument
// binding and its TypeError texts, and method binding through PyMethod_New,
// so inspect, typing, classmethod, property and typer accept them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "storage.hpp"
#include "task.hpp"

namespace zcore {

struct FunctionObject;

// The arguments of one call, bound in the order of the code object's
// argument names: positional-or-keyword, keyword-only, then **kwargs.
class Args {
 public:
  Args(FunctionObject* function, Ref* frame, Handle varkw) noexcept
      : function_(function), frame_(frame), varkw_(varkw) {}

  Handle operator[](std::size_t i) const noexcept { return frame_[i]; }
  FunctionObject* function() const noexcept { return function_; }
  Handle kwargs() const noexcept { return varkw_; }  // the **kwargs dict
  // The slot of the i-th local named in the declaration; coroutine bodies
  // only. A coroutine keeps here what must outlive an await: the collector
  // sees these slots, not the C++ locals of a suspended body.
  Ref& local(std::size_t i) const noexcept;
  Handle module() const noexcept;
  // A module global as LOAD_GLOBAL finds it at this moment: the module's
  // dict, then the builtins; NameError like Python when neither has it.
  Ref global(Handle name) const;

  template <class State>
  State& state() const noexcept {
    return *static_cast<State*>(PyModule_GetState(module().get()));
  }

 private:
  FunctionObject* function_;
  Ref* frame_;  // the arguments, then the locals
  Handle varkw_;
};

using SyncBody = Ref (*)(const Args&);
using CoroutineBody = Task (*)(Args);

struct Param {
  const char* name;
  const char* annotation = nullptr;  // stored as text, never evaluated
  Ref default_value = {};            // empty: the argument is required
  bool keyword_only = false;
};

struct FunctionDecl {
  const char* name;
  const char* qualname = nullptr;  // defaults to `name`
  const char* doc = nullptr;
  InlineList<Param, 8> params = {};
  const char* varkw = nullptr;
  const char* varkw_annotation = nullptr;
  const char* returns = nullptr;
  InlineList<const char*, 12> locals = {};  // co_varnames after the arguments, in order of first use
  // Of `locals`, the variables of comprehensions in the body, and the names a
  // comprehension reads. As the interpreter compiles such a body: before 3.12
  // each comprehension is a function of its own, whose variables are not the
  // body's and which reads the captured locals through cells (co_cellvars);
  // since 3.12 comprehensions are inlined (PEP 709), so their variables are
  // locals of the body like the others, and nothing is a cell.
  InlineList<const char*, 4> comprehension_vars = {};
  InlineList<const char*, 4> captured = {};
  SyncBody sync = nullptr;  // exactly one of the two bodies
  CoroutineBody coroutine = nullptr;
};

// What a module's native functions share: the heap types behind them (the
// coroutine type made with the first coroutine), the parts of the
// interpreter's empty code object that each code object copies, and whether
// docstrings are kept (not under -OO).
//
// The function type is made with the module's first function, unless the
// module has taken it from another module of the package first
// (share_function_type): all Python functions are of one type too, and the
// modules, built together from one source, agree on its layout.
struct NativeTypes {
  Ref function;
  Ref coroutine;
  // Of the interpreter's empty code object: what every code object copies.
  Ref bytecode, consts, names, linetable, exceptiontable, filename, freevars;
  int stacksize = 0;
  int firstlineno = 0;
  bool keep_docstrings = true;

  // The names and annotation texts the module's initialisation uses, each
  // made once: a compiled module shares its equal constants too. Keyed by
  // the address of the text, which is a string literal (the compiler merges
  // equal literals; where it has not, both copies intern to one object).
  struct CachedName {
    const char* text = nullptr;
    Ref name;
  };
  static constexpr std::size_t kNameSlots = 256;  // a power of two, well above what a module uses
  std::array<CachedName, kNameSlots> cached_names;
  std::size_t cached_count = 0;
  bool sealed = false;  // once the module is initialised, the table only is read

  Status create(Handle module);
  Status create_function_type(Handle module);
  // Takes the function type of `other`, when it is a module built on this
  // core (its definition's name is `other_name`); otherwise leaves the
  // module to make its own.
  Status share_function_type(Handle other, const char* other_name);
  Ref name(const char* s);  // interned; `s` is a string literal
  void seal() noexcept { sealed = true; }
  Ref text(const char* s);
  template <class F>
  void for_each_ref(F&& f) {
    for (Ref* r :
         {&function, &coroutine, &bytecode, &consts, &names, &linetable, &exceptiontable, &filename, &freevars})
      f(*r);
    for (CachedName& entry : cached_names) f(entry.name);
  }
};

Ref make_function(Handle module, NativeTypes& types, const FunctionDecl& decl);
// A docstring as the interpreter's compiler stores it for that text in a
// def or class statement: None under -OO, and from 3.13 on without the
// common indentation of its lines.
Ref docstring(const NativeTypes& types, const char* raw);

// ---- internals shared by function.cpp and coroutine.cpp --------------------------
struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  PyObject* dict;
  PyObject* weaklist;
  PyObject* name;
  PyObject* qualname;
  PyObject* module_name;  // __module__
  PyObject* doc;
  PyObject* annotations;  // NULL until first read, where functions have __annotate__
  // Where functions have __annotate__: the annotation texts as declared, from
  // which __annotate__ is made when first asked for (NULL once the function's
  // __annotate__ or __annotations__ has been assigned), and __annotate__
  // itself (NULL for None).
  PyObject* declared_annotations;
  PyObject* annotate;
  PyObject* body_data;    // what a function made at run time closes over (an __annotate__'s texts)
  PyObject* defaults;     // tuple or NULL
  PyObject* kwdefaults;   // dict or NULL
  PyObject* type_params;  // tuple or NULL (the empty tuple)
  PyObject* globals;
  PyObject* builtins;
  PyObject* module;         // the defining module, for its state
  PyObject* code;           // NULL until first asked for (function_code)
  PyObject* code_qualname;  // the co_qualname of `code`, when it is not the function's
  PyObject* varnames;       // the argument names of `code`
  PyObject* cellvars;       // and its cells
  PyTypeObject* coroutine_type;
  Py_ssize_t argcount;
  Py_ssize_t posonlycount;  // of argcount
  Py_ssize_t kwonlycount;
  Py_ssize_t nlocals;
  bool has_varkw;
  int code_flags;
  SyncBody sync;
  CoroutineBody coroutine;
};

// The function's code object (borrowed), made on first use; nullptr with the
// error set when it cannot be made.
PyObject* function_code(FunctionObject* f) noexcept;

PyType_Spec* coroutine_type_spec() noexcept;
// A new coroutine type for the module's coroutine objects.
Ref make_coroutine_type(Handle module);
// Wraps a bound frame (arguments, then empty local slots) into a coroutine
// object; its body has not started.
Ref make_coroutine(FunctionObject* function, Ref* frame, Py_ssize_t count, Ref varkw);

}  // namespace zcore
