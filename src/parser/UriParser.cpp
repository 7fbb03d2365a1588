#include "parser/UriParser.h"

#include "utils/logging/Logger.h"

namespace parser {

namespace {

constexpr const char* kNameEnds = "/#$?";

// Characters from `first` to `last` inclusive; empty when `last` lies before `first`.
std::string inclusiveRange(const std::string& text, size_t first, size_t last) {
    if (last + 1 <= first) {
        return {};
    }
    return text.substr(first, last + 1 - first);
}

}  // namespace

bool parseUri(const std::string& uri, std::string& service, std::string& resource) {
    service.clear();
    resource.clear();
    if (uri.size() < 3) {
        AP_LOG(utils::logging::Warning, "Failed to parse URI, too short", uri);
        return false;
    }
    const bool escapedLead = uri[0] == '\\' && uri[1] == '/';
    if (uri[0] != '/' && !escapedLead) {
        AP_LOG(utils::logging::Warning, "Failed to parse URI, missing leading slash", uri);
        return false;
    }

    const size_t first = escapedLead ? 1 : 0;
    const size_t second = uri.find('/', first + 1);
    if (second == std::string::npos) {
        const size_t end = uri.find_first_of(kNameEnds, first + 1);
        service = end == std::string::npos ? uri.substr(first + 1)
                                           : inclusiveRange(uri, first + 1, end - 1);
        return true;
    }

    // The backslash of an escaped slash belongs to the separator, not to the name before it.
    size_t serviceLast = second - 1;
    if (second > 1 && uri[second - 1] == '\\') {
        serviceLast = second - 2;
    }
    service = inclusiveRange(uri, first + 1, serviceLast);

    const size_t end = uri.find_first_of(kNameEnds, second + 1);
    if (end == std::string::npos) {
        resource = uri.substr(second + 1);
        return true;
    }
    size_t resourceLast = end - 1;
    if (uri[end] == '/' && uri[end - 1] == '\\') {
        resourceLast = end - 2;
    }
    resource = inclusiveRange(uri, second + 1, resourceLast);
    return true;
}

}  // namespace parser
