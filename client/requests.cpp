// The decisions of the request routine: which statuses become which error,
// which failures are retried, after how long, and the messages. The
// synchronous and asynchronous routines share them and differ only in how
// they wait for the request and the back-off.
#include "state.hpp"

namespace client {

Status Attempts::start(const State& st, const Args& args) {
  Ref range = TRY(args.global(st[Name::range]));
  Ref count = TRY(add(TRY(getattr(args[0], st[Name::max_retries])), st.one));
  if (range.is(st.builtin_range) && PyLong_CheckExact(count.get())) {
    int overflow = 0;
    stop_ = PyLong_AsLongAndOverflow(count.get(), &overflow);
    if (overflow == 0) return Status::ok;  // what iterating range(count) would give, counted
  }
  iterator_ = TRY(iterate(TRY(call(range, {count}))));
  return Status::ok;
}

Truth Attempts::next(Ref& attempt) {
  if (iterator_) return zcore::next(iterator_, attempt);
  if (next_ >= stop_) return Truth::no;
  attempt = TRY(integer(next_++));
  return Truth::yes;
}

Ref send_request(const State& st, const Args& args) {
  Ref client = TRY(getattr(args[0], st[Name::_client]));
  Handle kwargs = args.kwargs();
  if (PyDict_GET_SIZE(kwargs.get()) == 0) return call_method(client, st[Name::request], {args[1], args[2]});
  Ref request = TRY(getattr(client, st[Name::request]));
  PyObject* positional[] = {args[1].get(), args[2].get()};
  return Ref::steal(PyObject_VectorcallDict(request.get(), positional, 2, kwargs.get()));
}

namespace {

Truth status_is(const State& st, Handle resp, Handle code) {
  return compare(TRY(getattr(resp, st[Name::status_code])), code, Py_EQ);
}

}  // namespace

Status accept_response(const State& st, const Args& args, Handle resp) {
  if (TRY(status_is(st, resp, st.status_401)))
    return raise_error(st, args, Name::AuthenticationError, Text::invalid_key);
  if (TRY(status_is(st, resp, st.status_404)))
    return raise_error(st, args, Name::JobNotFoundError, Text::job_not_found);
  if (TRY(status_is(st, resp, st.status_429))) return raise_error(st, args, Name::RateLimitError, Text::rate_limited);
  TRY(call_method(resp, st[Name::raise_for_status]));
  return Status::ok;
}

// except (httpx.TimeoutException, httpx.TransportError)
Truth is_retryable(const State& st, const Args& args, const CaughtException& caught) {
  Ref timeout = TRY(getattr(TRY(args.global(st[Name::httpx])), st[Name::TimeoutException]));
  Ref transport = TRY(getattr(TRY(args.global(st[Name::httpx])), st[Name::TransportError]));
  return truth(caught.matches(timeout) || caught.matches(transport));
}

Failure raise_not_retried(const State& st, const Args& args, const CaughtException& caught) {
  Ref status_error = TRY(getattr(TRY(args.global(st[Name::httpx])), st[Name::HTTPStatusError]));
  if (!caught.matches(status_error)) {
    CaughtException again = caught;
    return again.restore();
  }
  // f"HTTP error: {e.response.status_code} {e.response.text}": the error class
  // first, then each piece read and formatted in turn.
  Ref error = TRY(args.global(st[Name::VORAError]));
  Ref status_code = TRY(format(TRY(getattr(TRY(getattr(caught.value(), st[Name::response])), st[Name::status_code]))));
  Ref body = TRY(format(TRY(getattr(TRY(getattr(caught.value(), st[Name::response])), st[Name::text]))));
  return raise(error, TRY(concat({st[Text::http_error], status_code, st[Text::space], body})));
}

// if method == "POST" and isinstance(e, (httpx.ReadTimeout, httpx.WriteTimeout, httpx.ReadError,
//                                        httpx.WriteError, httpx.RemoteProtocolError)):
//     raise VORAError(f"Request outcome unknown, not retried: {e}")
// The connection broke, or the answer did not come, once the request was on
// its way: the service may have acted on it, and a second POST could create
// a second job. (A connection never made, or a pool timeout, is retried.)
Status raise_if_outcome_unknown(const State& st, const Args& args, const CaughtException& caught) {
  if (!TRY(compare(args[1], st[Text::post_method], Py_EQ))) return Status::ok;
  Ref test = TRY(args.global(st[Name::isinstance]));
  auto httpx_class = [&](Name name) -> Ref { return getattr(TRY(args.global(st[Name::httpx])), st[name]); };
  Ref read_timeout = TRY(httpx_class(Name::ReadTimeout));
  Ref write_timeout = TRY(httpx_class(Name::WriteTimeout));
  Ref read_error = TRY(httpx_class(Name::ReadError));
  Ref write_error = TRY(httpx_class(Name::WriteError));
  Ref protocol_error = TRY(httpx_class(Name::RemoteProtocolError));
  Ref uncertain = TRY(tuple({read_timeout, write_timeout, read_error, write_error, protocol_error}));
  if (!TRY(apply_isinstance(st, test, caught.value(), uncertain))) return Status::ok;
  Ref error = TRY(args.global(st[Name::VORAError]));
  return raise(error, TRY(concat({st[Text::outcome_unknown], TRY(format(caught.value()))})));
}

Status raise_if_attempts_spent(const State& st, const Args& args, Handle attempt, const CaughtException& caught) {
  if (!TRY(compare(attempt, TRY(getattr(args[0], st[Name::max_retries])), Py_GE))) return Status::ok;
  Ref error = TRY(args.global(st[Name::VORAError]));
  return raise(error, TRY(concat({st[Text::failed_after_retries], TRY(format(caught.value()))})));
}

Ref backoff(const State& st, Handle attempt) {
  // 0.5 * 2 ** attempt: the power of an exact int is exact, and so is the
  // product, as long as it fits a double's mantissa.
  if (PyLong_CheckExact(attempt.get())) {
    const long k = PyLong_AsLong(attempt.get());
    if (0 <= k && k < 53) return floating(0.5 * static_cast<double>(1LL << k));
    if (PyErr_Occurred()) PyErr_Clear();  // too large for a long: the interpreter's arithmetic decides
  }
  return multiply(st.half, TRY(power(st.two, attempt)));
}

Failure raise_no_attempt(const State& st, const Args& args, Handle last_exc) {
  Ref error = TRY(args.global(st[Name::VORAError]));
  return raise(error, TRY(concat({st[Text::request_failed], TRY(format(last_exc))})));
}

}  // namespace client
