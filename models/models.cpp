// zentrova_sdk.models: the job status enumeration, the error family and the
// records built from the service's JSON documents.
#include "state.hpp"

namespace models {

namespace {

Status add_errors(Handle module) {
  Ref base = TRY(make_exception(module, "VORAError", PyExc_RuntimeError));
  TRY(add(module, "VORAError", base));
  // Siblings: each derives from VORAError only.
  for (const char* name :
       {"AuthenticationError", "RateLimitError", "ValidationError", "JobNotFoundError", "TimeoutError"})
    TRY(add(module, name, TRY(make_exception(module, name, base))));
  return Status::ok;
}

// Resolved through the class as attribute lookup finds it (borrowed).
Ref resolved(const State& st, Handle cls, Name name) {
  PyObject* found = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.get()), st[name].get());
  if (found == nullptr) {
    PyErr_Format(PyExc_SystemError, "JobStatus has no %U", st[name].get());
    return failure;
  }
  return Ref::borrow(found);
}

Status add_job_status(Handle module, State& st) {
  StatusClass& js = st.job_status;
  js.cls = TRY(make_str_enum(module, "JobStatus",
                             {{"PENDING", "pending"},
                              {"QUEUED", "queued"},
                              {"PROCESSING", "processing"},
                              {"COMPLETED", "completed"},
                              {"FAILED", "failed"}}));
  js.value_to_member = TRY(resolved(st, js.cls, Name::_value2member_map_));
  js.new_method = TRY(resolved(st, js.cls, Name::__new__));
  js.missing = TRY(resolved(st, js.cls, Name::_missing_));
  js.metaclass_call = Py_TYPE(js.cls.get())->tp_call;
  js.pending = TRY(getattr(js.cls, st[Name::PENDING]));
  return add(module, "JobStatus", js.cls);
}

Status exec_models(Handle module, State& st) {
  TRY(st.names.create(kNameTexts, [&](const char* s) { return st.types.name(s); }));
  st.empty_text = TRY(text(""));
  st.simulator = TRY(text("simulator"));
  st.pending = TRY(text("pending"));
  st.zero = TRY(integer(0));
  st.one = TRY(integer(1));
  st.builtin_isinstance = TRY(builtin("isinstance"));
  st.builtin_sum = TRY(builtin("sum"));

  // The module's annotations are text, as under `from __future__ import annotations`.
  TRY(add_from(module, "__future__", {"annotations"}));
  TRY(add_from(module, "dataclasses", {"dataclass"}));
  TRY(add_from(module, "enum", {"Enum"}));
  TRY(add_from(module, "typing", {"Any", "Dict", "Optional"}));

  TRY(add_job_status(module, st));
  TRY(add_errors(module));
  Ref dataclass = TRY(getattr(module, "dataclass"));
  TRY(add_records(module, st, dataclass));
  return add_job_result(module, st, dataclass);
}

using Definition = ModuleDefinition<State, exec_models>;
PyModuleDef definition = Definition::make("zentrova_sdk.models");

}  // namespace
}  // namespace models

PyMODINIT_FUNC PyInit_models() { return PyModuleDef_Init(&models::definition); }
