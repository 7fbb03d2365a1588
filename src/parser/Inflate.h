#pragma once

#include <string>

#include "parser/ParseResult.h"

namespace parser {

// Decompression of permessage-deflate WebSocket messages: raw deflate data whose trailing empty
// stored block (00 00 FF FF) the sender left off. One inflate state per connection carries the
// 32 KiB history from message to message, so a sender that keeps its compression context is
// understood. Every compressed message of a connection must pass through here exactly once and in
// the order it was sent, or the history no longer matches the sender's.

// Replaces the connection's inflate state with a fresh one. On failure logs "Could not initialize
// inflate" with zlib's code, leaves `inflateStream` null and returns false.
bool initInflate(ParseResult& result);

// Inflates one whole message, creating the state on first use. On true `payload` holds the
// inflated text, at most 8192 bytes; on false its content is unspecified, the failure has been
// logged and the state must not be used for later messages of the connection.
bool inflateMessage(ParseResult& result, std::string& payload);

}  // namespace parser
