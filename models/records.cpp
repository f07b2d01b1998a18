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
  Ref id = get(st, data, st[Name::id], st.empty_text);
  Ref name = get(st, data, st[Name::name], st.empty_text);
  Ref type = get(st, data, st[Name::type], st.simulator);
  Ref num_qubits = get(st, data, st[Name::num_qubits], st.zero);
  Ref available = get(st, data, st[Name::available], Py_True);
  return construct(st, st.provider, args[0], {id, name, type, num_qubits, available});
}

Ref backend_from_dict(const Args& args) {
  const State& st = module_state<State>(args);
  Handle data = args[1];
  Ref backend_name = get(st, data, st[Name::backend_name], st.empty_text);
  Ref num_qubits = get(st, data, st[Name::num_qubits], st.zero);
  Ref backend_type = get(st, data, st[Name::backend_type], st.simulator);
  Ref available = get(st, data, st[Name::available], Py_True);
  return construct(st, st.backend, args[0], {backend_name, num_qubits, backend_type, available});
}

Ref supplier_from_dict(const Args& args) {
  const State& st = module_state<State>(args);
  Handle data = args[1];
  Ref id = get(st, data, st[Name::id], st.empty_text);
  Ref name = get(st, data, st[Name::name], st.empty_text);
  Ref enabled = get(st, data, st[Name::enabled], Py_True);
  Ref num_providers = get(st, data, st[Name::num_providers], st.zero);
  return construct(st, st.supplier, args[0], {id, name, enabled, num_providers});
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
                     {.name = "CircuitJob", .fields = {{"job_id", "str"}, {"status", "JobStatus | str", pending}}}));

  Ref provider = make_dataclass(module, dataclass,
                                {.name = "ProviderInfo",
                                 .doc = "Information about a quantum provider.",
                                 .fields = {{"id", "str"},
                                            {"name", "str"},
                                            {"type", "str", st.simulator},
                                            {"num_qubits", "int", st.zero},
                                            {"available", "bool", boolean(true)}},
                                 .members = {{"from_dict", from_dict_method(module, st, "ProviderInfo.from_dict",
                                                                            "ProviderInfo", provider_from_dict)}}});
  st.provider.set(provider,
                  tuple({st[Name::id], st[Name::name], st[Name::type], st[Name::num_qubits], st[Name::available]}));
  add(module, "ProviderInfo", provider);

  Ref backend = make_dataclass(module, dataclass,
                               {.name = "BackendInfo",
                                .doc = "Information about a quantum backend.",
                                .fields = {{"backend_name", "str"},
                                           {"num_qubits", "int"},
                                           {"backend_type", "str", st.simulator},
                                           {"available", "bool", boolean(true)}},
                                .members = {{"from_dict", from_dict_method(module, st, "BackendInfo.from_dict",
                                                                           "BackendInfo", backend_from_dict)}}});
  st.backend.set(backend,
                 tuple({st[Name::backend_name], st[Name::num_qubits], st[Name::backend_type], st[Name::available]}));
  add(module, "BackendInfo", backend);

  Ref supplier = make_dataclass(module, dataclass,
                                {.name = "SupplierInfo",
                                 .doc = "Information about a quantum supplier.",
                                 .fields = {{"id", "str"},
                                            {"name", "str"},
                                            {"enabled", "bool", boolean(true)},
                                            {"num_providers", "int", st.zero}},
                                 .members = {{"from_dict", from_dict_method(module, st, "SupplierInfo.from_dict",
                                                                            "SupplierInfo", supplier_from_dict)}}});
  st.supplier.set(supplier, tuple({st[Name::id], st[Name::name], st[Name::enabled], st[Name::num_providers]}));
  add(module, "SupplierInfo", supplier);
}

}  // namespace models
