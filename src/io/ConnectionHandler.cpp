#include "io/ConnectionHandler.h"

#include <algorithm>
#include <cassert>
#include <utility>

#include "connection/Connection.h"
#include "connection/IncomingConnection.h"
#include "connection/OutgoingConnection.h"
#include "utils/logging/Logger.h"

namespace io {

using connection::Connection;
using connection::ReadResult;
using utils::logging::Debug;
using utils::logging::Info;
using utils::logging::Verbose;

namespace {

void eraseValue(std::vector<Connection*>& list, const Connection* connection) {
    list.erase(std::remove(list.begin(), list.end(), connection), list.end());
}

}  // namespace

ConnectionHandler::ConnectionHandler(ConnectionMultiplexer* multiplexer)
    : multiplexer_(multiplexer) {}

ConnectionHandler::~ConnectionHandler() {
    // A query library thread may still hold a connection's callback: it is told to drop it
    // before the connection goes.
    for (auto& [address, connection] : connections_) {
        if (connection->hasPendingQuery()) {
            connection->cancelPendingQuery();
        }
    }
    // Connections unlink their peers when destroyed, so the order does not matter; their
    // destructors never call back into the handler.
    newConnections_.clear();
    connections_.clear();
}

void ConnectionHandler::adopt(std::unique_ptr<connection::IncomingConnection>& incoming,
                              std::unique_ptr<connection::OutgoingConnection>& outgoing) {
    if (!incoming || !outgoing) {
        return;
    }
    incoming->setHandler(this);
    outgoing->setHandler(this);
    incoming->setPeer(outgoing.get());
    outgoing->setPeer(incoming.get());
    {
        std::lock_guard<std::mutex> lock(adoptionMutex_);
        newConnections_.push_back(std::move(incoming));
        newConnections_.push_back(std::move(outgoing));
        newCount_.store(newConnections_.size());
    }
    adoptionQueued_.store(true);
    wake();
}

void ConnectionHandler::wake() {
    // A handler that is not waiting looks at the queued flags before it waits again, so only a
    // waiting one needs the interruption (and its two system calls). Both sides store their flag
    // before they read the other's (sequentially consistent), so one of them always sees it.
    if (waiting_.load()) {
        multiplexer_->interrupt();
    }
}

void ConnectionHandler::removeConnection(Connection* connection) {
    assert(inHandlerThread());
    if (auto parked = std::find(parked_.begin(), parked_.end(), connection);
        parked != parked_.end()) {
        parked_.erase(parked);
    } else {
        // Every connection closes its socket right after it leaves the handler.
        multiplexer_->forgetConnection(connection);
    }
    deadlines_.disarm(connection);
    eraseValue(scheduled_, connection);
    if (!isOld(connection)) {
        oldConnections_.push_back(connection);
    }
}

bool ConnectionHandler::modifyEvents(Connection* connection, uint32_t events) {
    assert(inHandlerThread());
    if (auto parked = std::find(parked_.begin(), parked_.end(), connection);
        parked != parked_.end()) {
        if ((events & (EVENT_INPUT | EVENT_OUTPUT)) == 0) {
            return true;
        }
        parked_.erase(parked);
        return multiplexer_->addConnection(connection, events);
    }
    return multiplexer_->modifyConnection(connection, events);
}

void ConnectionHandler::postAsyncEvent(Connection* connection) {
    AP_LOG(Debug, "async event", connection != nullptr ? connection->tag() : std::string());
    {
        std::lock_guard<std::mutex> lock(asyncMutex_);
        asyncEvents_.push_back(connection);
    }
    asyncQueued_.store(true);
    wake();
}

uint64_t ConnectionHandler::connectionCount() const {
    return adoptedCount_.load() + newCount_.load();
}

void ConnectionHandler::setDeadline(Connection* connection, DeadlineKind kind) {
    assert(inHandlerThread());
    if (kind == DeadlineKind::None) {
        deadlines_.disarm(connection);
    } else {
        deadlines_.arm(connection, kind, Clock::now());
    }
}

void ConnectionHandler::scheduleRead(Connection* connection) {
    assert(inHandlerThread());
    if (std::find(scheduled_.begin(), scheduled_.end(), connection) == scheduled_.end()) {
        scheduled_.push_back(connection);
    }
}

bool ConnectionHandler::inHandlerThread() const {
    const std::thread::id owner = thread_.load();
    return owner == std::thread::id() || owner == std::this_thread::get_id();
}

void ConnectionHandler::shutdown() {
    stop_.store(true);
    multiplexer_->interrupt();
}

void ConnectionHandler::run() {
    thread_.store(std::this_thread::get_id());
    AP_LOG(Info, "ConnectionHandler starting up", "handler", this);
    while (!stop_.load()) {
        processEvents();
        runScheduledReads();
        expireDeadlines();
        handleAsyncEvents();
        deleteOldConnections();
        adoptNewConnections();
    }
    AP_LOG(Info, "ConnectionHandler shutting down", "handler", this);
    thread_.store(std::thread::id());
}

void ConnectionHandler::processEvents() {
    int timeout = scheduled_.empty() ? deadlines_.millisecondsUntilNext(Clock::now()) : 0;
    if (timeout != 0 && !multiplexer_->eventsPending()) {
        waiting_.store(true);
        if (asyncQueued_.load() || adoptionQueued_.load()) {
            timeout = 0;
        }
    }
    MultiplexerEvent event = multiplexer_->nextEvent(timeout);
    waiting_.store(false);
    for (;;) {
        if (event.first == nullptr) {
            AP_LOG(Debug, "ConnectionHandler interrupted", "handler", this);
        } else {
            handleEvent(event.first, event.second);
        }
        // Only the events of this one wait: housekeeping runs between waits.
        if (!multiplexer_->eventsPending()) {
            return;
        }
        event = multiplexer_->nextEvent(0);
    }
}

void ConnectionHandler::handleEvent(Connection* connection, uint32_t flags) {
    using State = Connection::State;
    if (connection->state() == State::Connecting || connection->state() == State::Handshaking) {
        // Readiness of any kind (errors included) moves set-up on, or tells why it failed.
        if (flags != 0 && !connection->continueSetUp(flags)) {
            connection->disconnectPair();
        }
        return;
    }
    // A connection that one handling disconnected has a closed descriptor whose number may
    // already belong to another socket: the later handlings of this event must not touch it.
    if ((flags & EVENT_OUTPUT) != 0) {
        handleOutput(connection);
    }
    bool readThisTime = false;
    if ((flags & EVENT_INPUT) != 0 && !connection->disconnected() && connection->readable()) {
        handleInput(connection);
        readThisTime = true;
    }
    if ((flags & (EVENT_HANGUP | EVENT_ERROR)) != 0 && !connection->disconnected()) {
        if (connection->readable()) {
            // A hang-up often comes with the last bytes the remote side sent; the read that
            // finds the end (or the error) decides, so nothing is dropped and a half-close
            // stays a half-close.
            if (!readThisTime) {
                handleInput(connection);
            }
        } else if ((flags & EVENT_ERROR) != 0 ||
                   ((flags & EVENT_CLOSED) != 0 && connection->inputEnded())) {
            // Reset, or closed both ways after its input had ended already: nothing more can
            // pass this socket, so the pair ends (the peer sends what it holds first).
            handleHangup(connection);
        } else if ((connection->wantedEvents() & EVENT_OUTPUT) == 0) {
            park(connection);
        }
    }
    if (!connection->disconnected()) {
        refreshHalfClose(connection);
    }
}

ReadResult ConnectionHandler::handleInput(Connection* connection) {
    AP_LOG(Debug, "input event", connection->tag(), "handler", this);
    const ReadResult result = connection->conRead();
    switch (result) {
        case ReadResult::ForwardFailed:
            AP_LOG(Info, "Error writing connection, closing", connection->tag(), "handler", this);
            // The peer could not take the data: it closes at once, this side after flushing.
            if (connection->peer() != nullptr) {
                connection->peer()->disconnectPair();
            } else {
                connection->requestDisconnect();
            }
            break;
        case ReadResult::Failed:
            AP_LOG(Info, "Error reading connection, closing", connection->tag(), "handler", this);
            connection->disconnectPair();
            break;
        case ReadResult::Closed:
            AP_LOG(Info, "Connection closed, read 0 bytes", connection->tag(), "handler", this);
            connection->endOfInput();
            break;
        case ReadResult::Paused:
            // No input until the answer's async event runs the read path again; queued output
            // keeps flowing meanwhile.
            connection->holdInput(Connection::HoldAnswer);
            return result;
        case ReadResult::Done:
        case ReadResult::WouldBlock:
            break;
    }
    // The read path has finished with the answer it waited for: the client's further input has
    // to be read again.
    if (!connection->disconnected()) {
        connection->releaseInput(Connection::HoldAnswer);
    }
    return result;
}

void ConnectionHandler::handleOutput(Connection* connection) {
    AP_LOG(Debug, "output event", connection->tag());
    if (connection->conWrite(nullptr, 0) < 0) {
        connection->disconnectPair();
    } else if (connection->closing()) {
        connection->requestDisconnect();
    }
}

void ConnectionHandler::handleHangup(Connection* connection) {
    AP_LOG(Info, "Hangup event, closing", connection->tag(), "handler", this);
    connection->disconnectPair();
}

void ConnectionHandler::park(Connection* connection) {
    AP_LOG(Debug, "Hang-up while not reading, pausing the socket's events", connection->tag());
    multiplexer_->removeConnection(connection);
    parked_.push_back(connection);
    connection->eventsRegistered(0);
}

void ConnectionHandler::refreshHalfClose(Connection* connection) {
    for (Connection* side : {connection, connection->peer()}) {
        if (side != nullptr && side->deadlineHook().kind == DeadlineKind::HalfClose) {
            deadlines_.arm(side, DeadlineKind::HalfClose, Clock::now());
        }
    }
}

void ConnectionHandler::runScheduledReads() {
    if (scheduled_.empty()) {
        return;
    }
    scheduledWork_.swap(scheduled_);
    for (Connection* connection : scheduledWork_) {
        // A read earlier in this list may have closed it; removeConnection only cleans the
        // list being filled.
        if (!connection->disconnected() && connection->readable() && !isOld(connection)) {
            handleInput(connection);
            if (!connection->disconnected()) {
                refreshHalfClose(connection);
            }
        }
    }
    scheduledWork_.clear();
}

void ConnectionHandler::expireDeadlines() {
    if (deadlines_.empty()) {
        return;
    }
    const Clock::time_point now = Clock::now();
    DeadlineKind kind = DeadlineKind::None;
    while (Connection* connection = deadlines_.takeExpired(now, kind)) {
        if (!connection->disconnected()) {
            connection->deadlineExpired(kind);
        }
    }
}

void ConnectionHandler::handleAsyncEvents() {
    if (!asyncQueued_.exchange(false)) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(asyncMutex_);
        if (asyncEvents_.empty()) {
            return;
        }
        asyncWork_.swap(asyncEvents_);
    }
    // Only neighbours: an answer that arrives twice in a row needs one read, but the same
    // connection behind another one may have a new answer by then.
    asyncWork_.erase(std::unique(asyncWork_.begin(), asyncWork_.end()), asyncWork_.end());
    for (Connection* connection : asyncWork_) {
        if (connection == nullptr || connections_.find(connection) == connections_.end() ||
            isOld(connection) || connection->disconnected()) {
            continue;
        }
        AP_LOG(Debug, "Handling async event", connection->tag(), "handler", this);
        handleInput(connection);
    }
    asyncWork_.clear();
}

void ConnectionHandler::deleteOldConnections() {
    if (oldConnections_.empty()) {
        return;
    }
    AP_LOG(Debug, "Deleting old connections", oldConnections_.size());
    // The waiting flag is read before the async queue: an answer queues its event before it
    // clears the flag, so a connection seen not waiting has its last event visible here.
    const auto deletable = std::stable_partition(
        oldConnections_.begin(), oldConnections_.end(), [this](Connection* connection) {
            return connection->hasPendingQuery() || hasQueuedAsyncEvent(connection);
        });
    for (auto it = deletable; it != oldConnections_.end(); ++it) {
        AP_LOG(Verbose, "Deleting connection", (*it)->tag(), "handler", this);
        connections_.erase(*it);
    }
    adoptedCount_.store(connections_.size());
    oldConnections_.erase(deletable, oldConnections_.end());
    if (!oldConnections_.empty()) {
        AP_LOG(Debug, "Connections with outstanding queries not deleted", oldConnections_.size());
    }
}

void ConnectionHandler::adoptNewConnections() {
    if (!adoptionQueued_.exchange(false)) {
        return;
    }
    std::vector<Connection*> adopted;
    {
        std::lock_guard<std::mutex> lock(adoptionMutex_);
        if (newConnections_.empty()) {
            return;
        }
        AP_LOG(Debug, "ConnectionHandler adopting new connections", "count", newConnections_.size(),
               "handler", this);
        while (!newConnections_.empty()) {
            std::unique_ptr<Connection>& last = newConnections_.back();
            Connection* connection = last.get();
            AP_LOG(Debug, "ConnectionHandler adopting new connection", connection->tag(), "handler",
                   this);
            connections_.insert_or_assign(connection, std::move(last));
            adoptedCount_.store(connections_.size());
            newConnections_.pop_back();
            newCount_.store(newConnections_.size());
            adopted.push_back(connection);
        }
    }
    // Registered outside the lock: adoption may start set-up steps that log.
    std::vector<Connection*> unregistered;
    for (Connection* connection : adopted) {
        const uint32_t events = connection->wantedEvents();
        if (multiplexer_->addConnection(connection, events)) {
            connection->eventsRegistered(events);
            connection->adopted();
        } else {
            unregistered.push_back(connection);
        }
    }
    // A connection that is never polled would hold its pair open for good; close such pairs
    // now that both halves are known to the handler.
    for (Connection* connection : unregistered) {
        if (!connection->disconnected()) {
            connection->disconnectPair();
        }
    }
}

bool ConnectionHandler::isOld(const Connection* connection) const {
    return std::find(oldConnections_.begin(), oldConnections_.end(), connection) !=
           oldConnections_.end();
}

bool ConnectionHandler::hasQueuedAsyncEvent(const Connection* connection) {
    std::lock_guard<std::mutex> lock(asyncMutex_);
    return std::find(asyncEvents_.begin(), asyncEvents_.end(), connection) != asyncEvents_.end();
}

}  // namespace io
