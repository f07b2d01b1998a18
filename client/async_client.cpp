// AsyncVORAClient: the asynchronous client. Its coroutines take the same
// steps as the synchronous methods and suspend only on the HTTP request and
// the back-off sleep.
#include "state.hpp"

namespace client {
namespace {

Ref init(const Args& args) {
  TRY(initialise_client(args, Name::AsyncClient));
  return none();
}

// (GCC 12 can compile neither a braced list nor CO_TRY inside a co_await
// expression: each awaited call is made in a statement of its own, and its
// result checked after the await.)

// async submit(self, qasm, shots=1024)
Task submit(Args args) {
  const State& st = CO_TRY(module_state<State>(args));
  CO_TRY(validate_submission(st, args, args[1], args[2]));
  Ref url = CO_TRY(url_for(st, args, Text::execute_path));
  Ref send = CO_TRY(getattr(args[0], st[Name::_request_with_retries]));
  Ref body = CO_TRY(submission_body(st, args[1], args[2]));
  Ref sending = CO_TRY(call_kw(send, {st[Text::post_method], url, body}, st.kw_json));
  Ref resp = co_await std::move(sending);
  if (!resp) co_return {};
  Ref data = CO_TRY(call_method(resp, st[Name::json]));
  co_return job_from_submission(st, args, data);
}

// async get_status(self, job_id)
Task get_status(Args args) {
  const State& st = CO_TRY(module_state<State>(args));
  Ref url = CO_TRY(url_for(st, args, Text::status_path, args[1]));
  Ref sending = CO_TRY(call_method(args[0], st[Name::_request_with_retries], {st[Text::get_method], url}));
  Ref resp = co_await std::move(sending);
  if (!resp) co_return {};
  co_return read_document(st, args, resp);
}

// async _request_with_retries(self, method, url, **kwargs)
Task request_with_retries(Args args) {
  const State& st = CO_TRY(module_state<State>(args));
  // A failure's traceback can lead back to this coroutine (through a handler
  // that refers to the client): the exception waits out the back-off in a
  // frame slot, where the collector sees it, and in the coroutine's
  // exception state, never in a C++ local.
  Ref& last_exc = args.local(0);  // the first of the locals declared below
  last_exc = none();
  Attempts attempts;
  CO_TRY(attempts.start(st, args));
  Ref attempt;
  while (CO_TRY(attempts.next(attempt))) {
    // try:
    if (Ref sending = send_request(st, args)) {
      Ref resp = co_await std::move(sending);
      if (resp && accept_response(st, args, resp) == Status::ok) co_return resp;
    }
    // except ... as e: (outside any C++ handler, so that it can await)
    CaughtException caught = CaughtException::fetch();
    HandlingScope handling(caught);
    if (!CO_TRY(is_retryable(st, args, caught))) co_return raise_not_retried(st, args, caught);
    last_exc = caught.value().ref();
    CO_TRY(raise_if_outcome_unknown(st, args, caught));
    CO_TRY(raise_if_attempts_spent(st, args, attempt, caught));
    caught = {};  // held on by `last_exc` and the handling scope
    // await self._sleep(0.5 * 2 ** attempt)
    Ref sleep = CO_TRY(getattr(args[0], st[Name::_sleep]));
    Ref delay = CO_TRY(backoff(st, attempt));
    Ref sleeping = CO_TRY(call(sleep, {delay}));
    Ref slept = co_await std::move(sleeping);
    if (!slept) co_return {};
  }
  co_return raise_no_attempt(st, args, last_exc);
}

// async _sleep(self, seconds)
Task sleep(Args args) {
  const State& st = CO_TRY(module_state<State>(args));
  Ref asyncio = CO_TRY(import("asyncio"));
  Ref sleeping = CO_TRY(call_method(asyncio, st[Name::sleep], {args[1]}));
  Ref slept = co_await std::move(sleeping);
  if (!slept) co_return {};
  co_return none();
}

}  // namespace

Ref make_async_client(Handle module, State& st) {
  Ref ns = TRY(new_dict());
  auto method = [&](const char* name, const FunctionDecl& decl) -> Status {
    return dict_set(ns, TRY(st.types.name(name)), TRY(make_function(module, st.types, decl)));
  };
  TRY(set_class_docstring(st.types, ns, "Asynchronous client of the VORA service."));
  TRY(method("__init__", init_decl(st, "AsyncVORAClient.__init__", init)));
  TRY(method("submit", {.name = "submit",
                        .qualname = "AsyncVORAClient.submit",
                        .params = {{"self"}, {"qasm", "str"}, {"shots", "int", st.default_shots}},
                        .returns = "CircuitJob",
                        .locals = {"url", "resp", "data"},
                        .coroutine = submit}));
  TRY(method("get_status", {.name = "get_status",
                            .qualname = "AsyncVORAClient.get_status",
                            .params = {{"self"}, {"job_id", "str"}},
                            .returns = "JobResult",
                            .locals = {"url", "resp"},
                            .coroutine = get_status}));
  TRY(method("_request_with_retries", {.name = "_request_with_retries",
                                       .qualname = "AsyncVORAClient._request_with_retries",
                                       .params = {{"self"}, {"method", "str"}, {"url", "str"}},
                                       .varkw = "kwargs",
                                       .varkw_annotation = "Any",
                                       .returns = "httpx.Response",
                                       .locals = {"last_exc", "attempt", "resp", "e"},
                                       .coroutine = request_with_retries}));
  TRY(method("_sleep", {.name = "_sleep",
                        .qualname = "AsyncVORAClient._sleep",
                        .params = {{"self"}, {"seconds", "float"}},
                        .returns = "None",
                        .locals = {"asyncio"},
                        .coroutine = sleep}));
  return make_class(module, "AsyncVORAClient", {reinterpret_cast<PyObject*>(&PyBaseObject_Type)}, ns,
                    kInstanceAttributes);
}

}  // namespace client
