// zentrova_sdk.models: the job status enumeration, the error family and the
// records built from the service's JSON documents.
#include "state.hpp"

namespace models {
namespace {

void add_errors(Handle module) {
  Ref base = make_exception(module, "VORAError", PyExc_RuntimeError);
  add(module, "VORAError", base);
  // Siblings: each derives from VORAError only.
  for (const char* name :
       {"AuthenticationError", "RateLimitError", "ValidationError", "JobNotFoundError", "TimeoutError"})
    add(module, name, make_exception(module, name, base));
}

void exec_models(Handle module, State& st) {
  st.names.create(kNameTexts);
  st.empty_text = text("");
  st.simulator = text("simulator");
  st.pending = text("pending");
  st.zero = integer(0);
  st.provider_fields = tuple({st[Name::id], st[Name::name], st[Name::type], st[Name::num_qubits], st[Name::available]});
  st.backend_fields = tuple({st[Name::backend_name], st[Name::num_qubits], st[Name::backend_type], st[Name::available]});
  st.supplier_fields = tuple({st[Name::id], st[Name::name], st[Name::enabled], st[Name::num_providers]});
  st.job_result_fields = tuple({st[Name::job_id], st[Name::status], st[Name::counts], st[Name::num_qubits],
                                st[Name::shots], st[Name::backend], st[Name::error], st[Name::raw]});

  // The module's annotations are text, as under `from __future__ import annotations`.
  add_from(module, "__future__", "annotations");
  add_from(module, "dataclasses", "dataclass");
  add_from(module, "enum", "Enum");
  for (const char* name : {"Any", "Dict", "Optional"}) add_from(module, "typing", name);

  add(module, "JobStatus",
      make_str_enum(module, "JobStatus",
                    {{"PENDING", "pending"},
                     {"QUEUED", "queued"},
                     {"PROCESSING", "processing"},
                     {"COMPLETED", "completed"},
                     {"FAILED", "failed"}}));
  add_errors(module);
  Ref dataclass = getattr(module, "dataclass");
  add_records(module, st, dataclass);
  add_job_result(module, st, dataclass);
}

using Definition = ModuleDefinition<State, exec_models>;
PyModuleDef definition = Definition::make("zentrova_sdk.models");

}  // namespace
}  // namespace models

PyMODINIT_FUNC PyInit_models() { return PyModuleDef_Init(&models::definition); }
