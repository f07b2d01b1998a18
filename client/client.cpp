// zentrova_sdk.client: the synchronous and asynchronous clients.
#include "service.hpp"
#include "state.hpp"

namespace client {

Failure raise_error(const State& st, const Args& args, Name error, Text message) {
  return raise(TRY(args.global(st[error])), st[message]);
}

namespace {

Status create_constants(State& st) {
  TRY(st.names.create(kNameTexts, [&](const char* s) { return st.types.name(s); }));
  TRY(st.texts.create(kTexts));
  st.zero = TRY(integer(0));
  st.one = TRY(integer(1));
  st.two = TRY(integer(2));
  st.half = TRY(floating(0.5));
  st.status_401 = TRY(integer(401));
  st.status_404 = TRY(integer(404));
  st.status_429 = TRY(integer(429));
  st.kw_timeout_headers = TRY(tuple({st[Name::timeout], st[Name::headers]}));
  st.kw_json = TRY(tuple({st[Name::json]}));
  st.kw_qasm_shots = TRY(tuple({st[Name::qasm], st[Name::shots]}));
  st.kw_timeout = TRY(tuple({st[Name::timeout]}));
  st.default_base_url = TRY(text(service::kDefaultBaseUrl));
  st.default_timeout = TRY(floating(300.0));
  st.default_retries = TRY(integer(3));
  st.default_shots = TRY(integer(1024));
  st.default_poll_interval = TRY(floating(2.0));
  st.builtin_isinstance = TRY(builtin("isinstance"));
  st.builtin_range = TRY(builtin("range"));
  return Status::ok;
}

Status exec_client(Handle module, State& st) {
  TRY(create_constants(st));
  // The module's annotations are text, as under `from __future__ import annotations`.
  TRY(add_from(module, "__future__", {"annotations"}));
  TRY(add(module, "os", TRY(import("os"))));
  TRY(add(module, "time", TRY(import("time"))));
  TRY(add_from(module, "typing", {"Any", "Dict", "Optional", "Union"}));
  TRY(add(module, "httpx", TRY(import("httpx"))));
  TRY(add_from(module, "zentrova_sdk.models",
               {"CircuitJob", "JobResult", "JobStatus", "VORAError", "AuthenticationError", "RateLimitError",
                "ValidationError", "JobNotFoundError", "TimeoutError", "SupplierInfo", "ProviderInfo", "BackendInfo"}));
  TRY(st.types.share_function_type(TRY(import("zentrova_sdk.models")), "zentrova_sdk.models"));
  TRY(st.circuit_job.set(TRY(getattr(module, "CircuitJob")), {st[Name::job_id], st[Name::status]}));
  TRY(add(module, "VORAClient", TRY(make_sync_client(module, st))));
  return add(module, "AsyncVORAClient", TRY(make_async_client(module, st)));
}

using Definition = ModuleDefinition<State, exec_client>;
PyModuleDef definition = Definition::make("zentrova_sdk.client");

}  // namespace
}  // namespace client

PyMODINIT_FUNC PyInit_client() { return PyModuleDef_Init(&client::definition); }
