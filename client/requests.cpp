// The decisions of the request routine: which statuses become which error,
// which failures are retried, after how long, and the messages. The
// synchronous and asynchronous routines share them and differ only in how
// they wait for the request and the back-off.
#include "state.hpp"

namespace client {

void accept_response(const Args& args, Handle resp) {
  const State& st = module_state<State>(args);
  if (compare(getattr(resp, st[Name::status_code]), st.status_401, Py_EQ))
    raise(args.global(st[Name::AuthenticationError]), text("Invalid API key"));
  if (compare(getattr(resp, st[Name::status_code]), st.status_404, Py_EQ))
    raise(args.global(st[Name::JobNotFoundError]), text("Job not found"));
  if (compare(getattr(resp, st[Name::status_code]), st.status_429, Py_EQ))
    raise(args.global(st[Name::RateLimitError]), text("Rate limit exceeded"));
  call_method(resp, st[Name::raise_for_status]);
}

bool is_retryable(const Args& args, const CaughtException& caught) {
  const State& st = module_state<State>(args);
  Ref httpx = args.global(st[Name::httpx]);
  Ref retried = tuple(
      {getattr(httpx, st[Name::TimeoutException]), getattr(args.global(st[Name::httpx]), st[Name::TransportError])});
  return caught.matches(retried);
}

void raise_not_retried(const Args& args, const CaughtException& caught) {
  const State& st = module_state<State>(args);
  if (!caught.matches(getattr(args.global(st[Name::httpx]), st[Name::HTTPStatusError]))) {
    CaughtException again = caught;
    again.rethrow();
  }
  // f"HTTP error: {e.response.status_code} {e.response.text}": the error class
  // first, then each piece read and formatted in turn.
  Ref error = args.global(st[Name::VORAError]);
  Ref status_code = format(getattr(getattr(caught.value(), st[Name::response]), st[Name::status_code]));
  Ref body = format(getattr(getattr(caught.value(), st[Name::response]), st[Name::text]));
  raise(error, concat({text("HTTP error: "), status_code, st[Text::space], body}));
}

void raise_if_attempts_spent(const Args& args, Handle attempt, const CaughtException& caught) {
  const State& st = module_state<State>(args);
  if (compare(attempt, getattr(args[0], st[Name::max_retries]), Py_GE)) {
    Ref error = args.global(st[Name::VORAError]);
    raise(error, concat({text("Request failed after retries: "), format(caught.value())}));
  }
}

Ref backoff(const Args& args, Handle attempt) {
  const State& st = module_state<State>(args);
  return multiply(st.half, power(st.two, attempt));
}

Ref attempt_range(const Args& args) {
  const State& st = module_state<State>(args);
  Ref range = args.global(st[Name::range]);
  Ref count = add(getattr(args[0], st[Name::max_retries]), st.one);
  return iterate(call(range, {count}));
}

void raise_no_attempt(const Args& args, Handle last_exc) {
  const State& st = module_state<State>(args);
  Ref error = args.global(st[Name::VORAError]);
  raise(error, concat({text("Request failed: "), format(last_exc)}));
}

}  // namespace client
