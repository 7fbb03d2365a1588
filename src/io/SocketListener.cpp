#include "io/SocketListener.h"

#include <time.h>

#include <cerrno>
#include <cstring>

#include "os/SocketHelpers.h"
#include "utils/logging/Logger.h"

namespace io {

using utils::logging::Info;
using utils::logging::Warning;

namespace {

// After a failed accept the socket stays readable while the cause lasts (a descriptor shortage,
// say); the pause keeps the loop from spinning on it.
void pauseAfterAcceptFailure() {
    timespec remaining = {0, 10000000};
    while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
    }
}

}  // namespace

SocketListener::SocketListener(int listeningSocket, PendingConnectionQueue* queue,
                               ConnectionMultiplexer* multiplexer)
    : listeningSocket_(listeningSocket),
      queue_(queue),
      multiplexer_(multiplexer),
      registered_(multiplexer != nullptr && multiplexer->addListeningSocket(listeningSocket)) {}

SocketListener::~SocketListener() {
    if (!stop_.load()) {
        AP_LOG(Warning, "SocketListener destructor called before shutdown");
        shutdown();
    }
}

void SocketListener::run() {
    AP_LOG(Info, "SocketListener running");
    if (!registered_) {
        return;
    }
    while (!stop_.load()) {
        AP_LOG(Info, "SocketListener waiting for socket event");
        const MultiplexerEvent event = multiplexer_->nextEvent();
        if (event.first != nullptr || event.second != EVENT_NEW_CONNECTION) {
            continue;
        }
        PendingConnection element;
        element.addressLength = sizeof(element.address);
        element.descriptor =
            os::acceptSocket(listeningSocket_, &element.address, &element.addressLength);
        if (element.descriptor == -1) {
            const int error = errno;
            AP_LOG(Warning, "Error while accepting connection", "errno", error, "description",
                   strerror(error));
            pauseAfterAcceptFailure();
            continue;
        }
        AP_LOG(Info, "SocketListener accepted new connection", element.descriptor);
        AP_LOG(Info, "SocketListener forwarding connection to ConnectionEstablisher");
        queue_->push(element);
    }
    multiplexer_->removeListeningSocket();
    AP_LOG(Info, "SocketListener shutting down");
    os::closeSocket(listeningSocket_);
    listeningSocket_ = -1;
    socketClosed_.store(true);
}

void SocketListener::shutdown() {
    stop_.store(true);
    if (multiplexer_ != nullptr) {
        multiplexer_->interrupt();
    }
}

}  // namespace io
