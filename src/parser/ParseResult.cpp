#include "parser/ParseResult.h"

namespace parser {

void InflateStreamDeleter::operator()(z_stream* stream) const noexcept {
    if (stream == nullptr) {
        return;
    }
    // Harmless on a zeroed stream whose initialisation failed: zlib then finds no state.
    inflateEnd(stream);
    delete stream;
}

}  // namespace parser
