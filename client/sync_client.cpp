// VORAClient: the synchronous client. Each method reads like the Python it
// stands for; globals and attributes are looked up at the moment of use.
#include "state.hpp"

namespace client {
namespace {

Ref init(const Args& args) {
  TRY(initialise_client(args, Name::Client));
  return none();
}

// _request_with_retries(self, method, url, **kwargs)
Ref request_with_retries(const Args& args) {
  const State& st = TRY(module_state<State>(args));
  Ref last_exc = none();
  Attempts attempts;
  TRY(attempts.start(st, args));
  Ref attempt;
  while (TRY(attempts.next(attempt))) {
    // try:
    if (Ref resp = send_request(st, args)) {
      if (accept_response(st, args, resp) == Status::ok) return resp;
    }
    // except ... as e:
    CaughtException caught = CaughtException::fetch();
    HandlingScope handling(caught);
    if (!TRY(is_retryable(st, args, caught))) return raise_not_retried(st, args, caught);
    last_exc = caught.value().ref();
    TRY(raise_if_outcome_unknown(st, args, caught));
    TRY(raise_if_attempts_spent(st, args, attempt, caught));
    // time.sleep(0.5 * 2 ** attempt)
    Ref sleep = TRY(getattr(TRY(args.global(st[Name::time])), st[Name::sleep]));
    TRY(call(sleep, {TRY(backoff(st, attempt))}));
  }
  return raise_no_attempt(st, args, last_exc);
}

// submit(self, qasm, shots=1024)
Ref submit(const Args& args) {
  const State& st = TRY(module_state<State>(args));
  TRY(validate_submission(st, args, args[1], args[2]));
  Ref url = TRY(url_for(st, args, Text::execute_path));
  Ref send = TRY(getattr(args[0], st[Name::_request_with_retries]));
  Ref resp = TRY(call_kw(send, {st[Text::post_method], url, TRY(submission_body(st, args[1], args[2]))}, st.kw_json));
  Ref data = TRY(call_method(resp, st[Name::json]));
  return job_from_submission(st, args, data);
}

// get_status / get_result: one GET, its document as a JobResult.
Ref get_document(const Args& args, Text path) {
  const State& st = TRY(module_state<State>(args));
  Ref url = TRY(url_for(st, args, path, args[1]));
  Ref resp = TRY(call_method(args[0], st[Name::_request_with_retries], {st[Text::get_method], url}));
  return read_document(st, args, resp);
}

Ref get_status(const Args& args) { return get_document(args, Text::status_path); }
Ref get_result(const Args& args) { return get_document(args, Text::results_path); }

// wait_for_result(self, job_id, timeout=300.0, poll_interval=2.0)
Ref wait_for_result(const Args& args) {
  const State& st = TRY(module_state<State>(args));
  Handle self = args[0];
  Handle job_id = args[1];
  Ref start = TRY(call_method(TRY(args.global(st[Name::time])), st[Name::time]));
  Ref last = none();
  for (;;) {
    // if time.time() - start > timeout
    Ref now = TRY(call_method(TRY(args.global(st[Name::time])), st[Name::time]));
    if (TRY(compare(TRY(subtract(now, start)), args[2], Py_GT))) {
      Ref error = TRY(args.global(st[Name::TimeoutError]));
      return raise(error, TRY(concat({st[Text::timed_out], TRY(format(job_id))})));
    }
    last = TRY(call_method(self, st[Name::get_status], {job_id}));
    if (TRY(truthy(TRY(getattr(last, st[Name::is_complete]))))) {
      // if last.counts is None and last.status == JobStatus.COMPLETED
      if (TRY(getattr(last, st[Name::counts])).is_none() &&
          TRY(is_completed(st, args, TRY(getattr(last, st[Name::status]))))) {
        if (Ref result = call_method(self, st[Name::get_result], {job_id})) return result;
        CaughtException caught = CaughtException::fetch();
        if (!caught.matches(PyExc_Exception)) return caught.restore();
        return last;  // the status document stands in for the result
      }
      return last;
    }
    TRY(call_method(TRY(args.global(st[Name::time])), st[Name::sleep], {args[3]}));
  }
}

// execute(self, qasm, shots=1024)
Ref execute(const Args& args) {
  const State& st = TRY(module_state<State>(args));
  Ref job = TRY(call_kw(TRY(getattr(args[0], st[Name::submit])), {args[1], args[2]}, st.kw_qasm_shots));
  Ref wait_for_result = TRY(getattr(args[0], st[Name::wait_for_result]));
  return call(wait_for_result, {TRY(getattr(job, st[Name::job_id]))});
}

Ref get(const State& st, Handle mapping, Handle key, Handle fallback = {}) {
  return mapping_get(mapping, st[Name::get], key, fallback);
}

// The catalogue entry of an "ibm_quantum" backend or a "braket" device, in
// the shape ProviderInfo.from_dict reads.
Ref translate_entry(const State& st, Handle entry, Name name_key, Name type_key) {
  Ref translated = TRY(new_dict());
  TRY(dict_set(translated, st[Name::id], TRY(getitem(entry, st[name_key]))));
  TRY(dict_set(translated, st[Name::name], TRY(getitem(entry, st[name_key]))));
  TRY(dict_set(translated, st[Name::type], TRY(get(st, entry, st[type_key], st[Text::simulator]))));
  TRY(dict_set(translated, st[Name::num_qubits], TRY(get(st, entry, st[Name::num_qubits], st.zero))));
  return translated;
}

// providers.append(ProviderInfo.from_dict({...})) for each entry: the callees
// are looked up before the entry is read.
Ref translate_catalogue(const State& st, const Args& args, Handle data, Name list_key, Name name_key, Name type_key) {
  Ref providers = TRY(new_list());
  Ref entries = TRY(iterate(TRY(get(st, data, st[list_key], TRY(new_list())))));
  Ref entry;
  while (TRY(next(entries, entry))) {
    Ref append = TRY(getattr(providers, st[Name::append]));
    Ref from_dict = TRY(getattr(TRY(args.global(st[Name::ProviderInfo])), st[Name::from_dict]));
    TRY(call(append, {TRY(call(from_dict, {TRY(translate_entry(st, entry, name_key, type_key))}))}));
  }
  return providers;
}

Truth supplier_is(Handle supplier, Handle name) { return compare(supplier, name, Py_EQ); }

// list_providers(self, supplier="azure_quantum")
Ref list_providers(const Args& args) {
  const State& st = TRY(module_state<State>(args));
  Handle supplier = args[1];
  Ref base_url = TRY(format(TRY(getattr(args[0], st[Name::base_url]))));
  Ref url = TRY(concat({base_url, st[Text::api_prefix], TRY(format(supplier)), st[Text::providers_path]}));
  if (TRY(supplier_is(supplier, st[Text::ibm_quantum]))) {
    url = TRY(url_for(st, args, Text::ibm_backends_path));
  } else if (TRY(supplier_is(supplier, st[Text::braket]))) {
    url = TRY(url_for(st, args, Text::braket_devices_path));
  }
  Ref resp = TRY(call_method(args[0], st[Name::_request_with_retries], {st[Text::get_method], url}));
  Ref data = TRY(call_method(resp, st[Name::json]));
  if (TRY(supplier_is(supplier, st[Text::azure_quantum]))) {
    // [ProviderInfo.from_dict(provider) for provider in data]
    Ref providers = TRY(new_list());
    Ref entries = TRY(iterate(data));
    Ref entry;
    while (TRY(next(entries, entry)))
      TRY(list_append(providers,
                      TRY(call_method(TRY(args.global(st[Name::ProviderInfo])), st[Name::from_dict], {entry}))));
    return providers;
  }
  if (TRY(supplier_is(supplier, st[Text::ibm_quantum])))
    return translate_catalogue(st, args, data, Name::backends, Name::backend_name, Name::backend_type);
  if (TRY(supplier_is(supplier, st[Text::braket])))
    return translate_catalogue(st, args, data, Name::devices, Name::name, Name::type);
  return new_list();
}

// execute_on_backend(self, qasm, backend, supplier="azure_quantum", shots=1024)
Ref execute_on_backend(const Args& args) {
  const State& st = TRY(module_state<State>(args));
  Handle self = args[0];
  Handle backend = args[2];
  Handle supplier = args[3];
  Ref base_url = TRY(format(TRY(getattr(self, st[Name::base_url]))));
  Ref url = TRY(concat({base_url, st[Text::api_prefix], TRY(format(supplier)), st[Text::execute_path]}));
  Ref payload = TRY(new_dict());
  TRY(dict_set(payload, st[Name::circuit], args[1]));
  TRY(dict_set(payload, st[Name::shots], args[4]));
  if (TRY(supplier_is(supplier, st[Text::azure_quantum]))) {
    TRY(dict_set(payload, st[Name::target], backend));
  } else if (TRY(supplier_is(supplier, st[Text::ibm_quantum]))) {
    TRY(dict_set(payload, st[Name::backend], backend));
  } else if (TRY(supplier_is(supplier, st[Text::braket]))) {
    TRY(dict_set(payload, st[Name::device], backend));
  }
  Ref send = TRY(getattr(self, st[Name::_request_with_retries]));
  Ref resp = TRY(call_kw(send, {st[Text::post_method], url, payload}, st.kw_json));
  Ref data = TRY(call_method(resp, st[Name::json]));
  // job_id = data.get("job_id") or data.get("task_id")
  Ref job_id = TRY(get(st, data, st[Name::job_id]));
  if (!TRY(truthy(job_id))) job_id = TRY(get(st, data, st[Name::task_id]));
  Ref wait_for_result = TRY(getattr(self, st[Name::wait_for_result]));
  return call_kw(wait_for_result, {job_id, TRY(getattr(self, st[Name::timeout]))}, st.kw_timeout);
}

constexpr const char* kListProvidersDoc =
    "List available providers for a supplier.\n"
    "\n"
    "        Args:\n"
    "            supplier: One of 'azure_quantum', 'ibm_quantum', 'braket'\n"
    "\n"
    "        Returns:\n"
    "            List of provider information\n"
    "        ";

constexpr const char* kExecuteOnBackendDoc =
    "Execute circuit on specific backend.\n"
    "\n"
    "        Args:\n"
    "            qasm: OpenQASM 2.0 circuit\n"
    "            backend: Backend name (e.g., 'ionq.simulator', 'ibm_kyoto', 'sv1')\n"
    "            supplier: Supplier name ('azure_quantum', 'ibm_quantum', 'braket')\n"
    "            shots: Number of shots\n"
    "\n"
    "        Returns:\n"
    "            Job result\n"
    "        ";

}  // namespace

Ref make_sync_client(Handle module, State& st) {
  Ref ns = TRY(new_dict());
  auto method = [&](const char* name, const FunctionDecl& decl) -> Status {
    return dict_set(ns, TRY(st.types.name(name)), TRY(make_function(module, st.types, decl)));
  };
  TRY(set_class_docstring(st.types, ns, "Synchronous client of the VORA service."));
  TRY(method("__init__", init_decl(st, "VORAClient.__init__", init)));
  TRY(method("execute", {.name = "execute",
                         .qualname = "VORAClient.execute",
                         .doc = "Submit a circuit and wait for completion.",
                         .params = {{"self"}, {"qasm", "str"}, {"shots", "int", st.default_shots}},
                         .returns = "JobResult",
                         .locals = {"job"},
                         .sync = execute}));
  TRY(method("submit", {.name = "submit",
                        .qualname = "VORAClient.submit",
                        .doc = "Submit a circuit for execution and return a job handle.",
                        .params = {{"self"}, {"qasm", "str"}, {"shots", "int", st.default_shots}},
                        .returns = "CircuitJob",
                        .locals = {"url", "resp", "data"},
                        .sync = submit}));
  TRY(method("get_status", {.name = "get_status",
                            .qualname = "VORAClient.get_status",
                            .params = {{"self"}, {"job_id", "str"}},
                            .returns = "JobResult",
                            .locals = {"url", "resp"},
                            .sync = get_status}));
  TRY(method("get_result", {.name = "get_result",
                            .qualname = "VORAClient.get_result",
                            .params = {{"self"}, {"job_id", "str"}},
                            .returns = "JobResult",
                            .locals = {"url", "resp"},
                            .sync = get_result}));
  TRY(method("wait_for_result", {.name = "wait_for_result",
                                 .qualname = "VORAClient.wait_for_result",
                                 .params = {{"self"},
                                            {"job_id", "str"},
                                            {"timeout", "float", st.default_timeout},
                                            {"poll_interval", "float", st.default_poll_interval}},
                                 .returns = "JobResult",
                                 .locals = {"start", "last"},
                                 .sync = wait_for_result}));
  TRY(method("list_providers", {.name = "list_providers",
                                .qualname = "VORAClient.list_providers",
                                .doc = kListProvidersDoc,
                                .params = {{"self"}, {"supplier", "str", st[Text::azure_quantum].ref()}},
                                .returns = "list[ProviderInfo]",
                                // [ProviderInfo.from_dict(provider) for provider in data]
                                .locals = {"url", "resp", "data", "provider", "providers", "backend", "device"},
                                .comprehension_vars = {"provider"},
                                .sync = list_providers}));
  TRY(method("execute_on_backend", {.name = "execute_on_backend",
                                    .qualname = "VORAClient.execute_on_backend",
                                    .doc = kExecuteOnBackendDoc,
                                    .params = {{"self"},
                                               {"qasm", "str"},
                                               {"backend", "str"},
                                               {"supplier", "str", st[Text::azure_quantum].ref()},
                                               {"shots", "int", st.default_shots}},
                                    .returns = "JobResult",
                                    .locals = {"url", "payload", "resp", "data", "job_id"},
                                    .sync = execute_on_backend}));
  TRY(method("_request_with_retries", {.name = "_request_with_retries",
                                       .qualname = "VORAClient._request_with_retries",
                                       .params = {{"self"}, {"method", "str"}, {"url", "str"}},
                                       .varkw = "kwargs",
                                       .varkw_annotation = "Any",
                                       .returns = "httpx.Response",
                                       .locals = {"last_exc", "attempt", "resp", "e"},
                                       .sync = request_with_retries}));
  return make_class(module, "VORAClient", {reinterpret_cast<PyObject*>(&PyBaseObject_Type)}, ns, kInstanceAttributes);
}

}  // namespace client
