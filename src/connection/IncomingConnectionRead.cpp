#include "connection/IncomingConnection.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "access/QueryCallback.h"
#include "connection/CannedResponses.h"
#include "connection/IdentityHeader.h"
#include "connection/OpenWebSocketRegistry.h"
#include "parser/HttpParser.h"
#include "parser/UriParser.h"
#include "utils/logging/Logger.h"

// The gatekeeping read path of an incoming connection: one receive, then message by message parse,
// check with the capability cache, and forward, answer or close.

namespace connection {

using capability_query_if::QueryAction;
using capability_query_if::QueryAnswer;
using capability_query_if::QueryService;
using parser::ParseStatus;
using utils::logging::Debug;
using utils::logging::Error;
using utils::logging::Info;
using utils::logging::LogLevel;
using utils::logging::Verbose;
using utils::logging::Warning;

namespace {

constexpr uint32_t RECEIVE_SIZE = static_cast<uint32_t>(config::BUFFER_SIZE);
constexpr const char* PROTOCOL = "Pelo";
// The JSON text of an error frame is cut to fit this buffer.
constexpr size_t ERROR_TEXT_SIZE = 512;

// One final text frame carrying the whole payload; masked unless maskingKey is 0. The key's most
// significant byte is the first key byte on the wire.
std::string finalTextFrame(std::string_view payload, uint32_t maskingKey) {
    std::string frame;
    frame.reserve(payload.size() + 14);
    frame.push_back(static_cast<char>(0x81));
    const uint8_t maskBit = maskingKey != 0 ? 0x80 : 0x00;
    const uint64_t length = payload.size();
    if (length <= 125) {
        frame.push_back(static_cast<char>(maskBit | length));
    } else if (length <= 0xffff) {
        frame.push_back(static_cast<char>(maskBit | 126));
        for (int shift = 8; shift >= 0; shift -= 8) {
            frame.push_back(static_cast<char>((length >> shift) & 0xff));
        }
    } else {
        frame.push_back(static_cast<char>(maskBit | 127));
        for (int shift = 56; shift >= 0; shift -= 8) {
            frame.push_back(static_cast<char>((length >> shift) & 0xff));
        }
    }
    if (maskingKey == 0) {
        frame.append(payload);
        return frame;
    }
    char key[4];
    for (int k = 0; k < 4; ++k) {
        key[k] = static_cast<char>((maskingKey >> (24 - 8 * k)) & 0xff);
    }
    frame.append(key, sizeof(key));
    for (size_t j = 0; j < payload.size(); ++j) {
        frame.push_back(static_cast<char>(payload[j] ^ key[j % 4]));
    }
    return frame;
}

std::string errorText(int code, const std::string& event, const std::string& message) {
    char text[ERROR_TEXT_SIZE];
    const int written = std::snprintf(
        text, sizeof(text), "{\"type\":\"error\",\"code\":%d,\"event\":\"%s\",\"message\": \"%s\"}",
        code, event.c_str(), message.c_str());
    if (written < 0) {
        return {};
    }
    // A cut text ends before the terminating zero that snprintf put in the last byte.
    return std::string(text, std::min<size_t>(static_cast<size_t>(written), sizeof(text) - 1));
}

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

}  // namespace

ReadResult IncomingConnection::conRead() {
    if (closing_ || disconnected_) {
        // A closing connection has no peer left to forward to. A disconnected one has no socket:
        // its descriptor number may already belong to another connection.
        readState_ = ReadState::read_start;
        return ReadResult::Done;
    }
    for (;;) {
        Step step;
        switch (readState_) {
            case ReadState::read_start:
                step = readStart();
                break;
            case ReadState::parse_data:
                parseData();
                break;
            case ReadState::parser_status_check:
                step = parserStatusCheck();
                break;
            case ReadState::action_query_answer:
                AP_LOG(Verbose, "Checking for action query answer", tag_, domain_, service_,
                       resource_, parseResult_.method);
                step = actionAnswer(accessQueries_->queryAction(nullptr, queryCallback_), false);
                break;
            case ReadState::service_offering_query:
                step = serviceOfferingQuery();
                break;
            case ReadState::service_offering_query_answer:
                AP_LOG(Verbose, "Checking for service offering query answer", tag_, address_, port_,
                       service_);
                step = serviceAnswer(accessQueries_->queryService(nullptr, queryCallback_));
                break;
            case ReadState::forward_message:
                step = forwardMessage();
                break;
            case ReadState::message_done:
                readState_ = ReadState::read_start;
                return ReadResult::Done;
        }
        if (step.has_value()) {
            // Only a wait for an answer resumes mid-message; after anything else the next call
            // starts with a receive.
            if (*step != ReadResult::Paused) {
                readState_ = ReadState::read_start;
            }
            return *step;
        }
    }
}

IncomingConnection::Step IncomingConnection::readStart() {
    AP_LOG(Verbose, "conRead() read_start", tag_);
    uint32_t carried = 0;
    if (!parseBuffer_.empty()) {
        // A full buffer leaves no room to receive, and a receive of 0 bytes would read as a closure
        // by the client.
        if (parseBuffer_.size() >= RECEIVE_SIZE) {
            AP_LOG(Error, "parse_buffer greater than receive buffer", tag_);
            return ReadResult::Failed;
        }
        carried = static_cast<uint32_t>(parseBuffer_.size());
        std::memcpy(receiveBuffer_.data(), parseBuffer_.data(), carried);
        parseBuffer_.clear();
    }

    bytesRead_ = rawReceive(receiveBuffer_.data() + carried, RECEIVE_SIZE - carried);
    if (bytesRead_ < 0) {
        const int error = errno;
        if (!wouldBlock(error)) {
            AP_LOG(Error, "Read error", tag_, "errno", error, "description", strerror(error));
            clearWriteQueue();
            return ReadResult::Failed;
        }
        AP_LOG(Debug, "Read would block", tag_);
        if (carried != 0) {
            parseBuffer_.assign(receiveBuffer_.data(), carried);
        }
        return ReadResult::WouldBlock;
    }
    if (bytesRead_ == 0) {
        AP_LOG(Info, "Connection closed by remote (read 0)", tag_);
        return ReadResult::Closed;
    }
    if (bytesRead_ > static_cast<int64_t>(RECEIVE_SIZE - carried)) {
        // A transport that reports more than it was given room for; none of its bytes can be
        // trusted to lie inside the buffer.
        AP_LOG(Error, "Read error", tag_, "bytes", bytesRead_);
        clearWriteQueue();
        return ReadResult::Failed;
    }
    AP_LOG(Debug, "Bytes read", bytesRead_, tag_);

    bufferFill_ = carried + static_cast<uint32_t>(bytesRead_);
    parseResult_.overhead = bufferFill_;
    parseOffset_ = 0;

    if (discardBytes_ != 0) {
        const uint32_t dropped =
            static_cast<uint32_t>(std::min<uint64_t>(discardBytes_, bufferFill_));
        AP_LOG(Debug, "Dropping the body of a refused request", tag_, "bytes", dropped);
        discardBytes_ -= dropped;
        parseResult_.overhead -= dropped;
        return continueParsing(Debug);
    }
    if (parseResult_.status == ParseStatus::BodyIncomplete && parseResult_.missingBytes != 0) {
        // The rest of an allowed message: passed through without parsing or checking.
        if (parseResult_.overhead < parseResult_.missingBytes) {
            parseResult_.missingBytes -= parseResult_.overhead;
            parseResult_.overhead = 0;
        } else {
            parseResult_.overhead -= static_cast<uint32_t>(parseResult_.missingBytes);
            parseResult_.missingBytes = 0;
            parseResult_.status = ParseStatus::Complete;
        }
        readState_ = ReadState::forward_message;
        return std::nullopt;
    }
    readState_ = ReadState::parse_data;
    return std::nullopt;
}

void IncomingConnection::parseData() {
    AP_LOG(Verbose, "conRead() parse_data", tag_);
    const uint8_t* data = reinterpret_cast<const uint8_t*>(receiveBuffer_.data()) + parseOffset_;
    const uint32_t length = bufferFill_ - static_cast<uint32_t>(parseOffset_);
    if (!websocket_) {
        AP_LOG(Verbose, "HTTP-Parsing", tag_);
        parser::parseHttpRequest(parseResult_, data, length);
        readState_ = ReadState::parser_status_check;
        return;
    }
    AP_LOG(Verbose, "WebSocket-Parsing", tag_);
    // Frames are not examined yet: everything after the upgrade is forwarded as it came.
    parseResult_.overhead = 0;
    readState_ = ReadState::forward_message;
}

IncomingConnection::Step IncomingConnection::parserStatusCheck() {
    AP_LOG(Verbose, "conRead() parser_status_check", tag_);
    switch (parseResult_.status) {
        case ParseStatus::Incomplete:
        case ParseStatus::FrameIncomplete: {
            AP_LOG(Debug, "Incomplete http/websocket message", tag_);
            // Everything from the message's start is kept, whatever the parser counted.
            const uint32_t kept = bufferFill_ - static_cast<uint32_t>(parseOffset_);
            parseBuffer_.assign(receiveBuffer_.data() + parseOffset_, kept);
            AP_LOG(Verbose, "m_parse_buffer", tag_, "m_diff", parseOffset_, "overhead",
                   parseResult_.overhead);
            if (kept >= RECEIVE_SIZE) {
                // The message fills the buffer and still is not complete: it can never be.
                AP_LOG(Error, "Message does not fit the receive buffer, closing", tag_);
                parseBuffer_.clear();
                return ReadResult::Failed;
            }
            readState_ = ReadState::message_done;
            return std::nullopt;
        }
        case ParseStatus::Invalid:
        case ParseStatus::NoMethod: {
            AP_LOG(Error, "Invalid or no http/websocket message", tag_);
            const Step next = continueParsing(Verbose);
            if (parseResult_.compressed) {
                return ReadResult::Failed;
            }
            return next;
        }
        case ParseStatus::MessageRejected:
            AP_LOG(Error, "Incorrect websocket message", tag_, parseResult_.errorMessage);
            if (sendErrorFrame("", 400, parseResult_.errorMessage) < 0) {
                return ReadResult::ForwardFailed;
            }
            return continueParsing(Verbose);
        case ParseStatus::ProtocolError:
            AP_LOG(Error, "Websocket error, closing", "fd", tag_, "message",
                   parseResult_.errorMessage);
            return sendErrorFrame("", 400, parseResult_.errorMessage) < 0
                       ? ReadResult::ForwardFailed
                       : ReadResult::Failed;
        case ParseStatus::FragmentStored:
            AP_LOG(Debug, "Websocket fragmentation ongoing", tag_);
            if (parseResult_.overhead == 0) {
                readState_ = ReadState::read_start;
                return std::nullopt;
            }
            return continueParsing(Verbose);
        case ParseStatus::ControlFrame:
            AP_LOG(Debug, "Websocket control frame", tag_);
            readState_ = ReadState::forward_message;
            return std::nullopt;
        case ParseStatus::Complete:
        case ParseStatus::FragmentedMessageComplete:
        case ParseStatus::BodyIncomplete:
            return gatekeep();
    }
    AP_LOG(Error, "Invalid or no http/websocket message", tag_, "status",
           static_cast<uint32_t>(parseResult_.status));
    return ReadResult::Failed;
}

IncomingConnection::Step IncomingConnection::gatekeep() {
    AP_LOG(Debug, "Parsing result", tag_, parseResult_.method, parseResult_.uri);
    if (parseResult_.status == ParseStatus::BodyIncomplete) {
        AP_LOG(Debug, "Incomplete http/websocket message, but URL found.", tag_, "missing bytes",
               parseResult_.missingBytes);
    }
    if (parseResult_.uri == "/" && parseResult_.method == "GET") {
        AP_LOG(Debug, "Passing through request to GET /", tag_);
        readState_ = ReadState::forward_message;
        return std::nullopt;
    }
    if (!parser::parseUri(parseResult_.uri, service_, resource_)) {
        if (!answerRefusal(400, "Bad Request", canned::BAD_REQUEST)) {
            return ReadResult::ForwardFailed;
        }
        dropRestOfMessage();
        return continueParsing(Debug);
    }
    AP_LOG(Verbose, "Querying capability cache cache for action", tag_, domain_, service_,
           resource_, parseResult_.method);
    // Set before asking: the answer may arrive on the library's thread before the call returns.
    queryCallback_.setWaiting(true);
    return actionAnswer(
        accessQueries_->queryAction(std::make_shared<QueryAction>(domain_, PROTOCOL, service_,
                                                                  resource_, parseResult_.method),
                                    queryCallback_),
        true);
}

IncomingConnection::Step IncomingConnection::actionAnswer(const QueryAnswer& answer, bool first) {
    if (!answer.available) {
        return answerUnavailable(answer, ReadState::action_query_answer,
                                 "Awaiting action query answer");
    }
    queryCallback_.setWaiting(false);
    AP_LOG(Debug, "Action query answer available", tag_);
    if (answer.status == QueryAnswer::STATUS_DENIED) {
        AP_LOG(Warning,
               first ? "Action not allowed, returning 403 and closing"
                     : "Action not allowed, returning 403",
               tag_, "domain", domain_, "service", service_, "resource", resource_, "method",
               parseResult_.method);
        return refuseForbidden();
    }
    AP_LOG(Debug, "Action allowed", tag_);
    readState_ = offeringCheck_ ? ReadState::service_offering_query : ReadState::forward_message;
    return std::nullopt;
}

IncomingConnection::Step IncomingConnection::serviceOfferingQuery() {
    AP_LOG(Verbose, "Querying capability cache cache for service offering", tag_, address_, port_,
           service_);
    queryCallback_.setWaiting(true);
    return serviceAnswer(accessQueries_->queryService(
        std::make_shared<QueryService>(address_, PROTOCOL, service_, port_), queryCallback_));
}

IncomingConnection::Step IncomingConnection::serviceAnswer(const QueryAnswer& answer) {
    if (!answer.available) {
        return answerUnavailable(answer, ReadState::service_offering_query_answer,
                                 "Awaiting service offering query answer");
    }
    queryCallback_.setWaiting(false);
    AP_LOG(Debug, "Service offering query answer available", tag_);
    if (answer.status == QueryAnswer::STATUS_DENIED) {
        AP_LOG(Warning, "Service offering not allowed, return 403", tag_, "ip", address_, "port",
               port_, "service", service_);
        return refuseForbidden();
    }
    AP_LOG(Debug, "Service offering allowed", tag_);
    readState_ = ReadState::forward_message;
    return std::nullopt;
}

// A pending answer pauses the read in `waiting` until the answer's async event; any other
// unavailable answer means the query failed, which closes the pair.
IncomingConnection::Step IncomingConnection::answerUnavailable(const QueryAnswer& answer,
                                                               ReadState waiting,
                                                               const char* awaiting) {
    if (answer.status == QueryAnswer::STATUS_PENDING) {
        AP_LOG(Verbose, awaiting, tag_);
        readState_ = waiting;
        return ReadResult::Paused;
    }
    queryCallback_.setWaiting(false);
    const uint8_t status = answer.status;
    if (status == QueryAnswer::STATUS_CONNECTION_FAILED) {
        AP_LOG(Error, "connection to capability cache failed. closing connections", tag_);
    } else {
        AP_LOG(Error, "invalid query to capability cache. closing connections", tag_, "result",
               static_cast<uint32_t>(status));
    }
    return ReadResult::Failed;
}

IncomingConnection::Step IncomingConnection::refuseForbidden() {
    if (!answerRefusal(403, "Forbidden", canned::FORBIDDEN)) {
        return ReadResult::ForwardFailed;
    }
    if (websocket_ && parseResult_.compressed) {
        return ReadResult::Failed;
    }
    dropRestOfMessage();
    return continueParsing(Debug);
}

bool IncomingConnection::answerRefusal(int code, const char* text, std::string_view response) {
    int result;
    if (websocket_) {
        parseResult_.fragmentBuffer.clear();
        result = sendErrorFrame(parseResult_.uri, code, text);
    } else {
        result = conWrite(response.data(), response.size());
    }
    return result >= 0;
}

void IncomingConnection::dropRestOfMessage() {
    if (parseResult_.status == ParseStatus::BodyIncomplete) {
        // The refused message's remaining bytes are dropped as they arrive, so that its body is
        // never parsed as requests of its own.
        discardBytes_ = parseResult_.missingBytes;
        parseResult_.missingBytes = 0;
        parseResult_.status = ParseStatus::Complete;
    }
}

IncomingConnection::Step IncomingConnection::forwardMessage() {
    AP_LOG(Debug, "conRead() forward_message", tag_);
    if (parseResult_.upgradeRequested) {
        // The rest of this request may still be passed through by later reads; the upgrade belongs
        // to the request once.
        parseResult_.upgradeRequested = false;
        if (Step refused = upgrade(); refused.has_value()) {
            return refused;
        }
    }

    std::string_view message(receiveBuffer_.data() + parseOffset_, messageLength());
    std::string rebuilt;
    if (addHeader_) {
        AP_LOG(Debug, "Add TLS hint/FQN to forwarded message", tag_);
        addHeader_ = false;
        rebuilt = insertIdentityHeader(message, parseResult_.bodyStart, headerValue());
        message = rebuilt;
    } else if (parseResult_.status == ParseStatus::FragmentedMessageComplete) {
        rebuilt = finalTextFrame(parseResult_.fragmentBuffer, parseResult_.maskingKey);
        message = rebuilt;
        // The next fragmented message is collected from its own first fragment.
        parseResult_.fragmentBuffer.clear();
    }
    int written = -1;
    if (peer_ == nullptr) {
        AP_LOG(Error, "1.5.2 Hotfix condition, closing", tag_);
    } else {
        written = peer_->conWrite(message.data(), message.size());
    }
    if (written < 0) {
        AP_LOG(Error, "Failed to forward data, closing", tag_);
        return ReadResult::ForwardFailed;
    }
    return continueParsing(Debug);
}

IncomingConnection::Step IncomingConnection::upgrade() {
    if (registered_) {
        AP_LOG(Debug, "Checking if websocket is already open", tag_);
        if (!OpenWebSocketRegistry::instance().insert(domain_, address_, port_)) {
            AP_LOG(Warning,
                   "Websocket with this domain and IP/Port is already open. "
                   "Returning HTTP 409",
                   tag_);
            return conWrite(canned::CONFLICT.data(), canned::CONFLICT.size()) < 0
                       ? ReadResult::ForwardFailed
                       : ReadResult::Failed;
        }
    }
    AP_LOG(Info, "Upgrading to websocket", tag_);
    websocket_ = true;
    return std::nullopt;
}

IncomingConnection::Step IncomingConnection::continueParsing(LogLevel level) {
    const uint32_t overhead = parseResult_.overhead;
    if (overhead == 0) {
        AP_LOG(level, "No message overhead", tag_);
        readState_ = ReadState::message_done;
        return std::nullopt;
    }
    // The next message has to start after the current one, or parsing would never end.
    if (overhead >= bufferFill_ - static_cast<uint32_t>(parseOffset_)) {
        AP_LOG(Error, "Parser made no progress, closing", tag_, "overhead", overhead);
        return ReadResult::Failed;
    }
    AP_LOG(level, "Message overhead. Continue parsing", tag_);
    parseOffset_ = static_cast<int32_t>(bufferFill_ - overhead);
    readState_ = ReadState::parse_data;
    return std::nullopt;
}

uint32_t IncomingConnection::messageLength() const {
    const uint32_t remaining = bufferFill_ - static_cast<uint32_t>(parseOffset_);
    return parseResult_.overhead < remaining ? remaining - parseResult_.overhead : 0;
}

int IncomingConnection::sendErrorFrame(const std::string& event, int code,
                                       const std::string& message) {
    const std::string frame = finalTextFrame(errorText(code, event, message), 0);
    return conWrite(frame.data(), frame.size());
}

}  // namespace connection
