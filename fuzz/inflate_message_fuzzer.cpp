// Inflates arbitrary bytes as a connection's sequence of compressed messages, with one inflate
// state for all of them: the result is never longer than a message may be, and a failure is
// reported, never a crash. In the other mode the bytes are messages that a sender deflates with
// one stream (keeping, dropping or ending its history between messages), and every message must
// inflate to exactly what was sent.

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "parser/Inflate.h"

namespace {

constexpr size_t kLimit = 8192;

// Takes the next message: a two-byte length, then up to that many bytes.
bool nextMessage(const uint8_t*& data, size_t& size, std::string& message) {
    if (size < 2) {
        return false;
    }
    const size_t wanted = (size_t{data[0]} | (size_t{data[1]} << 8)) % (kLimit + 2);
    data += 2;
    size -= 2;
    const size_t taken = wanted < size ? wanted : size;
    message.assign(reinterpret_cast<const char*>(data), taken);
    data += taken;
    size -= taken;
    return true;
}

void arbitraryMessages(const uint8_t* data, size_t size) {
    parser::ParseResult result;
    std::string message;
    while (nextMessage(data, size, message)) {
        if (parser::inflateMessage(result, message)) {
            FUZZ_CHECK(message.size() <= kLimit);
        } else {
            // The connection would be closed; a fresh state lets the next message be tried.
            FUZZ_CHECK(parser::initInflate(result));
        }
    }
}

void roundTrip(const uint8_t* data, size_t size) {
    z_stream deflater{};
    FUZZ_CHECK(deflateInit2(&deflater, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK);
    parser::ParseResult result;
    std::string text;
    while (size > 0) {
        const uint8_t mode = data[0];
        ++data;
        --size;
        if (!nextMessage(data, size, text) || text.size() > kLimit) {
            break;
        }
        if (text.empty()) {
            // A flush without new input after a flush yields no data at all, not a message.
            continue;
        }
        const int flush =
            (mode & 3) == 0 ? Z_FULL_FLUSH : ((mode & 3) == 1 ? Z_FINISH : Z_SYNC_FLUSH);
        std::string sent(deflateBound(&deflater, text.size()) + 64, '\0');
        deflater.next_in = reinterpret_cast<Bytef*>(text.data());
        deflater.avail_in = static_cast<uInt>(text.size());
        deflater.next_out = reinterpret_cast<Bytef*>(sent.data());
        deflater.avail_out = static_cast<uInt>(sent.size());
        FUZZ_CHECK(deflate(&deflater, flush) != Z_STREAM_ERROR);
        FUZZ_CHECK(deflater.avail_in == 0 && deflater.avail_out != 0);
        sent.resize(sent.size() - deflater.avail_out);
        if (flush == Z_FINISH) {
            deflateReset(&deflater);
            if ((mode & 4) != 0) {
                // The byte some senders add after a final block.
                sent.push_back('\0');
            }
        } else {
            FUZZ_CHECK(sent.size() >= 4 &&
                       sent.compare(sent.size() - 4, 4, "\0\0\xff\xff", 4) == 0);
            sent.resize(sent.size() - 4);
        }
        FUZZ_CHECK(parser::inflateMessage(result, sent));
        FUZZ_CHECK(sent == text);
    }
    deflateEnd(&deflater);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    if ((data[0] & 1) == 0) {
        arbitraryMessages(data + 1, size - 1);
    } else {
        roundTrip(data + 1, size - 1);
    }
    return 0;
}
