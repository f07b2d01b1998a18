// VORAClient: the synchronous client. Each method reads like the Python it
// stands for; globals and attributes are looked up at the moment of use.
#include "state.hpp"

namespace client {
namespace {

Ref init(const Args& args) {
  initialise_client(args, Name::Client);
  return none();
}

// _request_with_retries(self, method, url, **kwargs)
Ref request_with_retries(const Args& args) {
  const State& st = module_state<State>(args);
  Handle self = args[0];
  Ref last_exc = none();
  Ref attempts = attempt_range(args);
  while (Ref attempt = next(attempts)) {
    CaughtException caught;
    try {
      Ref request = getattr(getattr(self, st[Name::_client]), st[Name::request]);
      Ref resp = call_dict(request, tuple({args[1], args[2]}), args.kwargs());
      accept_response(args, resp);
      return resp;
    } catch (const ErrorAlreadySet&) {
      caught = CaughtException::fetch();
    }
    HandlingScope handling(caught);
    if (!is_retryable(args, caught)) raise_not_retried(args, caught);
    last_exc = caught.value().ref();
    raise_if_attempts_spent(args, attempt, caught);
    Ref sleep = getattr(args.global(st[Name::time]), st[Name::sleep]);
    call(sleep, {backoff(args, attempt)});
  }
  raise_no_attempt(args, last_exc);
}

// submit(self, qasm, shots=1024)
Ref submit(const Args& args) {
  const State& st = module_state<State>(args);
  validate_submission(args, args[1], args[2]);
  Ref url = url_for(args, Text::execute_path);
  Ref body = submission_body(args[1], args[2]);
  Ref resp = call_kw(getattr(args[0], st[Name::_request_with_retries]), {st[Text::post_method], url, body}, st.kw_json);
  Ref data = call_method(resp, st[Name::json]);
  return job_from_submission(args, data);
}

// get_status / get_result: one GET, its document as a JobResult.
Ref get_document(const Args& args, Text path) {
  const State& st = module_state<State>(args);
  Ref url = url_for(args, path, args[1]);
  Ref resp = call_method(args[0], st[Name::_request_with_retries], {st[Text::get_method], url});
  return fetch_document(args, resp);
}

Ref get_status(const Args& args) { return get_document(args, Text::status_path); }
Ref get_result(const Args& args) { return get_document(args, Text::results_path); }

// wait_for_result(self, job_id, timeout=300.0, poll_interval=2.0)
Ref wait_for_result(const Args& args) {
  const State& st = module_state<State>(args);
  Handle self = args[0];
  Handle job_id = args[1];
  Ref start = call_method(args.global(st[Name::time]), st[Name::time]);
  Ref last = none();
  for (;;) {
    Ref elapsed = subtract(call_method(args.global(st[Name::time]), st[Name::time]), start);
    if (compare(elapsed, args[2], Py_GT)) {
      Ref error = args.global(st[Name::TimeoutError]);
      raise(error, concat({text("Timed out waiting for job "), format(job_id)}));
    }
    last = call_method(self, st[Name::get_status], {job_id});
    if (truthy(getattr(last, st[Name::is_complete]))) {
      if (getattr(last, st[Name::counts]).is_none() && is_completed(args, getattr(last, st[Name::status]))) {
        try {
          return call_method(self, st[Name::get_result], {job_id});
        } catch (const ErrorAlreadySet&) {
          CaughtException caught = CaughtException::fetch();
          if (!caught.matches(PyExc_Exception)) caught.rethrow();
          return last;  // the status document stands in for the result
        }
      }
      return last;
    }
    call_method(args.global(st[Name::time]), st[Name::sleep], {args[3]});
  }
}

// execute(self, qasm, shots=1024)
Ref execute(const Args& args) {
  const State& st = module_state<State>(args);
  Ref job = call_kw(getattr(args[0], st[Name::submit]), {args[1], args[2]}, st.kw_qasm_shots);
  Ref wait_for_result = getattr(args[0], st[Name::wait_for_result]);
  return call(wait_for_result, {getattr(job, st[Name::job_id])});
}

// The catalogue entry of an "ibm_quantum" backend or a "braket" device, in
// the shape ProviderInfo.from_dict reads.
Ref translate_entry(const State& st, Handle entry, Name name_key, Name type_key) {
  Ref translated = new_dict();
  dict_set(translated, st[Name::id], getitem(entry, st[name_key]));
  dict_set(translated, st[Name::name], getitem(entry, st[name_key]));
  dict_set(translated, st[Name::type], call_method(entry, st[Name::get], {st[type_key], st[Text::simulator]}));
  dict_set(translated, st[Name::num_qubits], call_method(entry, st[Name::get], {st[Name::num_qubits], st.zero}));
  return translated;
}

// providers.append(ProviderInfo.from_dict({...})) for each entry: the callees
// are looked up before the entry is read.
Ref translate_catalogue(const Args& args, Handle data, Name list_key, Name name_key, Name type_key) {
  const State& st = module_state<State>(args);
  Ref providers = new_list();
  Ref it = iterate(call_method(data, st[Name::get], {st[list_key], new_list()}));
  while (Ref entry = next(it)) {
    Ref append = getattr(providers, st[Name::append]);
    Ref from_dict = getattr(args.global(st[Name::ProviderInfo]), st[Name::from_dict]);
    call(append, {call(from_dict, {translate_entry(st, entry, name_key, type_key)})});
  }
  return providers;
}

bool supplier_is(Handle supplier, Handle name) { return compare(supplier, name, Py_EQ); }

// list_providers(self, supplier="azure_quantum")
Ref list_providers(const Args& args) {
  const State& st = module_state<State>(args);
  Handle supplier = args[1];
  Ref url = concat(
      {format(getattr(args[0], st[Name::base_url])), st[Text::api_prefix], format(supplier), st[Text::providers_path]});
  if (supplier_is(supplier, st[Text::ibm_quantum])) {
    url = url_for(args, Text::ibm_backends_path);
  } else if (supplier_is(supplier, st[Text::braket])) {
    url = url_for(args, Text::braket_devices_path);
  }
  Ref resp = call_method(args[0], st[Name::_request_with_retries], {st[Text::get_method], url});
  Ref data = call_method(resp, st[Name::json]);
  if (supplier_is(supplier, st[Text::azure_quantum])) {
    Ref providers = new_list();
    Ref it = iterate(data);
    while (Ref entry = next(it))
      list_append(providers, call_method(args.global(st[Name::ProviderInfo]), st[Name::from_dict], {entry}));
    return providers;
  }
  if (supplier_is(supplier, st[Text::ibm_quantum]))
    return translate_catalogue(args, data, Name::backends, Name::backend_name, Name::backend_type);
  if (supplier_is(supplier, st[Text::braket])) return translate_catalogue(args, data, Name::devices, Name::name, Name::type);
  return new_list();
}

// execute_on_backend(self, qasm, backend, supplier="azure_quantum", shots=1024)
Ref execute_on_backend(const Args& args) {
  const State& st = module_state<State>(args);
  Handle self = args[0];
  Handle backend = args[2];
  Handle supplier = args[3];
  Ref url = concat(
      {format(getattr(self, st[Name::base_url])), st[Text::api_prefix], format(supplier), st[Text::execute_path]});
  Ref payload = new_dict();
  dict_set(payload, st[Name::circuit], args[1]);
  dict_set(payload, st[Name::shots], args[4]);
  if (supplier_is(supplier, st[Text::azure_quantum])) {
    setitem(payload, st[Name::target], backend);
  } else if (supplier_is(supplier, st[Text::ibm_quantum])) {
    setitem(payload, st[Name::backend], backend);
  } else if (supplier_is(supplier, st[Text::braket])) {
    setitem(payload, st[Name::device], backend);
  }
  Ref resp = call_kw(getattr(self, st[Name::_request_with_retries]), {st[Text::post_method], url, payload}, st.kw_json);
  Ref data = call_method(resp, st[Name::json]);
  Ref job_id = call_method(data, st[Name::get], {st[Name::job_id]});
  if (!truthy(job_id)) job_id = call_method(data, st[Name::get], {st[Name::task_id]});
  Ref wait_for_result = getattr(self, st[Name::wait_for_result]);
  return call_kw(wait_for_result, {job_id, getattr(self, st[Name::timeout])}, st.kw_timeout);
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
  auto method = [&](FunctionDecl decl) {
    Ref function = make_function(module, st.types, decl);
    return function;
  };
  Ref ns = new_dict();
  set_class_docstring(ns, "Synchronous client of the VORA service.");
  dict_set(ns, "__init__", method(init_spec(st, "VORAClient.__init__", init)));
  dict_set(ns, "execute",
           method({.name = "execute",
                   .qualname = "VORAClient.execute",
                   .doc = "Submit a circuit and wait for completion.",
                   .params = {{"self"}, {"qasm", "str"}, {"shots", "int", integer(1024)}},
                   .returns = "JobResult",
                   .locals = {"job"},
                   .sync = execute}));
  dict_set(ns, "submit",
           method({.name = "submit",
                   .qualname = "VORAClient.submit",
                   .doc = "Submit a circuit for execution and return a job handle.",
                   .params = {{"self"}, {"qasm", "str"}, {"shots", "int", integer(1024)}},
                   .returns = "CircuitJob",
                   .locals = {"url", "resp", "data"},
                   .sync = submit}));
  dict_set(ns, "get_status",
           method({.name = "get_status",
                   .qualname = "VORAClient.get_status",
                   .params = {{"self"}, {"job_id", "str"}},
                   .returns = "JobResult",
                   .locals = {"url", "resp"},
                   .sync = get_status}));
  dict_set(ns, "get_result",
           method({.name = "get_result",
                   .qualname = "VORAClient.get_result",
                   .params = {{"self"}, {"job_id", "str"}},
                   .returns = "JobResult",
                   .locals = {"url", "resp"},
                   .sync = get_result}));
  dict_set(ns, "wait_for_result",
           method({.name = "wait_for_result",
                   .qualname = "VORAClient.wait_for_result",
                   .params = {{"self"},
                              {"job_id", "str"},
                              {"timeout", "float", floating(300.0)},
                              {"poll_interval", "float", floating(2.0)}},
                   .returns = "JobResult",
                   .locals = {"start", "last"},
                   .sync = wait_for_result}));
  dict_set(ns, "list_providers",
           method({.name = "list_providers",
                   .qualname = "VORAClient.list_providers",
                   .doc = kListProvidersDoc,
                   .params = {{"self"}, {"supplier", "str", st[Text::azure_quantum].ref()}},
                   .returns = "list[ProviderInfo]",
                   // [ProviderInfo.from_dict(provider) for provider in data]
                   .locals = {"url", "resp", "data", "provider", "providers", "backend", "device"},
                   .comprehension_vars = {"provider"},
                   .sync = list_providers}));
  dict_set(ns, "execute_on_backend",
           method({.name = "execute_on_backend",
                   .qualname = "VORAClient.execute_on_backend",
                   .doc = kExecuteOnBackendDoc,
                   .params = {{"self"},
                              {"qasm", "str"},
                              {"backend", "str"},
                              {"supplier", "str", st[Text::azure_quantum].ref()},
                              {"shots", "int", integer(1024)}},
                   .returns = "JobResult",
                   .locals = {"url", "payload", "resp", "data", "job_id"},
                   .sync = execute_on_backend}));
  dict_set(ns, "_request_with_retries",
           method({.name = "_request_with_retries",
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
