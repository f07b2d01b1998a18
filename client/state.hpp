// What the functions of zentrova_sdk.client share: the module state and the
// parts common to the synchronous and the asynchronous client.
#pragma once

#include <iterator>

#include "module.hpp"

namespace client {

using namespace zcore;

// Names of module globals, attributes and keys, interned once.
// clang-format off
#define CLIENT_NAMES(X)                                                                                       \
  X(os) X(time) X(httpx) X(range) X(str) X(isinstance) X(getenv) X(rstrip) X(sleep) X(Client) X(AsyncClient) \
  X(request) X(status_code) X(raise_for_status) X(json) X(text) X(response) X(get) X(TimeoutException)       \
  X(TransportError) X(HTTPStatusError) X(ReadTimeout) X(WriteTimeout) X(ReadError) X(WriteError)             \
  X(RemoteProtocolError) X(VORAError) X(AuthenticationError) X(JobNotFoundError)                             \
  X(RateLimitError) X(ValidationError) X(TimeoutError) X(CircuitJob) X(JobResult) X(JobStatus)               \
  X(ProviderInfo) X(PENDING) X(COMPLETED) X(from_dict) X(is_complete) X(counts) X(status) X(job_id)          \
  X(task_id) X(api_key) X(base_url) X(timeout) X(max_retries) X(_client) X(submit) X(wait_for_result)        \
  X(get_status) X(get_result) X(_request_with_retries) X(_sleep) X(headers) X(qasm) X(shots) X(circuit)     \
  X(target) X(backend) X(device) X(backends) X(devices) X(backend_name) X(backend_type) X(name) X(type)      \
  X(num_qubits) X(id) X(append)

// Fixed texts, made once.
#define CLIENT_TEXTS(X)                                                                                       \
  X(get_method, "GET") X(post_method, "POST") X(slash, "/") X(space, " ") X(env_key, "VORA_API_KEY")         \
  X(x_api_key, "X-API-Key") X(authorization, "Authorization") X(bearer, "Bearer ")                           \
  X(execute_path, "/execute") X(status_path, "/status/") X(results_path, "/results/")                        \
  X(api_prefix, "/api/v1/") X(providers_path, "/providers")                                                  \
  X(ibm_backends_path, "/api/v1/ibm_quantum/backends") X(braket_devices_path, "/api/v1/braket/devices")      \
  X(azure_quantum, "azure_quantum") X(ibm_quantum, "ibm_quantum") X(braket, "braket")                        \
  X(simulator, "simulator")                                                                                  \
  X(no_key, "VORA API key required (pass api_key or set VORA_API_KEY)")                                      \
  X(invalid_key, "Invalid API key") X(job_not_found, "Job not found")                                        \
  X(rate_limited, "Rate limit exceeded") X(http_error, "HTTP error: ")                                       \
  X(failed_after_retries, "Request failed after retries: ") X(request_failed, "Request failed: ")            \
  X(outcome_unknown, "Request outcome unknown, not retried: ")                                               \
  X(empty_qasm, "qasm must be a non-empty string") X(bad_shots, "shots must be > 0")                         \
  X(unexpected_response, "Unexpected response: ") X(timed_out, "Timed out waiting for job ")
// clang-format on

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

enum class Text {
#define CLIENT_ENUM(n, s) n,
  CLIENT_TEXTS(CLIENT_ENUM)
#undef CLIENT_ENUM
};

inline constexpr const char* kTexts[] = {
#define CLIENT_TEXT(n, s) s,
    CLIENT_TEXTS(CLIENT_TEXT)
#undef CLIENT_TEXT
};

struct State : ModuleStateBase {
  NameTable<Name, std::size(kNameTexts)> names;
  NameTable<Text, std::size(kTexts), false> texts;
  Ref zero, one, two, half;
  Ref status_401, status_404, status_429;
  // Keyword names of calls, in the order they are passed.
  Ref kw_timeout_headers, kw_json, kw_qasm_shots, kw_timeout;
  // Parameter defaults.
  Ref default_base_url, default_timeout, default_retries, default_shots, default_poll_interval;
  // The interpreter's own, recognised to be applied directly.
  Ref builtin_isinstance, builtin_range;
  RecordClass circuit_job;  // CircuitJob as the models module made it

  Handle operator[](Name n) const noexcept { return names[n]; }
  Handle operator[](Text t) const noexcept { return texts[t]; }

  template <class F>
  void for_each_ref(F&& f) {
    types.for_each_ref(f);
    names.for_each_ref(f);
    texts.for_each_ref(f);
    for (Ref* r : {&zero, &one, &two, &half, &status_401, &status_404, &status_429, &kw_timeout_headers, &kw_json,
                   &kw_qasm_shots, &kw_timeout, &default_base_url, &default_timeout, &default_retries, &default_shots,
                   &default_poll_interval, &builtin_isinstance, &builtin_range})
      f(*r);
    circuit_job.for_each_ref(f);
  }
};

// `raise <global error>(text)`
Failure raise_error(const State& st, const Args& args, Name error, Text message);

// ---- construction, shared by both clients ----------------------------------------------
// Steps of __init__(self, api_key, base_url, timeout, max_retries); the two
// clients differ only in the httpx class their HTTP client is made from.
Status initialise_client(const Args& args, Name http_client_class);

// ---- decisions of the request routine, shared by both clients ----------------------------

// for attempt in range(self.max_retries + 1): the builtin range of an exact
// int is counted here, anything else is iterated as it is.
class Attempts {
 public:
  Status start(const State& st, const Args& args);
  Truth next(Ref& attempt);

 private:
  Ref iterator_;
  long next_ = 0;
  long stop_ = 0;
};

// self._client.request(method, url, **kwargs), looked up afresh.
Ref send_request(const State& st, const Args& args);
// Raises the SDK's error for 401, 404 and 429, lets httpx reject any other
// unsuccessful status, and otherwise accepts the response.
Status accept_response(const State& st, const Args& args, Handle resp);
// Whether `caught` is a timeout or transport error of httpx (retried).
Truth is_retryable(const State& st, const Args& args, const CaughtException& caught);
// For an exception that is not retried: VORAError for an HTTP status error,
// the exception itself otherwise. Call while `caught` is being handled.
Failure raise_not_retried(const State& st, const Args& args, const CaughtException& caught);
// After a retryable failure of a POST that may have reached the service (the
// connection broke or timed out once the request was under way): fails with
// VORAError, since sending it again could create a second job.
Status raise_if_outcome_unknown(const State& st, const Args& args, const CaughtException& caught);
// After a retryable failure: fails with VORAError once `attempt` was the last.
Status raise_if_attempts_spent(const State& st, const Args& args, Handle attempt, const CaughtException& caught);
// The delay after the failed attempt `attempt`: 0.5 * 2 ** attempt.
Ref backoff(const State& st, Handle attempt);
Failure raise_no_attempt(const State& st, const Args& args, Handle last_exc);

// `isinstance(o, classes)` through `test`, the global `isinstance` that the
// caller looked up before evaluating `classes`.
Truth apply_isinstance(const State& st, Handle test, Handle o, Handle classes);

// ---- job operations, shared by both clients ---------------------------------------------
// The two validation steps of submit.
Status validate_submission(const State& st, const Args& args, Handle qasm, Handle shots);
// The body of a submission: {"qasm": qasm, "shots": shots}.
Ref submission_body(const State& st, Handle qasm, Handle shots);
// CircuitJob(job_id=data["job_id"], status=data.get("status", JobStatus.PENDING)),
// after checking that the response has a job identifier.
Ref job_from_submission(const State& st, const Args& args, Handle data);
// `status == JobStatus.COMPLETED`
Truth is_completed(const State& st, const Args& args, Handle status);
// JobResult.from_dict(resp.json()) of a status or result response.
Ref read_document(const State& st, const Args& args, Handle resp);
// f"{self.base_url}{path}" and f"{self.base_url}{path}{job_id}"
Ref url_for(const State& st, const Args& args, Text path);
Ref url_for(const State& st, const Args& args, Text path, Handle job_id);

// ---- class builders -----------------------------------------------------------------------
Ref make_sync_client(Handle module, State& state);
Ref make_async_client(Handle module, State& state);
// The parameters and docstring of both constructors.
FunctionDecl init_decl(const State& state, const char* qualname, SyncBody body);
// The attributes that both constructors assign through `self.`.
inline constexpr const char* kInstanceAttributes[] = {"api_key", "base_url", "timeout", "max_retries", "_client"};

}  // namespace client
