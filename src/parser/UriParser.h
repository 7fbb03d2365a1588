#pragma once

#include <string>

namespace parser {

// Splits a request target or a message's event, "/service/resource" optionally followed by more
// path, a fragment ('#'), an event selector ('$') or a query ('?'), into its service and resource.
// A slash may arrive escaped as backslash-slash, as it does inside JSON text. Returns false, with
// both outputs emptied and a Warning logged, when the text is too short or does not start with a
// slash; a target without a second slash yields the service and an empty resource.
bool parseUri(const std::string& uri, std::string& service, std::string& resource);

}  // namespace parser
