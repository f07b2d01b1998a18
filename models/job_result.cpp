// JobResult: the record of a job's status or result document.

#include "state.hpp"

namespace models {
namespace {

// `a or b`, where b is only computed when a is falsy.
template <class Fallback>
Ref either(Ref first, Fallback&& fallback) {
  if (TRY(truthy(first))) return first;
  return fallback();
}

// `test(o, cls)` for the global `isinstance` as found: the interpreter's own
// is applied directly.
Truth instance_of(const State& st, Handle test, Handle o, Handle cls) {
  if (test.is(st.builtin_isinstance)) return isinstance(o, cls);
  Ref result = TRY(call(test, {o, cls}));
  return truthy(result);
}

// ---- the status ----------------------------------------------------------------------

enum class Lookup { member, not_a_value, ask_the_class };

// JobStatus(value) without the call, where its outcome is known: the class is
// the module's own and its lookup by value unchanged (metaclass call,
// __new__, _missing_, the value map), and `value` an exact str, whose hash
// and comparisons run no code of anyone's. Then the member is the one the
// value map holds, and a text it does not hold raises ValueError.
Lookup known_lookup(const State& st, Handle job_status, Handle value, Ref& member) {
  const StatusClass& js = st.job_status;
  PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(job_status.get());
  // (What the class lookups find is only compared with what the module holds,
  // never used, so it may change under another thread meanwhile.)
  if (!job_status.is(js.cls) || !PyUnicode_CheckExact(value.get()) || Py_TYPE(cls)->tp_call != js.metaclass_call ||
      _PyType_Lookup(cls, st[Name::__new__].get()) != js.new_method.get() ||
      _PyType_Lookup(cls, st[Name::_missing_].get()) != js.missing.get() ||
      _PyType_Lookup(cls, st[Name::_value2member_map_].get()) != js.value_to_member.get() ||
      !PyDict_CheckExact(js.value_to_member.get()))
    return Lookup::ask_the_class;
  PyObject* found = nullptr;
  const int r = PyDict_GetItemRef(js.value_to_member.get(), value.get(), &found);
  if (r == 0) return Lookup::not_a_value;
  if (r < 0) {
    PyErr_Clear();  // a key that is not a text: let the class decide
    return Lookup::ask_the_class;
  }
  member = Ref::steal(found);
  return Lookup::member;
}

// try:
//     status = JobStatus(status_raw)
// except Exception:
//     status = JobStatus.PENDING
Ref status_of(const Args& args, const State& st, Handle status_raw) {
  if (Ref job_status = args.global(st[Name::JobStatus])) {
    Ref status;
    switch (known_lookup(st, job_status, status_raw, status)) {
      case Lookup::member:
        return status;
      case Lookup::not_a_value:
        // The handler's JobStatus.PENDING, of the very class just looked up,
        // whose members cannot be reassigned.
        return st.job_status.pending;
      case Lookup::ask_the_class:
        if ((status = call(job_status, {status_raw}))) return status;
    }
  }
  CaughtException caught = CaughtException::fetch();
  if (!caught.matches(PyExc_Exception)) return caught.restore();
  HandlingScope handling(caught);
  return getattr(TRY(args.global(st[Name::JobStatus])), st[Name::PENDING]);
}

// ---- from_dict -----------------------------------------------------------------------

Ref job_result_from_dict(const Args& args) {
  const State& st = TRY(module_state<State>(args));
  Handle cls = args[0];
  Handle data = args[1];

  // status_raw = (data.get("status") or "pending").lower()
  Ref status_raw = TRY(either(TRY(get(st, data, st[Name::status])), [&] { return Ref(st.pending); }));
  status_raw = TRY(call_method(status_raw, st[Name::lower]));
  Ref status = TRY(status_of(args, st, status_raw));

  // result_block = data.get("result") if isinstance(data.get("result"), dict) else {}
  Ref test = TRY(args.global(st[Name::isinstance]));
  Ref candidate = TRY(get(st, data, st[Name::result]));
  Ref result_block;
  if (TRY(instance_of(st, test, candidate, TRY(args.global(st[Name::dict]))))) {
    result_block = TRY(get(st, data, st[Name::result]));
  } else {
    result_block = TRY(new_dict());
  }

  Ref counts =
      TRY(either(TRY(get(st, data, st[Name::counts])), [&] { return get(st, result_block, st[Name::counts]); }));
  Ref job_id = TRY(either(TRY(get(st, data, st[Name::job_id])), [&] { return Ref(st.empty_text); }));
  Ref num_qubits = TRY(
      either(TRY(get(st, result_block, st[Name::num_qubits])), [&] { return get(st, data, st[Name::num_qubits]); }));
  Ref shots = TRY(either(TRY(get(st, result_block, st[Name::shots])), [&] { return get(st, data, st[Name::shots]); }));
  Ref backend =
      TRY(either(TRY(get(st, result_block, st[Name::backend])), [&] { return get(st, data, st[Name::backend]); }));
  Ref error = TRY(either(TRY(get(st, data, st[Name::error])), [&] { return get(st, result_block, st[Name::error]); }));
  return construct(st.job_result, cls, {job_id, status, counts, num_qubits, shots, backend, error, data});
}

// ---- the properties ------------------------------------------------------------------

// self.status in (JobStatus.COMPLETED, JobStatus.FAILED)
Ref is_complete(const Args& args) {
  const State& st = TRY(module_state<State>(args));
  Ref status = TRY(getattr(args[0], st[Name::status]));
  Ref completed = TRY(getattr(TRY(args.global(st[Name::JobStatus])), st[Name::COMPLETED]));
  Ref failed = TRY(getattr(TRY(args.global(st[Name::JobStatus])), st[Name::FAILED]));
  return boolean(TRY(contains(TRY(tuple({completed, failed})), status)));
}

// self.status == JobStatus.COMPLETED and not self.error
Ref is_successful(const Args& args) {
  const State& st = TRY(module_state<State>(args));
  Ref status = TRY(getattr(args[0], st[Name::status]));
  Ref completed = TRY(getattr(TRY(args.global(st[Name::JobStatus])), st[Name::COMPLETED]));
  Ref same = TRY(rich_compare(status, completed, Py_EQ));
  if (!TRY(truthy(same))) return same;  // `and` hands back its first operand when falsy
  return boolean(!TRY(truthy(TRY(getattr(args[0], st[Name::error])))));
}

// ---- get_probabilities -----------------------------------------------------------------

// Counts as the service sends them: an exact dict of exact str to exact int.
// Reading such a dict, summing its values and dividing them runs no code of
// anyone's, so it can be done directly: on a dict of the caller's, which
// other threads may change meanwhile where there is no GIL, on a copy of it.
Ref plain_snapshot(Handle counts) {
  if (!PyDict_CheckExact(counts.get())) return counts.ref();
  return compat::kFreeThreaded ? Ref::steal(PyDict_Copy(counts.get())) : counts.ref();
}

bool plain_counts(Handle counts) {
  if (!PyDict_CheckExact(counts.get())) return false;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(counts.get(), &pos, &key, &value))
    if (!PyUnicode_CheckExact(key) || !PyLong_CheckExact(value)) return false;
  return true;
}

// sum(counts.values()) of plain counts into `total`, unless it needs more
// than 64 bits.
bool plain_sum(Handle counts, long long& total) {
  total = 0;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(counts.get(), &pos, &key, &value)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0 || __builtin_add_overflow(total, v, &total)) return false;
  }
  return true;
}

// value / total of two exact ints. Where both are exactly representable as
// doubles the interpreter divides the doubles, and so does this.
Ref divide(Handle value, Handle total) {
  constexpr long long kExact = 1LL << 53;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
  if (overflow == 0) {
    const long long t = PyLong_AsLongLongAndOverflow(total.get(), &overflow);
    if (overflow == 0 && t != 0 && -kExact < v && v < kExact && -kExact < t && t < kExact)
      return floating(static_cast<double>(v) / static_cast<double>(t));
  }
  return true_divide(value, total);
}

Ref get_probabilities(const Args& args) {
  const State& st = TRY(module_state<State>(args));
  Handle self = args[0];
  // if not self.counts: return {}
  if (!TRY(truthy(TRY(getattr(self, st[Name::counts]))))) return new_dict();

  // total = sum(self.counts.values()) or 1
  Ref sum = TRY(args.global(st[Name::sum]));
  Ref counts = TRY(getattr(self, st[Name::counts]));
  Ref plain = TRY(plain_snapshot(counts));
  Ref total;
  long long plain_total = 0;
  if (sum.is(st.builtin_sum) && plain_counts(plain) && plain_sum(plain, plain_total)) {
    total = TRY(Ref::steal(PyLong_FromLongLong(plain_total)));
  } else {
    total = TRY(call(sum, {TRY(call_method(counts, st[Name::values]))}));
  }
  if (!TRY(truthy(total))) total = st.one;

  // {key: value / total for key, value in self.counts.items()}
  counts = TRY(getattr(self, st[Name::counts]));
  plain = TRY(plain_snapshot(counts));
  Ref probabilities = TRY(new_dict());
  if (plain_counts(plain) && PyLong_CheckExact(total.get())) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(plain.get(), &pos, &key, &value)) TRY(dict_set(probabilities, key, TRY(divide(value, total))));
    return probabilities;
  }
  Ref items = TRY(iterate(TRY(call_method(counts, st[Name::items]))));
  Ref item, key, value;
  while (TRY(next(items, item))) {
    TRY(unpack2(item, key, value));
    TRY(setitem(probabilities, key, TRY(true_divide(value, total))));
  }
  return probabilities;
}

}  // namespace

Status add_job_result(Handle module, State& st, Handle dataclass) {
  Ref from_dict = TRY(make_function(module, st.types,
                                    {.name = "from_dict",
                                     .qualname = "JobResult.from_dict",
                                     .params = {{"cls"}, {"data", "Dict[str, Any]"}},
                                     .returns = "'JobResult'",
                                     .locals = {"status_raw", "status", "result_block", "counts"},
                                     .sync = job_result_from_dict}));
  auto getter = [&](const char* name, const char* qualname, SyncBody body) -> Ref {
    Ref function = TRY(make_function(
        module, st.types, {.name = name, .qualname = qualname, .params = {{"self"}}, .returns = "bool", .sync = body}));
    return call(TRY(builtin("property")), {function});
  };
  Ref probabilities = TRY(make_function(module, st.types,
                                        {.name = "get_probabilities",
                                         .qualname = "JobResult.get_probabilities",
                                         .params = {{"self"}},
                                         .returns = "Dict[str, float]",
                                         // {key: value / total for key, value in ...}
                                         .locals = {"total", "key", "value"},
                                         .comprehension_vars = {"key", "value"},
                                         .captured = {"total"},
                                         .sync = get_probabilities}));
  Ref job_result = TRY(make_dataclass(
      module, dataclass,
      {.name = "JobResult",
       .fields = {{"job_id", "str"},
                  {"status", "JobStatus"},
                  {"counts", "Optional[Dict[str, int]]", Py_None},
                  {"num_qubits", "Optional[int]", Py_None},
                  {"shots", "Optional[int]", Py_None},
                  {"backend", "Optional[str]", Py_None},
                  {"error", "Optional[str]", Py_None},
                  {"raw", "Optional[Dict[str, Any]]", Py_None}},
       .members = {{"from_dict", TRY(call(TRY(builtin("classmethod")), {from_dict}))},
                   {"is_complete", TRY(getter("is_complete", "JobResult.is_complete", is_complete))},
                   {"is_successful", TRY(getter("is_successful", "JobResult.is_successful", is_successful))},
                   {"get_probabilities", probabilities}}}));
  TRY(st.job_result.set(job_result, {st[Name::job_id], st[Name::status], st[Name::counts], st[Name::num_qubits],
                                     st[Name::shots], st[Name::backend], st[Name::error], st[Name::raw]}));
  return add(module, "JobResult", job_result);
}

}  // namespace models
