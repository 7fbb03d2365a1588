#include "parser/Inflate.h"

#include <zlib.h>

#include <cstddef>

#include "utils/BuildConfig.h"
#include "utils/logging/Logger.h"

namespace parser {

using utils::logging::Error;

namespace {

constexpr size_t kLargestMessage = config::BUFFER_SIZE;
// The empty stored block that ends every message on the sender's side.
constexpr char kMessageTail[] = {'\x00', '\x00', '\xff', '\xff'};

void logFailure(int code) {
    switch (code) {
        case Z_NEED_DICT:
            AP_LOG(Error, "Z_NEED_DICT");
            break;
        case Z_DATA_ERROR:
            AP_LOG(Error, "Z_DATA_ERROR");
            break;
        case Z_MEM_ERROR:
            AP_LOG(Error, "Z_MEM_ERROR");
            break;
        case Z_BUF_ERROR:
            AP_LOG(Error, "Not enough zlib out buffer storage");
            break;
        default:
            AP_LOG(Error, "unknown zlib error", code);
            break;
    }
}

}  // namespace

bool initInflate(ParseResult& result) {
    result.inflateStream.reset(new z_stream{});
    // Window bits -15: raw deflate without header or check value, with the full 32 KiB window.
    const int code = inflateInit2(result.inflateStream.get(), -15);
    if (code != Z_OK) {
        AP_LOG(Error, "Could not initialize inflate", code);
        result.inflateStream.reset();
        return false;
    }
    return true;
}

bool inflateMessage(ParseResult& result, std::string& payload) {
    if (!result.inflateStream && !initInflate(result)) {
        return false;
    }
    z_stream& stream = *result.inflateStream;
    payload.append(kMessageTail, sizeof(kMessageTail));

    // One byte more than a message may have: a message that fills it is too long, and one that
    // stops short of it has left nothing inside zlib for want of room. Kept per thread, so that no
    // message pays for allocating and clearing it; only the bytes produced are copied out.
    thread_local Bytef output[kLargestMessage + 1];
    stream.next_in = reinterpret_cast<Bytef*>(payload.data());
    stream.avail_in = static_cast<uInt>(payload.size());
    stream.next_out = output;
    stream.avail_out = static_cast<uInt>(sizeof(output));

    int code;
    for (;;) {
        code = inflate(&stream, Z_SYNC_FLUSH);
        if (code == Z_STREAM_END) {
            // A sender that ends its deflate stream with a final block starts a new one with the
            // next message; a finished state would take no more input. What is left of the tail
            // added above was never sent and must not begin the new stream. Bytes the sender put
            // after the final block do begin it (one zero byte there makes the tail a whole empty
            // stored block, as after a flush).
            inflateReset(&stream);
            if (stream.avail_in <= sizeof(kMessageTail)) {
                break;
            }
            continue;
        }
        if (code != Z_OK || stream.avail_in == 0) {
            break;
        }
    }
    const size_t produced = sizeof(output) - stream.avail_out;
    if (code == Z_OK || code == Z_STREAM_END) {
        if (produced > kLargestMessage) {
            code = Z_BUF_ERROR;
        } else {
            payload.assign(reinterpret_cast<const char*>(output), produced);
            return true;
        }
    }
    logFailure(code);
    return false;
}

}  // namespace parser
