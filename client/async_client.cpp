// AsyncVORAClient: the asynchronous client. Its coroutines take the same
// steps as the synchronous methods and suspend only on the HTTP request and
// the back-off sleep.
#include "state.hpp"

namespace client {
namespace {

Ref init(const Args& args) {
  initialise_client(args, Name::AsyncClient);
  return none();
}

// async submit(self, qasm, shots=1024)
Task submit(Args args) {
  const State& st = module_state<State>(args);
  validate_submission(args, args[1], args[2]);
  Ref url = url_for(args, Text::execute_path);
  Ref body = submission_body(args[1], args[2]);
  // (GCC 12 mishandles braced lists inside a co_await expression: the call is
  // made in a statement of its own, here and below.)
  Ref sending =
      call_kw(getattr(args[0], st[Name::_request_with_retries]), {st[Text::post_method], url, body}, st.kw_json);
  Ref resp = co_await std::move(sending);
  Ref data = call_method(resp, st[Name::json]);
  co_return job_from_submission(args, data);
}

// async get_status(self, job_id)
Task get_status(Args args) {
  const State& st = module_state<State>(args);
  Ref url = url_for(args, Text::status_path, args[1]);
  Ref sending = call_method(args[0], st[Name::_request_with_retries], {st[Text::get_method], url});
  Ref resp = co_await std::move(sending);
  co_return fetch_document(args, resp);
}

// async _request_with_retries(self, method, url, **kwargs)
Task request_with_retries(Args args) {
  const State& st = module_state<State>(args);
  Handle self = args[0];
  // A failure's traceback can lead back to this coroutine (through a handler
  // that refers to the client): the exception waits out the back-off in a
  // frame slot, where the collector sees it, and in the coroutine's
  // exception state, never in a C++ local.
  Ref& last_exc = args.local(0);  // the first of the locals declared below
  last_exc = none();
  Ref attempts = attempt_range(args);
  while (Ref attempt = next(attempts)) {
    CaughtException caught;
    try {
      Ref sending = call_dict(getattr(getattr(self, st[Name::_client]), st[Name::request]), tuple({args[1], args[2]}),
                              args.kwargs());
      Ref resp = co_await std::move(sending);
      accept_response(args, resp);
      co_return resp;
    } catch (const ErrorAlreadySet&) {
      caught = CaughtException::fetch();
    }
    // The handler runs outside the catch block (C++ cannot await in one);
    // the scope makes `caught` the exception being handled meanwhile.
    HandlingScope handling(caught);
    if (!is_retryable(args, caught)) raise_not_retried(args, caught);
    last_exc = caught.value().ref();
    raise_if_attempts_spent(args, attempt, caught);
    caught = {};  // held on by `last_exc` and the handling scope
    Ref sleep = getattr(self, st[Name::_sleep]);
    Ref sleeping = call(sleep, {backoff(args, attempt)});
    co_await std::move(sleeping);
  }
  raise_no_attempt(args, last_exc);
}

// async _sleep(self, seconds)
Task sleep(Args args) {
  const State& st = module_state<State>(args);
  Ref asyncio = import("asyncio");
  Ref sleeping = call_method(asyncio, st[Name::sleep], {args[1]});
  co_await std::move(sleeping);
  co_return none();
}

}  // namespace

Ref make_async_client(Handle module, State& st) {
  Ref ns = new_dict();
  set_class_docstring(ns, "Asynchronous client of the VORA service.");
  dict_set(ns, "__init__", make_function(module, st.types, init_spec(st, "AsyncVORAClient.__init__", init)));
  dict_set(ns, "submit",
           make_function(module, st.types,
                         {.name = "submit",
                          .qualname = "AsyncVORAClient.submit",
                          .params = {{"self"}, {"qasm", "str"}, {"shots", "int", integer(1024)}},
                          .returns = "CircuitJob",
                          .locals = {"url", "resp", "data"},
                          .coroutine = submit}));
  dict_set(ns, "get_status",
           make_function(module, st.types,
                         {.name = "get_status",
                          .qualname = "AsyncVORAClient.get_status",
                          .params = {{"self"}, {"job_id", "str"}},
                          .returns = "JobResult",
                          .locals = {"url", "resp"},
                          .coroutine = get_status}));
  dict_set(ns, "_request_with_retries",
           make_function(module, st.types,
                         {.name = "_request_with_retries",
                          .qualname = "AsyncVORAClient._request_with_retries",
                          .params = {{"self"}, {"method", "str"}, {"url", "str"}},
                          .varkw = "kwargs",
                          .varkw_annotation = "Any",
                          .returns = "httpx.Response",
                          .locals = {"last_exc", "attempt", "resp", "e"},
                          .coroutine = request_with_retries}));
  dict_set(ns, "_sleep",
           make_function(module, st.types,
                         {.name = "_sleep",
                          .qualname = "AsyncVORAClient._sleep",
                          .params = {{"self"}, {"seconds", "float"}},
                          .returns = "None",
                          .locals = {"asyncio"},
                          .coroutine = sleep}));
  return make_class(module, "AsyncVORAClient", {reinterpret_cast<PyObject*>(&PyBaseObject_Type)}, ns,
                    kInstanceAttributes);
}

}  // namespace client
