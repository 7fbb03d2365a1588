#include "io/ConnectionHandler.h"

#include <algorithm>
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

ConnectionHandler::ConnectionHandler(ConnectionMultiplexer* multiplexer)
    : multiplexer_(multiplexer) {}

ConnectionHandler::~ConnectionHandler() {
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
    multiplexer_->interrupt();
}

void ConnectionHandler::removeConnection(Connection* connection) {
    multiplexer_->removeConnection(connection);
    if (!isOld(connection)) {
        oldConnections_.push_back(connection);
    }
    multiplexer_->interrupt();
}

bool ConnectionHandler::modifyEvents(Connection* connection, uint32_t events) {
    return multiplexer_->modifyConnection(connection, events);
}

void ConnectionHandler::postAsyncEvent(Connection* connection) {
    AP_LOG(Debug, "async event", connection != nullptr ? connection->tag() : std::string());
    {
        std::lock_guard<std::mutex> lock(asyncMutex_);
        asyncEvents_.push_back(connection);
    }
    multiplexer_->interrupt();
}

uint64_t ConnectionHandler::connectionCount() const {
    return adoptedCount_.load() + newCount_.load();
}

void ConnectionHandler::shutdown() {
    stop_.store(true);
    multiplexer_->interrupt();
}

void ConnectionHandler::run() {
    AP_LOG(Info, "ConnectionHandler starting up", "handler", this);
    while (!stop_.load()) {
        processEvents();
        handleAsyncEvents();
        deleteOldConnections();
        adoptNewConnections();
    }
    AP_LOG(Info, "ConnectionHandler shutting down", "handler", this);
}

void ConnectionHandler::processEvents() {
    for (;;) {
        const MultiplexerEvent event = multiplexer_->nextEvent();
        Connection* connection = event.first;
        if (connection == nullptr) {
            AP_LOG(Debug, "ConnectionHandler interrupted", "handler", this);
            return;
        }
        const uint32_t flags = event.second;
        // A connection that one handling disconnected has a closed descriptor whose number may
        // already belong to another socket: the later handlings of this event must not touch it.
        if ((flags & EVENT_OUTPUT) != 0) {
            handleOutput(connection);
        }
        bool drained = true;
        if ((flags & EVENT_INPUT) != 0 && !connection->disconnected()) {
            const bool readable = !connection->closing() && !connection->inputPaused();
            const ReadResult result = handleInput(connection);
            drained = !(readable && result == ReadResult::Done);
        }
        // A hang-up often comes with the last bytes the remote side sent. Closing now would drop
        // what one read could not take; while reads still bring data, the hang-up waits and the
        // read that finds the end closes the pair.
        if ((flags & EVENT_HANGUP) != 0 && drained && !connection->disconnected()) {
            handleHangup(connection);
        }
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
            connection->disconnectPair();
            break;
        case ReadResult::Paused:
            // No input until the answer's async event runs the read path again; queued output
            // keeps flowing meanwhile.
            if (!connection->inputPaused()) {
                connection->setInputPaused(true);
                multiplexer_->modifyConnection(connection, connection->wantedEvents());
            }
            return result;
        case ReadResult::Done:
        case ReadResult::WouldBlock:
            break;
    }
    // The read path has finished with the answer it waited for: the client's further input has
    // to be read again.
    if (connection->inputPaused()) {
        connection->setInputPaused(false);
        if (!connection->disconnected()) {
            multiplexer_->modifyConnection(connection, connection->wantedEvents());
        }
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

void ConnectionHandler::handleAsyncEvents() {
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
    std::vector<Connection*> unregistered;
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
            if (!multiplexer_->addConnection(connection, EVENTS_DEFAULT)) {
                unregistered.push_back(connection);
            }
            newConnections_.pop_back();
            newCount_.store(newConnections_.size());
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
