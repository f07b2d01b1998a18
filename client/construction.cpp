// Construction of a client: key resolution, attributes and the owned HTTP
// client. Both client classes run exactly these steps.
#include "state.hpp"

namespace client {

void initialise_client(const Args& args, Name http_client_class) {
  const State& st = module_state<State>(args);
  Handle self = args[0];
  Handle timeout = args[3];
  Ref api_key = args[1].ref();
  if (!truthy(api_key)) api_key = call_method(args.global(st[Name::os]), st[Name::getenv], {st[Text::env_key]});
  if (!truthy(api_key)) {
    raise(args.global(st[Name::AuthenticationError]), text("VORA API key required (pass api_key or set VORA_API_KEY)"));
  }
  setattr(self, st[Name::api_key], api_key);
  setattr(self, st[Name::base_url], call_method(args[2], st[Name::rstrip], {st[Text::slash]}));
  setattr(self, st[Name::timeout], timeout);
  setattr(self, st[Name::max_retries], args[4]);
  // httpx.Client(timeout=timeout, headers={...}): the callee before its arguments.
  Ref factory = getattr(args.global(st[Name::httpx]), st[http_client_class]);
  Ref headers = new_dict();
  dict_set(headers, st[Text::x_api_key], api_key);
  dict_set(headers, st[Text::authorization], concat({st[Text::bearer], format(api_key)}));
  setattr(self, st[Name::_client], call_kw(factory, {timeout, headers}, st.kw_timeout_headers));
}

FunctionDecl init_spec(const State& st, const char* qualname, SyncBody body) {
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
                     {"timeout", "float", floating(300.0)},
                     {"max_retries", "int", integer(3)}},
          .sync = body};
}

}  // namespace client
