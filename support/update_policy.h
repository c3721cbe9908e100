// The update feed's address and the veto every offered download must pass, so
// that a feed pointing elsewhere can never make the application fetch a file
// from another host. Stateless; safe to call from any thread.
#pragma once

#include <optional>
#include <string_view>

namespace choralink::UpdatePolicy {

// https://<service host>/mac/appcast.xml
std::string_view feedURL();

// True only for an https URL on exactly the service host, without user name or
// password, on no port or port 443, whose path (after removing "." and ".."
// segments, percent-encoded ones included) lies strictly under "/mac/".
// No URL (std::nullopt) and anything unparsable answer false.
bool isAllowedDownload(std::optional<std::string_view> url);

}  // namespace choralink::UpdatePolicy
