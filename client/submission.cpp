// Steps of a job submission and of the URLs, shared by both clients.
#include "state.hpp"

namespace client {

void validate_submission(const Args& args, Handle qasm, Handle shots) {
  const State& st = module_state<State>(args);
  if (!truthy(qasm) || !isinstance(qasm, args.global(st[Name::str])))
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
  if (!contains(data, st[Name::job_id]))
    raise(args.global(st[Name::VORAError]), concat({text("Unexpected response: "), format(data)}));
  Ref job_id = getitem(data, st[Name::job_id]);
  Ref pending = getattr(args.global(st[Name::JobStatus]), st[Name::PENDING]);
  Ref status = call_method(data, st[Name::get], {st[Name::status], pending});
  return call_kw(args.global(st[Name::CircuitJob]), {job_id, status}, st.kw_job_id_status);
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
