// JobResult: the record of a job's status or result document.
#include "state.hpp"

namespace models {
namespace {

// `test(o, cls)` for the global `isinstance` as found: the interpreter's own
// is applied directly.
bool instance_of(const State& st, Handle test, Handle o, Handle cls) {
  if (test.is(st.builtin_isinstance)) return isinstance(o, cls);
  return truthy(call(test, {o, cls}));
}

// `a or b`, where b is only computed when a is falsy.
template <class Fallback>
Ref either(Ref first, Fallback&& fallback) {
  if (truthy(first)) return first;
  return fallback();
}

Ref job_result_from_dict(const Args& args) {
  const State& st = module_state<State>(args);
  Handle cls = args[0];
  Handle data = args[1];

  Ref status_raw = either(get(st, data, st[Name::status]), [&] { return Ref(st.pending); });
  status_raw = call_method(status_raw, st[Name::lower]);

  // The guard covers the name lookup too, as `try: JobStatus(status_raw)`
  // does: a missing global is a NameError, handled like any other failure.
  Ref status;
  try {
    Ref job_status = args.global(st[Name::JobStatus]);
    status = member_by_value(st, job_status, status_raw);
    if (!status) status = call(job_status, {status_raw});
  } catch (const ErrorAlreadySet&) {
    CaughtException caught = CaughtException::fetch();
    if (!caught.matches(PyExc_Exception)) caught.rethrow();
    HandlingScope handling(caught);
    status = getattr(args.global(st[Name::JobStatus]), st[Name::PENDING]);
  }

  // The key is read twice: once for the type test, once for the value kept.
  Ref result_block;
  Ref test = args.global(st[Name::isinstance]);
  Ref candidate = get(st, data, st[Name::result]);
  if (instance_of(st, test, candidate, args.global(st[Name::dict]))) {
    result_block = get(st, data, st[Name::result]);
  } else {
    result_block = new_dict();
  }

  Ref counts = either(get(st, data, st[Name::counts]), [&] { return get(st, result_block, st[Name::counts]); });

  Ref job_id = either(get(st, data, st[Name::job_id]), [&] { return Ref(st.empty_text); });
  Ref num_qubits =
      either(get(st, result_block, st[Name::num_qubits]), [&] { return get(st, data, st[Name::num_qubits]); });
  Ref shots = either(get(st, result_block, st[Name::shots]), [&] { return get(st, data, st[Name::shots]); });
  Ref backend = either(get(st, result_block, st[Name::backend]), [&] { return get(st, data, st[Name::backend]); });
  Ref error = either(get(st, data, st[Name::error]), [&] { return get(st, result_block, st[Name::error]); });
  return construct(st, st.job_result, cls, {job_id, status, counts, num_qubits, shots, backend, error, data});
}

Ref is_complete(const Args& args) {
  const State& st = module_state<State>(args);
  Ref status = getattr(args[0], st[Name::status]);
  Ref job_status = args.global(st[Name::JobStatus]);
  Ref terminal = tuple({getattr(job_status, st[Name::COMPLETED]), getattr(job_status, st[Name::FAILED])});
  return boolean(contains(terminal, status));
}

Ref is_successful(const Args& args) {
  const State& st = module_state<State>(args);
  Ref status = getattr(args[0], st[Name::status]);
  Ref completed = getattr(args.global(st[Name::JobStatus]), st[Name::COMPLETED]);
  Ref same = Ref::check(PyObject_RichCompare(status.get(), completed.get(), Py_EQ));
  if (!truthy(same)) return same;  // `and` hands back its first operand when falsy
  return boolean(!truthy(getattr(args[0], st[Name::error])));
}

Ref get_probabilities(const Args& args) {
  const State& st = module_state<State>(args);
  Handle self = args[0];
  if (!truthy(getattr(self, st[Name::counts]))) return new_dict();
  Ref sum = args.global(st[Name::sum]);
  Ref values = call_method(getattr(self, st[Name::counts]), st[Name::values]);
  Ref total = either(call(sum, {values}), [] { return integer(1); });
  Ref probabilities = new_dict();
  Ref items = iterate(call_method(getattr(self, st[Name::counts]), st[Name::items]));
  while (Ref item = next(items)) {
    auto [key, count] = unpack2(item);
    setitem(probabilities, key, true_divide(count, total));
  }
  return probabilities;
}

}  // namespace

void add_job_result(Handle module, State& st, Handle dataclass) {
  Ref from_dict = make_function(module, st.types,
                                {.name = "from_dict",
                                 .qualname = "JobResult.from_dict",
                                 .params = {{"cls"}, {"data", "Dict[str, Any]"}},
                                 .returns = "'JobResult'",
                                 .locals = {"status_raw", "status", "result_block", "counts"},
                                 .sync = job_result_from_dict});
  auto getter = [&](const char* name, const char* qualname, SyncBody body) {
    Ref function = make_function(
        module, st.types, {.name = name, .qualname = qualname, .params = {{"self"}}, .returns = "bool", .sync = body});
    return call(builtin("property"), {function});
  };
  Ref probabilities = make_function(module, st.types,
                                    {.name = "get_probabilities",
                                     .qualname = "JobResult.get_probabilities",
                                     .params = {{"self"}},
                                     .returns = "Dict[str, float]",
                                     // {key: value / total for key, value in ...}
                                     .locals = {"total", "key", "value"},
                                     .comprehension_vars = {"key", "value"},
                                     .captured = {"total"},
                                     .sync = get_probabilities});
  Ref job_result =
      make_dataclass(module, dataclass,
                     {.name = "JobResult",
                      .fields = {{"job_id", "str"},
                                 {"status", "JobStatus"},
                                 {"counts", "Optional[Dict[str, int]]", none()},
                                 {"num_qubits", "Optional[int]", none()},
                                 {"shots", "Optional[int]", none()},
                                 {"backend", "Optional[str]", none()},
                                 {"error", "Optional[str]", none()},
                                 {"raw", "Optional[Dict[str, Any]]", none()}},
                      .members = {{"from_dict", call(builtin("classmethod"), {from_dict})},
                                  {"is_complete", getter("is_complete", "JobResult.is_complete", is_complete)},
                                  {"is_successful", getter("is_successful", "JobResult.is_successful", is_successful)},
                                  {"get_probabilities", probabilities}}});
  st.job_result.set(job_result, tuple({st[Name::job_id], st[Name::status], st[Name::counts], st[Name::num_qubits],
                                       st[Name::shots], st[Name::backend], st[Name::error], st[Name::raw]}));
  add(module, "JobResult", job_result);
}

}  // namespace models
