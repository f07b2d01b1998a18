// CircuitJob and the catalogue records ProviderInfo, BackendInfo, SupplierInfo.
#include "state.hpp"

namespace models {
namespace {

// Each from_dict reads its keys in field order through the argument's own
// `get`, then calls the class it was invoked on (a subclass gets an instance
// of itself) with every field by keyword.
Ref provider_from_dict(const Args& args) {
  const State& st = module_state<State>(args);
  Handle data = args[1];
  Ref id = call_method(data, st[Name::get], {st[Name::id], st.empty_text});
  Ref name = call_method(data, st[Name::get], {st[Name::name], st.empty_text});
  Ref type = call_method(data, st[Name::get], {st[Name::type], st.simulator});
  Ref num_qubits = call_method(data, st[Name::get], {st[Name::num_qubits], st.zero});
  Ref available = call_method(data, st[Name::get], {st[Name::available], Py_True});
  return call_kw(args[0], {id, name, type, num_qubits, available}, st.provider_fields);
}

Ref backend_from_dict(const Args& args) {
  const State& st = module_state<State>(args);
  Handle data = args[1];
  Ref backend_name = call_method(data, st[Name::get], {st[Name::backend_name], st.empty_text});
  Ref num_qubits = call_method(data, st[Name::get], {st[Name::num_qubits], st.zero});
  Ref backend_type = call_method(data, st[Name::get], {st[Name::backend_type], st.simulator});
  Ref available = call_method(data, st[Name::get], {st[Name::available], Py_True});
  return call_kw(args[0], {backend_name, num_qubits, backend_type, available}, st.backend_fields);
}

Ref supplier_from_dict(const Args& args) {
  const State& st = module_state<State>(args);
  Handle data = args[1];
  Ref id = call_method(data, st[Name::get], {st[Name::id], st.empty_text});
  Ref name = call_method(data, st[Name::get], {st[Name::name], st.empty_text});
  Ref enabled = call_method(data, st[Name::get], {st[Name::enabled], Py_True});
  Ref num_providers = call_method(data, st[Name::get], {st[Name::num_providers], st.zero});
  return call_kw(args[0], {id, name, enabled, num_providers}, st.supplier_fields);
}

Ref from_dict_method(Handle module, const State& st, const char* qualname, const char* returns, SyncBody body) {
  Ref function = make_function(module, st.types,
                               {.name = "from_dict",
                                .qualname = qualname,
                                .params = {{"cls"}, {"data", "Dict[str, Any]"}},
                                .returns = returns,
                                .sync = body});
  return call(builtin("classmethod"), {function});
}

}  // namespace

void add_records(Handle module, State& st, Handle dataclass) {
  Ref pending = getattr(getattr(module, "JobStatus"), "PENDING");
  add(module, "CircuitJob",
      make_dataclass(module, dataclass,
                     {.name = "CircuitJob",
                      .fields = {{"job_id", "str"}, {"status", "JobStatus | str", pending}}}));

  add(module, "ProviderInfo",
      make_dataclass(module, dataclass,
                     {.name = "ProviderInfo",
                      .doc = "Information about a quantum provider.",
                      .fields = {{"id", "str"},
                                 {"name", "str"},
                                 {"type", "str", st.simulator},
                                 {"num_qubits", "int", st.zero},
                                 {"available", "bool", boolean(true)}},
                      .members = {{"from_dict", from_dict_method(module, st, "ProviderInfo.from_dict", "ProviderInfo",
                                                                 provider_from_dict)}}}));

  add(module, "BackendInfo",
      make_dataclass(module, dataclass,
                     {.name = "BackendInfo",
                      .doc = "Information about a quantum backend.",
                      .fields = {{"backend_name", "str"},
                                 {"num_qubits", "int"},
                                 {"backend_type", "str", st.simulator},
                                 {"available", "bool", boolean(true)}},
                      .members = {{"from_dict", from_dict_method(module, st, "BackendInfo.from_dict", "BackendInfo",
                                                                 backend_from_dict)}}}));

  add(module, "SupplierInfo",
      make_dataclass(module, dataclass,
                     {.name = "SupplierInfo",
                      .doc = "Information about a quantum supplier.",
                      .fields = {{"id", "str"},
                                 {"name", "str"},
                                 {"enabled", "bool", boolean(true)},
                                 {"num_providers", "int", st.zero}},
                      .members = {{"from_dict", from_dict_method(module, st, "SupplierInfo.from_dict", "SupplierInfo",
                                                                 supplier_from_dict)}}}));
}

}  // namespace models
