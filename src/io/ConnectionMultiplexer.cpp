#include "io/ConnectionMultiplexer.h"

#include "io/ConnectionMultiplexerLinux.h"

namespace io {

std::unique_ptr<ConnectionMultiplexer> ConnectionMultiplexer::create() {
    auto multiplexer = std::make_unique<ConnectionMultiplexerLinux>();
    if (!multiplexer->isValid()) {
        return nullptr;
    }
    return multiplexer;
}

}  // namespace io
