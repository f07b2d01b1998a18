// Construction of a client: key resolution, attributes and the owned HTTP
// client. Both client classes run exactly these steps.
#include "state.hpp"

namespace client {

Status initialise_client(const Args& args, Name http_client_class) {
  const State& st = TRY(module_state<State>(args));
  Handle self = args[0];
  Handle timeout = args[3];
  // api_key = api_key or os.getenv("VORA_API_KEY")
  Ref api_key = args[1].ref();
  if (!TRY(truthy(api_key)))
    api_key = TRY(call_method(TRY(args.global(st[Name::os])), st[Name::getenv], {st[Text::env_key]}));
  if (!TRY(truthy(api_key))) return raise_error(st, args, Name::AuthenticationError, Text::no_key);
  TRY(setattr(self, st[Name::api_key], api_key));
  TRY(setattr(self, st[Name::base_url], TRY(call_method(args[2], st[Name::rstrip], {st[Text::slash]}))));
  TRY(setattr(self, st[Name::timeout], timeout));
  TRY(setattr(self, st[Name::max_retries], args[4]));
  // httpx.Client(timeout=timeout, headers={...}): the callee before its arguments.
  Ref factory = TRY(getattr(TRY(args.global(st[Name::httpx])), st[http_client_class]));
  Ref headers = TRY(new_dict());
  TRY(dict_set(headers, st[Text::x_api_key], api_key));
  TRY(dict_set(headers, st[Text::authorization], TRY(concat({st[Text::bearer], TRY(format(api_key))}))));
  return setattr(self, st[Name::_client], TRY(call_kw(factory, {timeout, headers}, st.kw_timeout_headers)));
}

FunctionDecl init_decl(const State& st, const char* qualname, SyncBody body) {
  return {.name = "__init__",
          .qualname = qualname,
          .doc =
              "Create a client of the VORA service.\n"
              "\n"
              "        Args:\n"
              "            api_key: The API key, or None to take it from the environment variable VORA_API_KEY.\n"
              "            base_url: The origin (and optional path prefix) of the service's HTTP API.\n"
              "            timeout: Request timeout in seconds, handed to the HTTP client.\n"
              "            max_retries: How many further attempts the request routine makes after a first\n"
              "                attempt that fails with a timeout or transport error.\n"
              "        ",
          .params = {{"self"},
                     {"api_key", "Optional[str]", none()},
                     {"base_url", "str", st.default_base_url},
                     {"timeout", "float", st.default_timeout},
                     {"max_retries", "int", st.default_retries}},
          .sync = body};
}

}  // namespace client
