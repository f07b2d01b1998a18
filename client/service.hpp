// Facts about the service shared by the client and the command line.
#pragma once

namespace service {

// The service's public API origin: the default base URL everywhere.
inline constexpr const char* kDefaultBaseUrl = "https://api.vora.zentrova.cloud";

}  // namespace service
