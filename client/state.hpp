// What the functions of zentrova_sdk.client share: the module state and the
// parts common to the synchronous and the asynchronous client.
#pragma once

#include <iterator>

#include "module.hpp"

namespace client {

using namespace zcore;

// Names of module globals, attributes and keys, interned once.
#define CLIENT_NAMES(X)                                                                                               \
  X(os)                                                                                                               \
  X(time)                                                                                                             \
  X(httpx)                                                                                                            \
  X(range) X(str) X(getenv) X(rstrip) X(sleep) X(Client) X(AsyncClient) X(request) X(status_code) X(raise_for_status) \
      X(json) X(text) X(response) X(get) X(TimeoutException) X(TransportError) X(HTTPStatusError) X(VORAError)        \
          X(AuthenticationError) X(JobNotFoundError) X(RateLimitError) X(ValidationError) X(TimeoutError)             \
              X(CircuitJob) X(JobResult) X(JobStatus) X(ProviderInfo) X(PENDING) X(COMPLETED) X(from_dict)            \
                  X(is_complete) X(counts) X(status) X(job_id) X(task_id) X(api_key) X(base_url) X(timeout)           \
                      X(max_retries) X(_client) X(submit) X(wait_for_result) X(get_status) X(get_result)              \
                          X(_request_with_retries) X(_sleep) X(headers) X(qasm) X(shots) X(circuit) X(target)         \
                              X(backend) X(device) X(backends) X(devices) X(backend_name) X(backend_type) X(name)     \
                                  X(type) X(num_qubits) X(id) X(append) X(asyncio) X(isinstance)

enum class Name {
#define CLIENT_ENUM(n) n,
  CLIENT_NAMES(CLIENT_ENUM)
#undef CLIENT_ENUM
};

inline constexpr const char* kNameTexts[] = {
#define CLIENT_TEXT(n) #n,
    CLIENT_NAMES(CLIENT_TEXT)
#undef CLIENT_TEXT
};

// Fixed texts and numbers, made once.
#define CLIENT_CONSTANTS(X)                                                                                         \
  X(get_method, "GET")                                                                                              \
  X(post_method, "POST")                                                                                            \
  X(slash, "/")                                                                                                     \
  X(env_key, "VORA_API_KEY") X(x_api_key, "X-API-Key") X(authorization, "Authorization") X(bearer, "Bearer ")       \
      X(execute_path, "/execute") X(status_path, "/status/") X(results_path, "/results/") X(api_prefix, "/api/v1/") \
          X(providers_path, "/providers") X(ibm_backends_path, "/api/v1/ibm_quantum/backends")                      \
              X(braket_devices_path, "/api/v1/braket/devices") X(azure_quantum, "azure_quantum")                    \
                  X(ibm_quantum, "ibm_quantum") X(braket, "braket") X(simulator, "simulator") X(space, " ")

enum class Text {
#define CLIENT_ENUM(n, s) n,
  CLIENT_CONSTANTS(CLIENT_ENUM)
#undef CLIENT_ENUM
};

inline constexpr const char* kTexts[] = {
#define CLIENT_TEXT(n, s) s,
    CLIENT_CONSTANTS(CLIENT_TEXT)
#undef CLIENT_TEXT
};

struct State : ModuleStateBase {
  NameTable<Name, std::size(kNameTexts)> names;
  NameTable<Text, std::size(kTexts)> texts;
  Ref zero, one, two, half;
  Ref status_401, status_404, status_429;
  // Keyword names of calls, in the order they are passed.
  Ref kw_timeout_headers, kw_json, kw_job_id_status, kw_qasm_shots, kw_timeout;
  Ref default_base_url;
  Ref builtin_isinstance;  // the interpreter's own, recognised to test directly

  Handle operator[](Name n) const noexcept { return names[n]; }
  Handle operator[](Text t) const noexcept { return texts[t]; }

  template <class F>
  void for_each_ref(F&& f) {
    types.for_each_ref(f);
    names.for_each_ref(f);
    texts.for_each_ref(f);
    for (Ref* r : {&zero, &one, &two, &half, &status_401, &status_404, &status_429, &kw_timeout_headers, &kw_json,
                   &kw_job_id_status, &kw_qasm_shots, &kw_timeout, &default_base_url, &builtin_isinstance})
      f(*r);
  }
};

// ---- construction, shared by both clients ----------------------------------------------
// Steps of __init__(self, api_key, base_url, timeout, max_retries); the two
// clients differ only in the httpx class their HTTP client is made from.
void initialise_client(const Args& args, Name http_client_class);

// ---- decisions of the request routine, shared by both clients ----------------------------
// Raises the SDK's error for 401, 404 and 429, lets httpx reject any other
// unsuccessful status, and otherwise accepts the response.
void accept_response(const Args& args, Handle resp);
// Whether `caught` is a timeout or transport error of httpx (retried).
bool is_retryable(const Args& args, const CaughtException& caught);
// For an exception that is not retried: VORAError for an HTTP status error,
// the exception itself otherwise. Call while `caught` is being handled.
[[noreturn]] void raise_not_retried(const Args& args, const CaughtException& caught);
// After a retryable failure: raises once `attempt` was the last one.
void raise_if_attempts_spent(const Args& args, Handle attempt, const CaughtException& caught);
// The delay after the failed attempt `attempt`: 0.5 * 2 ** attempt.
Ref backoff(const Args& args, Handle attempt);
// The attempts: range(self.max_retries + 1), read once.
Ref attempt_range(const Args& args);
[[noreturn]] void raise_no_attempt(const Args& args, Handle last_exc);

// ---- job operations, shared by both clients ---------------------------------------------
// The two validation steps of submit.
void validate_submission(const Args& args, Handle qasm, Handle shots);
// The body of a submission: {"qasm": qasm, "shots": shots}.
Ref submission_body(Handle qasm, Handle shots);
// CircuitJob(job_id=data["job_id"], status=data.get("status", JobStatus.PENDING)),
// after checking that the response has a job identifier.
Ref job_from_submission(const Args& args, Handle data);
// isinstance(o, <global cls>), both names looked up at the moment of use.
bool is_instance(const Args& args, Handle o, Name cls);
// `status == JobStatus.COMPLETED`
bool is_completed(const Args& args, Handle status);
// JobResult.from_dict(resp.json()) of a status or result response.
Ref fetch_document(const Args& args, Handle resp);
// f"{self.base_url}{path}" and f"{self.base_url}{path}{job_id}"
Ref url_for(const Args& args, Text path);
Ref url_for(const Args& args, Text path, Handle job_id);

// ---- class builders -----------------------------------------------------------------------
Ref make_sync_client(Handle module, State& state);
Ref make_async_client(Handle module, State& state);
// The parameters and docstring of both constructors.
FunctionDecl init_spec(const State& state, const char* qualname, SyncBody body);
// The attributes that both constructors assign through `self.`.
inline constexpr const char* kInstanceAttributes[] = {"api_key", "base_url", "timeout", "max_retries", "_client"};

}  // namespace client
