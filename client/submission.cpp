// Steps of a job submission and of the URLs, shared by both clients.
#include "state.hpp"

namespace client {

void validate_submission(const Args& args, Handle qasm, Handle shots) {
  const State& st = module_state<State>(args);
  if (!truthy(qasm) || !is_instance(args, qasm, Name::str))
    raise(args.global(st[Name::ValidationError]), text("qasm must be a non-empty string"));
  if (compare(shots, st.zero, Py_LE)) raise(args.global(st[Name::ValidationError]), text("shots must be > 0"));
}

Ref submission_body(Handle qasm, Handle shots) {
  Ref body = new_dict();
  dict_set(body, "qasm", qasm);
  dict_set(body, "shots", shots);
  return body;
}

Ref job_from_submission(const Args& args, Handle data) {
  const State& st = module_state<State>(args);
  if (!contains(data, st[Name::job_id])) {
    Ref error = args.global(st[Name::VORAError]);
    raise(error, concat({text("Unexpected response: "), format(data)}));
  }
  // CircuitJob(job_id=data["job_id"], status=data.get("status", JobStatus.PENDING)),
  // evaluated left to right.
  Ref circuit_job = args.global(st[Name::CircuitJob]);
  Ref job_id = getitem(data, st[Name::job_id]);
  Ref get = getattr(data, st[Name::get]);
  Ref pending = getattr(args.global(st[Name::JobStatus]), st[Name::PENDING]);
  Ref status = call(get, {st[Name::status], pending});
  return call_kw(circuit_job, {job_id, status}, st.kw_job_id_status);
}

bool is_instance(const Args& args, Handle o, Name cls) {
  const State& st = module_state<State>(args);
  Ref test = args.global(st[Name::isinstance]);
  Ref of = args.global(st[cls]);
  if (test.is(st.builtin_isinstance)) return isinstance(o, of);
  return truthy(call(test, {o, of}));
}

bool is_completed(const Args& args, Handle status) {
  const State& st = module_state<State>(args);
  return compare(status, getattr(args.global(st[Name::JobStatus]), st[Name::COMPLETED]), Py_EQ);
}

Ref fetch_document(const Args& args, Handle resp) {
  const State& st = module_state<State>(args);
  Ref from_dict = getattr(args.global(st[Name::JobResult]), st[Name::from_dict]);
  return call(from_dict, {call_method(resp, st[Name::json])});
}

Ref url_for(const Args& args, Text path) {
  const State& st = module_state<State>(args);
  return concat({format(getattr(args[0], st[Name::base_url])), st[path]});
}

Ref url_for(const Args& args, Text path, Handle job_id) {
  const State& st = module_state<State>(args);
  return concat({format(getattr(args[0], st[Name::base_url])), st[path], format(job_id)});
}

}  // namespace client
