// CircuitJob and the catalogue records ProviderInfo, BackendInfo, SupplierInfo.
#include "state.hpp"

namespace models {
namespace {

// Each from_dict reads its keys in field order through the argument's own
// `get`, then calls the class it was invoked on (a subclass gets an instance
// of itself) with every field by keyword.
Ref provider_from_dict(const Args& args) {
  const State& st = TRY(module_state<State>(args));
  Handle data = args[1];
  Ref id = TRY(get(st, data, st[Name::id], st.empty_text));
  Ref name = TRY(get(st, data, st[Name::name], st.empty_text));
  Ref type = TRY(get(st, data, st[Name::type], st.simulator));
  Ref num_qubits = TRY(get(st, data, st[Name::num_qubits], st.zero));
  Ref available = TRY(get(st, data, st[Name::available], Py_True));
  return construct(st.provider, args[0], {id, name, type, num_qubits, available});
}

Ref backend_from_dict(const Args& args) {
  const State& st = TRY(module_state<State>(args));
  Handle data = args[1];
  Ref backend_name = TRY(get(st, data, st[Name::backend_name], st.empty_text));
  Ref num_qubits = TRY(get(st, data, st[Name::num_qubits], st.zero));
  Ref backend_type = TRY(get(st, data, st[Name::backend_type], st.simulator));
  Ref available = TRY(get(st, data, st[Name::available], Py_True));
  return construct(st.backend, args[0], {backend_name, num_qubits, backend_type, available});
}

Ref supplier_from_dict(const Args& args) {
  const State& st = TRY(module_state<State>(args));
  Handle data = args[1];
  Ref id = TRY(get(st, data, st[Name::id], st.empty_text));
  Ref name = TRY(get(st, data, st[Name::name], st.empty_text));
  Ref enabled = TRY(get(st, data, st[Name::enabled], Py_True));
  Ref num_providers = TRY(get(st, data, st[Name::num_providers], st.zero));
  return construct(st.supplier, args[0], {id, name, enabled, num_providers});
}

Ref from_dict_method(Handle module, State& st, const char* qualname, const char* returns, SyncBody body) {
  Ref function = TRY(make_function(module, st.types,
                                   {.name = "from_dict",
                                    .qualname = qualname,
                                    .params = {{"cls"}, {"data", "Dict[str, Any]"}},
                                    .returns = returns,
                                    .sync = body}));
  return call(TRY(builtin("classmethod")), {function});
}

}  // namespace

Status add_records(Handle module, State& st, Handle dataclass) {
  TRY(add(module, "CircuitJob",
          TRY(make_dataclass(module, dataclass,
                             {.name = "CircuitJob",
                              .fields = {{"job_id", "str"}, {"status", "JobStatus | str", st.job_status.pending}}}))));

  Ref provider =
      TRY(make_dataclass(module, dataclass,
                         {.name = "ProviderInfo",
                          .doc = "Information about a quantum provider.",
                          .fields = {{"id", "str"},
                                     {"name", "str"},
                                     {"type", "str", st.simulator},
                                     {"num_qubits", "int", st.zero},
                                     {"available", "bool", Py_True}},
                          .members = {{"from_dict", TRY(from_dict_method(module, st, "ProviderInfo.from_dict",
                                                                         "ProviderInfo", provider_from_dict))}}}));
  TRY(st.provider.set(provider,
                      {st[Name::id], st[Name::name], st[Name::type], st[Name::num_qubits], st[Name::available]}));
  TRY(add(module, "ProviderInfo", provider));

  Ref backend = TRY(make_dataclass(
      module, dataclass,
      {.name = "BackendInfo",
       .doc = "Information about a quantum backend.",
       .fields = {{"backend_name", "str"},
                  {"num_qubits", "int"},
                  {"backend_type", "str", st.simulator},
                  {"available", "bool", Py_True}},
       .members = {{"from_dict",
                    TRY(from_dict_method(module, st, "BackendInfo.from_dict", "BackendInfo", backend_from_dict))}}}));
  TRY(st.backend.set(backend,
                     {st[Name::backend_name], st[Name::num_qubits], st[Name::backend_type], st[Name::available]}));
  TRY(add(module, "BackendInfo", backend));

  Ref supplier = TRY(make_dataclass(
      module, dataclass,
      {.name = "SupplierInfo",
       .doc = "Information about a quantum supplier.",
       .fields = {{"id", "str"}, {"name", "str"}, {"enabled", "bool", Py_True}, {"num_providers", "int", st.zero}},
       .members = {{"from_dict", TRY(from_dict_method(module, st, "SupplierInfo.from_dict", "SupplierInfo",
                                                      supplier_from_dict))}}}));
  TRY(st.supplier.set(supplier, {st[Name::id], st[Name::name], st[Name::enabled], st[Name::num_providers]}));
  return add(module, "SupplierInfo", supplier);
}

}  // namespace models
