// Steps of a job submission and of the URLs, shared by both clients.
#include "state.hpp"

namespace client {

Truth apply_isinstance(const State& st, Handle test, Handle o, Handle classes) {
  if (test.is(st.builtin_isinstance)) return isinstance(o, classes);
  return truthy(TRY(call(test, {o, classes})));
}

namespace {

// isinstance(o, <global cls>), both names looked up at the moment of use.
Truth is_instance(const State& st, const Args& args, Handle o, Name cls) {
  Ref test = TRY(args.global(st[Name::isinstance]));
  return apply_isinstance(st, test, o, TRY(args.global(st[cls])));
}

}  // namespace

Status validate_submission(const State& st, const Args& args, Handle qasm, Handle shots) {
  // if not qasm or not isinstance(qasm, str)
  if (!TRY(truthy(qasm)) || !TRY(is_instance(st, args, qasm, Name::str)))
    return raise_error(st, args, Name::ValidationError, Text::empty_qasm);
  if (TRY(compare(shots, st.zero, Py_LE))) return raise_error(st, args, Name::ValidationError, Text::bad_shots);
  return Status::ok;
}

Ref submission_body(const State& st, Handle qasm, Handle shots) {
  Ref body = TRY(new_dict());
  TRY(dict_set(body, st[Name::qasm], qasm));
  TRY(dict_set(body, st[Name::shots], shots));
  return body;
}

Ref job_from_submission(const State& st, const Args& args, Handle data) {
  if (!TRY(contains(data, st[Name::job_id]))) {
    Ref error = TRY(args.global(st[Name::VORAError]));
    return raise(error, TRY(concat({st[Text::unexpected_response], TRY(format(data))})));
  }
  // CircuitJob(job_id=data["job_id"], status=data.get("status", JobStatus.PENDING)),
  // evaluated left to right.
  Ref circuit_job = TRY(args.global(st[Name::CircuitJob]));
  Ref job_id = TRY(getitem(data, st[Name::job_id]));
  Ref get = TRY(getattr(data, st[Name::get]));
  Ref pending = TRY(getattr(TRY(args.global(st[Name::JobStatus])), st[Name::PENDING]));
  Ref status = TRY(call(get, {st[Name::status], pending}));
  return construct(st.circuit_job, circuit_job, {job_id, status});
}

Truth is_completed(const State& st, const Args& args, Handle status) {
  return compare(status, TRY(getattr(TRY(args.global(st[Name::JobStatus])), st[Name::COMPLETED])), Py_EQ);
}

Ref read_document(const State& st, const Args& args, Handle resp) {
  Ref from_dict = TRY(getattr(TRY(args.global(st[Name::JobResult])), st[Name::from_dict]));
  return call(from_dict, {TRY(call_method(resp, st[Name::json]))});
}

Ref url_for(const State& st, const Args& args, Text path) {
  return concat({TRY(format(TRY(getattr(args[0], st[Name::base_url])))), st[path]});
}

Ref url_for(const State& st, const Args& args, Text path, Handle job_id) {
  Ref base_url = TRY(format(TRY(getattr(args[0], st[Name::base_url]))));
  return concat({base_url, st[path], TRY(format(job_id))});
}

}  // namespace client
