#pragma once

#include <zlib.h>

#include <string>
#include <string_view>

namespace testing_support {

// The sending side of permessage-deflate: one raw deflate stream for a whole connection, so later
// messages may refer back into earlier ones.
class Deflater {
public:
    Deflater() { deflateInit2(&stream_, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY); }
    ~Deflater() { deflateEnd(&stream_); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // A message as a client sends it: flushed with Z_SYNC_FLUSH (or Z_FULL_FLUSH, which drops the
    // history) and without the 00 00 FF FF that ends the flush; with Z_FINISH it ends the stream
    // in a final block, and the next message starts a new stream.
    std::string message(std::string_view text, int flush = Z_SYNC_FLUSH) {
        std::string out(text.size() + 64, '\0');
        stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
        stream_.avail_in = static_cast<uInt>(text.size());
        stream_.next_out = reinterpret_cast<Bytef*>(out.data());
        stream_.avail_out = static_cast<uInt>(out.size());
        deflate(&stream_, flush);
        out.resize(out.size() - stream_.avail_out);
        if (flush == Z_FINISH) {
            deflateReset(&stream_);
        } else {
            out.resize(out.size() - 4);
        }
        return out;
    }

private:
    z_stream stream_{};
};

}  // namespace testing_support
