// zentrova_sdk.cli: the `zentrova-sdk` command. Parsing, help and the process
// exit are typer's; the command itself runs one circuit through VORAClient.
#include <iterator>

#include "../client/service.hpp"
#include "module.hpp"

namespace cli {

using namespace zcore;

// clang-format off
#define CLI_NAMES(X)                                                                                        \
  X(open) X(read) X(VORAClient) X(base_url) X(execute) X(qasm) X(shots) X(raw) X(json) X(dumps) X(indent)  \
  X(sort_keys) X(print) X(app) X(encoding) X(command) X(add_completion) X(help) X(is_successful) X(error)   \
  X(job_id) X(split) X(sys) X(stderr) X(file) X(typer) X(Exit) X(code)
// clang-format on

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
  Ref read_mode, utf8, one, two, default_shots, default_base_url;
  Ref space, no_error_text, job_prefix, failed_infix;
  Ref kw_encoding, kw_base_url, kw_qasm_shots, kw_indent_sort_keys, kw_file, kw_code;

  Handle operator[](Name n) const noexcept { return names[n]; }

  template <class F>
  void for_each_ref(F&& f) {
    types.for_each_ref(f);
    names.for_each_ref(f);
    for (Ref* r :
         {&read_mode, &utf8, &one, &two, &default_shots, &default_base_url, &space, &no_error_text, &job_prefix,
          &failed_infix, &kw_encoding, &kw_base_url, &kw_qasm_shots, &kw_indent_sort_keys, &kw_file, &kw_code})
      f(*r);
  }
};

namespace {

// execute(qasm_file, shots=1024, base_url=...): the file is read and closed
// before the client looks for its key, so a bad path is reported first. A job
// that did not succeed ends the command with exit status 1, after its
// document, so that a script can tell it from a good one.
Ref execute(const Args& args) {
  const State& st = TRY(module_state<State>(args));
  // with open(qasm_file, "r", encoding="utf-8") as f: qasm = f.read()
  Ref qasm;
  Ref file = TRY(call_kw(TRY(args.global(st[Name::open])), {args[0], st.read_mode, st.utf8}, st.kw_encoding));
  TRY(with_context(file, [&](Handle f) -> Status {
    qasm = TRY(call_method(f, st[Name::read]));
    return Status::ok;
  }));
  Ref client = TRY(call_kw(TRY(args.global(st[Name::VORAClient])), {args[2]}, st.kw_base_url));
  Ref res = TRY(call_kw(TRY(getattr(client, st[Name::execute])), {qasm, args[1]}, st.kw_qasm_shots));
  // print(json.dumps(res.raw or {}, indent=2, sort_keys=True)), callees first.
  Ref print = TRY(args.global(st[Name::print]));
  Ref dumps = TRY(getattr(TRY(args.global(st[Name::json])), st[Name::dumps]));
  Ref document = TRY(getattr(res, st[Name::raw]));
  if (!TRY(truthy(document))) document = TRY(new_dict());
  Ref output = TRY(call_kw(dumps, {document, st.two, Py_True}, st.kw_indent_sort_keys));
  TRY(call(print, {output}));
  if (TRY(truthy(TRY(getattr(res, st[Name::is_successful]))))) return none();
  // error = " ".join(f"{res.error or 'no error text given'}".split())
  Ref reason = TRY(getattr(res, st[Name::error]));
  if (!TRY(truthy(reason))) reason = st.no_error_text;
  Ref words = TRY(call_method(TRY(format(reason)), st[Name::split]));
  Ref error = TRY(Ref::steal(PyUnicode_Join(st.space.get(), words.get())));
  // print(f"zentrova-sdk: job {res.job_id} failed: {error}", file=sys.stderr)
  print = TRY(args.global(st[Name::print]));
  Ref job_id = TRY(format(TRY(getattr(res, st[Name::job_id]))));
  Ref line = TRY(concat({st.job_prefix, job_id, st.failed_infix, error}));
  Ref stderr = TRY(getattr(TRY(args.global(st[Name::sys])), st[Name::stderr]));
  TRY(call_kw(print, {line, stderr}, st.kw_file));
  // raise typer.Exit(code=1)
  Ref exit = TRY(getattr(TRY(args.global(st[Name::typer])), st[Name::Exit]));
  return raise_object(TRY(call_kw(exit, {st.one}, st.kw_code)));
}

Ref main_(const Args& args) {
  const State& st = TRY(module_state<State>(args));
  TRY(call(TRY(args.global(st[Name::app]))));
  return none();
}

constexpr const char* kModuleDoc =
    "Minimal CLI wrapper for the SDK.\n"
    "\n"
    "This is intentionally named `zentrova-sdk` as an entrypoint to avoid colliding\n"
    "with the core CLI (`zentrova`).\n";

Status exec_cli(Handle module, State& st) {
  TRY(st.names.create(kNameTexts, [&](const char* s) { return st.types.name(s); }));
  st.read_mode = TRY(text("r"));
  st.utf8 = TRY(text("utf-8"));
  st.one = TRY(integer(1));
  st.two = TRY(integer(2));
  st.default_shots = TRY(integer(1024));
  st.default_base_url = TRY(text(service::kDefaultBaseUrl));
  st.kw_encoding = TRY(tuple({st[Name::encoding]}));
  st.kw_base_url = TRY(tuple({st[Name::base_url]}));
  st.kw_qasm_shots = TRY(tuple({st[Name::qasm], st[Name::shots]}));
  st.kw_indent_sort_keys = TRY(tuple({st[Name::indent], st[Name::sort_keys]}));
  st.kw_file = TRY(tuple({st[Name::file]}));
  st.kw_code = TRY(tuple({st[Name::code]}));
  st.space = TRY(text(" "));
  st.no_error_text = TRY(text("no error text given"));
  st.job_prefix = TRY(text("zentrova-sdk: job "));
  st.failed_infix = TRY(text(" failed: "));

  TRY(setattr(module, "__doc__", TRY(docstring(st.types, kModuleDoc))));
  // The module's annotations are text, as under `from __future__ import annotations`.
  TRY(add_from(module, "__future__", {"annotations"}));
  TRY(add(module, "json", TRY(import("json"))));
  TRY(add(module, "sys", TRY(import("sys"))));
  Ref typer = TRY(import("typer"));
  TRY(add(module, "typer", typer));
  TRY(add_from(module, "zentrova_sdk.client", {"VORAClient"}));

  // typer.Typer(add_completion=False, help="...")
  Ref kwnames = TRY(tuple({st[Name::add_completion], st[Name::help]}));
  Ref app = TRY(call_kw(TRY(getattr(typer, "Typer")),
                        {Py_False, TRY(text("Zentrova SDK CLI (client for VORA public API)"))}, kwnames));
  TRY(add(module, "app", app));
  Ref command = TRY(make_function(
      module, st.types,
      {.name = "execute",
       .doc = "Submit a QASM file and wait for counts.",
       .params = {{"qasm_file", "str"}, {"shots", "int", st.default_shots}, {"base_url", "str", st.default_base_url}},
       .locals = {"f", "qasm", "client", "res", "error"},
       .sync = execute}));
  TRY(add(module, "execute", TRY(call(TRY(call_method(app, st[Name::command])), {command}))));
  Ref main = TRY(make_function(module, st.types, {.name = "main", .returns = "None", .sync = main_}));
  TRY(add(module, "main", main));

  Ref name = TRY(Ref::steal(PyModule_GetNameObject(module.get())));
  if (TRY(compare(name, TRY(text("__main__")), Py_EQ))) return raise(PyExc_SystemExit, TRY(call(main)));
  return Status::ok;
}

using Definition = ModuleDefinition<State, exec_cli>;
PyModuleDef definition = Definition::make("zentrova_sdk.cli");

}  // namespace
}  // namespace cli

PyMODINIT_FUNC PyInit_cli() { return PyModuleDef_Init(&cli::definition); }
