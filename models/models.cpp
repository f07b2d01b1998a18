// zentrova_sdk.models: the job status enumeration, the error family and the
// records built from the service's JSON documents.
#include "state.hpp"

namespace models {

void RecordClass::set(Handle record, Handle field_names) {
  cls = record.ref();
  init = getitem(getattr(record, "__dict__"), intern("__init__"));
  fields = field_names.ref();
}

Ref construct(const State& st, const RecordClass& record, Handle cls, std::initializer_list<Handle> values) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls.get());
  if (!cls.is(record.cls) || type->tp_setattro != PyObject_GenericSetAttr || type->tp_new != PyBaseObject_Type.tp_new)
    return call_kw(cls, values, record.fields);
  Ref type_dict = Ref::check(PyType_GetDict(type));
  PyObject* init = PyDict_GetItemWithError(type_dict.get(), st.dunder_init.get());
  if (init != record.init.get()) {
    if (PyErr_Occurred()) throw_error_set();
    return call_kw(cls, values, record.fields);
  }
  Ref self = Ref::check(type->tp_new(type, st.empty_tuple.get(), nullptr));
  Py_ssize_t i = 0;
  for (Handle value : values) setattr(self, PyTuple_GET_ITEM(record.fields.get(), i++), value);
  return self;
}

Ref member_by_value(const State& st, Handle job_status, Handle value) {
  if (!job_status.is(st.job_status) || !PyUnicode_CheckExact(value.get())) return {};
  PyObject* member = PyDict_GetItemWithError(st.value_to_member.get(), value.get());
  if (member == nullptr && PyErr_Occurred()) throw_error_set();
  return Ref::borrow(member);
}

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
  st.empty_tuple = tuple({});
  st.dunder_init = intern("__init__");
  st.builtin_isinstance = builtin("isinstance");

  // The module's annotations are text, as under `from __future__ import annotations`.
  add_from(module, "__future__", "annotations");
  add_from(module, "dataclasses", "dataclass");
  add_from(module, "enum", "Enum");
  for (const char* name : {"Any", "Dict", "Optional"}) add_from(module, "typing", name);

  st.job_status = make_str_enum(module, "JobStatus",
                                {{"PENDING", "pending"},
                                 {"QUEUED", "queued"},
                                 {"PROCESSING", "processing"},
                                 {"COMPLETED", "completed"},
                                 {"FAILED", "failed"}});
  st.value_to_member = getattr(st.job_status, "_value2member_map_");
  add(module, "JobStatus", st.job_status);
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
