// zentrova_sdk.client: the synchronous and asynchronous clients.
#include "service.hpp"
#include "state.hpp"

namespace client {
namespace {

void create_constants(State& st) {
  st.names.create(kNameTexts);
  st.texts.create(kTexts);
  st.zero = integer(0);
  st.one = integer(1);
  st.two = integer(2);
  st.half = floating(0.5);
  st.status_401 = integer(401);
  st.status_404 = integer(404);
  st.status_429 = integer(429);
  st.kw_timeout_headers = tuple({st[Name::timeout], st[Name::headers]});
  st.kw_json = tuple({st[Name::json]});
  st.kw_job_id_status = tuple({st[Name::job_id], st[Name::status]});
  st.kw_qasm_shots = tuple({st[Name::qasm], st[Name::shots]});
  st.kw_timeout = tuple({st[Name::timeout]});
  st.default_base_url = text(service::kDefaultBaseUrl);
  st.builtin_isinstance = builtin("isinstance");
}

void exec_client(Handle module, State& st) {
  create_constants(st);
  // The module's annotations are text, as under `from __future__ import annotations`.
  add_from(module, "__future__", "annotations");
  add(module, "os", import("os"));
  add(module, "time", import("time"));
  for (const char* name : {"Any", "Dict", "Optional", "Union"}) add_from(module, "typing", name);
  add(module, "httpx", import("httpx"));
  for (const char* name :
       {"CircuitJob", "JobResult", "JobStatus", "VORAError", "AuthenticationError", "RateLimitError", "ValidationError",
        "JobNotFoundError", "TimeoutError", "SupplierInfo", "ProviderInfo", "BackendInfo"})
    add_from(module, "zentrova_sdk.models", name);
  add(module, "VORAClient", make_sync_client(module, st));
  add(module, "AsyncVORAClient", make_async_client(module, st));
}

using Definition = ModuleDefinition<State, exec_client>;
PyModuleDef definition = Definition::make("zentrova_sdk.client");

}  // namespace
}  // namespace client

PyMODINIT_FUNC PyInit_client() { return PyModuleDef_Init(&client::definition); }
