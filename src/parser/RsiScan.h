#pragma once

#include <cstdint>
#include <string_view>

namespace parser {

// Cursor and result of one search for the "event" member of an RSI message (a JSON object).
// The scan allocates nothing and copies nothing: `value` points into the message, which must
// outlive it.
struct RsiScan {
    const uint8_t* data = nullptr;
    uint64_t length = 0;
    // Next byte to read; after a failed scan, the byte where it stopped.
    uint64_t position = 0;
    // Nesting of the value skipper.
    uint32_t depth = 0;
    // The event's string value without its quotes and with its escapes as they are.
    std::string_view value;
    bool found = true;
};

// Walks the message from `position` to its first "event" member; members before it are skipped
// without being interpreted beyond their structure. The members after it, up to the object's end
// or the data's, are read the same way, only to make sure that none of them is a second "event".
// Returns (and stores in `found`) whether the event is a non-empty string and the rest of the
// object passed that check. On failure `position` tells where the scan stopped: below `length`
// for a malformed message, equal to it when the message ended first. Values may nest 31 levels
// deep.
bool findRsiEvent(RsiScan& scan);

}  // namespace parser
