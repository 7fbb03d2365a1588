#include "io/SocketListener.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "os/SocketHelpers.h"
#include "utils/logging/Logger.h"

namespace io {

using utils::logging::Error;
using utils::logging::Info;
using utils::logging::Warning;

namespace {

// How long an episode of trouble must have been over before it counts as ended.
constexpr std::chrono::seconds EPISODE_QUIET_TIME{10};

// After a failed accept the socket may stay readable while the cause lasts; the pause keeps the
// loop from spinning on it. A shortage of descriptors or memory backs off instead.
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
      registered_(multiplexer != nullptr && multiplexer->addListeningSocket(listeningSocket)) {
    if (registered_) {
        // Several accepts follow one readiness event; the last must find nobody waiting, not
        // block.
        os::setNonBlocking(listeningSocket_);
    }
}

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
        // Under load several clients wait at once: taking a few per wake-up saves a wait each.
        for (int taken = 0; taken < ACCEPTS_PER_EVENT && acceptOne(taken == 0); ++taken) {
        }
    }
    multiplexer_->removeListeningSocket();
    AP_LOG(Info, "SocketListener shutting down");
    os::closeSocket(listeningSocket_);
    listeningSocket_ = -1;
    socketClosed_.store(true);
}

bool SocketListener::acceptOne(bool first) {
    PendingConnection element;
    element.addressLength = sizeof(element.address);
    element.descriptor =
        os::acceptSocket(listeningSocket_, &element.address, &element.addressLength);
    if (element.descriptor == -1) {
        const int error = errno;
        if (!first && (error == EAGAIN || error == EWOULDBLOCK)) {
            return false;  // nobody else waits
        }
        if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
            if (shortage_.occurred(Clock::now())) {
                AP_LOG(Warning, "Out of descriptors, accepting paused until some are free", "errno",
                       error, "description", strerror(error));
            }
            backOff();
            return false;
        }
        AP_LOG(Warning, "Error while accepting connection", "errno", error, "description",
               strerror(error));
        pauseAfterAcceptFailure();
        return false;
    }
    backOffMilliseconds_ = 0;
    if (const uint64_t pauses = shortage_.succeeded(Clock::now())) {
        AP_LOG(Warning, "Descriptors available again, accepting resumed", "pauses", pauses);
    }
    AP_LOG(Info, "SocketListener accepted new connection", element.descriptor);
    AP_LOG(Info, "SocketListener forwarding connection to ConnectionEstablisher");
    if (queue_->push(element)) {
        if (const uint64_t refused = refusals_.succeeded(Clock::now())) {
            AP_LOG(Warning, "Pending connection queue has room again", "refused connections",
                   refused);
        }
        return true;
    }
    // Waiting would only hold the client (and a descriptor) for an establisher that cannot
    // come soon; a refusal lets it try again or elsewhere.
    if (refusals_.occurred(Clock::now())) {
        AP_LOG(Warning, "Pending connection queue full. Rejecting connection", "fd",
               element.descriptor);
    }
    os::closeSocket(element.descriptor);
    return true;
}

void SocketListener::backOff() {
    multiplexer_->removeListeningSocket();
    for (;;) {
        // 10 ms at first, doubling up to half a second: closed connections free descriptors
        // soon enough, and a waiting client is served within that time once they do.
        backOffMilliseconds_ =
            backOffMilliseconds_ == 0 ? 10 : std::min(backOffMilliseconds_ * 2, 500);
        // Still woken by shutdown(): the interruption pipe stays registered.
        const Clock::time_point until =
            Clock::now() + std::chrono::milliseconds(backOffMilliseconds_);
        while (!stop_.load()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
            if (left.count() <= 0) {
                break;
            }
            multiplexer_->nextEvent(static_cast<int>(left.count()));
        }
        // Unwatched, the socket would never be accepted from again: the next step tries anew.
        if (multiplexer_->addListeningSocket(listeningSocket_) || stop_.load()) {
            return;
        }
        AP_LOG(Error, "Could not watch the listening socket again, retrying after a pause");
    }
}

bool SocketListener::Episode::occurred(Clock::time_point now) {
    last = now;
    return occurrences++ == 0;
}

uint64_t SocketListener::Episode::succeeded(Clock::time_point now) {
    if (occurrences == 0 || now - last < EPISODE_QUIET_TIME) {
        return 0;
    }
    return std::exchange(occurrences, 0);
}

void SocketListener::shutdown() {
    stop_.store(true);
    if (multiplexer_ != nullptr) {
        multiplexer_->interrupt();
    }
}

}  // namespace io
