// Scans arbitrary bytes for the event of an RSI message and asserts that the scan stays inside
// the message, reports a non-empty quoted value when it succeeds, and unwinds its nesting.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "parser/RsiScan.h"
#include "parser/UriParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    parser::RsiScan scan;
    scan.data = data;
    scan.length = size;
    const bool found = parser::findRsiEvent(scan);

    FUZZ_CHECK(found == scan.found);
    FUZZ_CHECK(scan.position <= size);
    FUZZ_CHECK(scan.depth == 0);
    if (!found) {
        FUZZ_CHECK(scan.value.empty());
        return 0;
    }
    const auto* begin = reinterpret_cast<const uint8_t*>(scan.value.data());
    const uint8_t* end = begin + scan.value.size();
    FUZZ_CHECK(!scan.value.empty());
    // The value is a view between two quotes of the message, and the scan went on past them (to
    // make sure no second event follows).
    FUZZ_CHECK(begin > data && end < data + size);
    FUZZ_CHECK(begin[-1] == '"' && *end == '"');
    FUZZ_CHECK(scan.position >= static_cast<uint64_t>(end - data) + 1);

    std::string service;
    std::string resource;
    parser::parseUri(std::string(scan.value), service, resource);
    return 0;
}
