// zentrova_sdk.cli: the `zentrova-sdk` command. Parsing, help and the process
// exit are typer's; the command itself runs one circuit through VORAClient.
#include <iterator>

#include "../client/service.hpp"
#include "module.hpp"

namespace cli {

using namespace zcore;

#define CLI_NAMES(X) \
  X(open)            \
  X(read)            \
  X(VORAClient)      \
  X(base_url) X(execute) X(qasm) X(shots) X(raw) X(json) X(dumps) X(indent) X(sort_keys) X(print) X(app) X(encoding)

enum class Name {
#define CLI_ENUM(n) n,
  CLI_NAMES(CLI_ENUM)
#undef CLI_ENUM
};

inline constexpr const char* kNameTexts[] = {
#define CLI_TEXT(n) #n,
    CLI_NAMES(CLI_TEXT)
#undef CLI_TEXT
};

struct State : ModuleStateBase {
  NameTable<Name, std::size(kNameTexts)> names;
  Ref read_mode, utf8, two;
  Ref kw_encoding, kw_base_url, kw_qasm_shots, kw_indent_sort_keys;

  Handle operator[](Name n) const noexcept { return names[n]; }

  template <class F>
  void for_each_ref(F&& f) {
    types.for_each_ref(f);
    names.for_each_ref(f);
    for (Ref* r : {&read_mode, &utf8, &two, &kw_encoding, &kw_base_url, &kw_qasm_shots, &kw_indent_sort_keys}) f(*r);
  }
};

namespace {

// execute(qasm_file, shots=1024, base_url=...): the file is read and closed
// before the client looks for its key, so a bad path is reported first.
Ref execute(const Args& args) {
  const State& st = module_state<State>(args);
  Ref qasm;
  Ref file = call_kw(args.global(st[Name::open]), {args[0], st.read_mode, st.utf8}, st.kw_encoding);
  with_context(file, [&](Handle f) { qasm = call_method(f, st[Name::read]); });
  Ref client = call_kw(args.global(st[Name::VORAClient]), {args[2]}, st.kw_base_url);
  Ref res = call_kw(getattr(client, st[Name::execute]), {qasm, args[1]}, st.kw_qasm_shots);
  // print(json.dumps(res.raw or {}, indent=2, sort_keys=True)), callees first.
  Ref print = args.global(st[Name::print]);
  Ref dumps = getattr(args.global(st[Name::json]), st[Name::dumps]);
  Ref document = getattr(res, st[Name::raw]);
  if (!truthy(document)) document = new_dict();
  Ref output = call_kw(dumps, {document, st.two, Py_True}, st.kw_indent_sort_keys);
  call(print, {output});
  return none();
}

Ref main_(const Args& args) {
  const State& st = module_state<State>(args);
  call(args.global(st[Name::app]));
  return none();
}

constexpr const char* kModuleDoc =
    "Minimal CLI wrapper for the SDK.\n"
    "\n"
    "This is intentionally named `zentrova-sdk` as an entrypoint to avoid colliding\n"
    "with the core CLI (`zentrova`).\n";

void exec_cli(Handle module, State& st) {
  st.names.create(kNameTexts);
  st.read_mode = text("r");
  st.utf8 = text("utf-8");
  st.two = integer(2);
  st.kw_encoding = tuple({st[Name::encoding]});
  st.kw_base_url = tuple({st[Name::base_url]});
  st.kw_qasm_shots = tuple({st[Name::qasm], st[Name::shots]});
  st.kw_indent_sort_keys = tuple({st[Name::indent], st[Name::sort_keys]});

  setattr(module, "__doc__", docstring(kModuleDoc));
  // The module's annotations are text, as under `from __future__ import annotations`.
  add_from(module, "__future__", "annotations");
  add(module, "json", import("json"));
  add(module, "sys", import("sys"));
  Ref typer = import("typer");
  add(module, "typer", typer);
  add_from(module, "zentrova_sdk.client", "VORAClient");

  Ref kwnames = tuple({intern("add_completion"), intern("help")});
  Ref app =
      call_kw(getattr(typer, "Typer"), {Py_False, text("Zentrova SDK CLI (client for VORA public API)")}, kwnames);
  add(module, "app", app);
  Ref command = make_function(module, st.types,
                              {.name = "execute",
                               .doc = "Submit a QASM file and wait for counts.",
                               .params = {{"qasm_file", "str"},
                                          {"shots", "int", integer(1024)},
                                          {"base_url", "str", text(service::kDefaultBaseUrl)}},
                               .locals = {"f", "qasm", "client", "res"},
                               .sync = execute});
  add(module, "execute", call(call_method(app, intern("command")), {command}));
  Ref main = make_function(module, st.types, {.name = "main", .returns = "None", .sync = main_});
  add(module, "main", main);

  Ref name = Ref::check(PyModule_GetNameObject(module.get()));
  if (compare(name, text("__main__"), Py_EQ)) {
    raise(PyExc_SystemExit, call(main));
  }
}

using Definition = ModuleDefinition<State, exec_cli>;
PyModuleDef definition = Definition::make("zentrova_sdk.cli");

}  // namespace
}  // namespace cli

PyMODINIT_FUNC PyInit_cli() { return PyModuleDef_Init(&cli::definition); }
