#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "access/QueryCallback.h"
#include "connection/CannedResponses.h"
#include "connection/IdentityHeader.h"
#include "connection/IncomingConnection.h"
#include "connection/OpenWebSocketRegistry.h"
#include "connection/ReceiveArea.h"
#include "parser/HttpParser.h"
#include "parser/UriParser.h"
#include "parser/WebSocketParser.h"
#include "utils/BuildConfig.h"
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

// Messages (a request head, a WebSocket frame) are limited to this many bytes.
constexpr uint32_t RECEIVE_SIZE = static_cast<uint32_t>(config::BUFFER_SIZE);
static_assert(ReceiveArea::SIZE >= RECEIVE_SIZE);
constexpr const char* PROTOCOL = "Pelo";
// The JSON text of an error frame is cut to fit this buffer.
constexpr size_t ERROR_TEXT_SIZE = 512;

// The text as a JSON string's contents: the event comes from the client, and must not end the
// string or inject members.
std::string jsonEscaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(c));
                    out += escape;
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::string errorText(int code, const std::string& event, const std::string& message) {
    char text[ERROR_TEXT_SIZE];
    const int written = std::snprintf(
        text, sizeof(text), "{\"type\":\"error\",\"code\":%d,\"event\":\"%s\",\"message\": \"%s\"}",
        code, jsonEscaped(event).c_str(), jsonEscaped(message).c_str());
    if (written < 0) {
        return {};
    }
    // A cut text ends before the terminating zero that snprintf put in the last byte.
    return std::string(text, std::min<size_t>(static_cast<size_t>(written), sizeof(text) - 1));
}

bool isAnswerState(IncomingConnection::ReadState state) {
    return state == IncomingConnection::ReadState::action_query_answer ||
           state == IncomingConnection::ReadState::service_offering_query_answer;
}

}  // namespace

ReadResult IncomingConnection::conRead() {
    assert(onHandlerThread());
    if (state_ != State::Open) {
        // A closing connection has no peer left to forward to. A disconnected one has no socket:
        // its descriptor number may already belong to another connection.
        readState_ = ReadState::read_start;
        return ReadResult::Done;
    }
    area_ = ReceiveArea::data();
    if (isAnswerState(readState_)) {
        restoreHeld();
    }
    const ReadResult result = runReadStates();
    if (result == ReadResult::Paused) {
        stashHeld();
    }
    return result;
}

ReadResult IncomingConnection::runReadStates() {
    for (;;) {
        Step step;
        switch (readState_) {
            case ReadState::read_start:
                step = readStart();
                break;
            case ReadState::parse_data:
                step = parseData();
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

void IncomingConnection::stashHeld() {
    const uint32_t offset = static_cast<uint32_t>(parseOffset_);
    parseBuffer_.assign(area_ + offset, bufferFill_ - offset);
}

void IncomingConnection::restoreHeld() {
    // The parse results are relative to the message start, which is where the copy begins.
    std::memcpy(area_, parseBuffer_.data(), parseBuffer_.size());
    bufferFill_ = static_cast<uint32_t>(parseBuffer_.size());
    parseOffset_ = 0;
    parseBuffer_.clear();
}

IncomingConnection::Step IncomingConnection::readStart() {
    AP_LOG(Verbose, "conRead() read_start", tag_);
    uint32_t carried = 0;
    bool receive = true;
    if (!parseBuffer_.empty()) {
        // A full buffer leaves no room to receive, and a receive of 0 bytes would read as a
        // closure by the client.
        if (parseBuffer_.size() >= RECEIVE_SIZE) {
            AP_LOG(Error, "parse_buffer greater than receive buffer", tag_);
            return ReadResult::Failed;
        }
        carried = static_cast<uint32_t>(parseBuffer_.size());
        std::memcpy(area_, parseBuffer_.data(), carried);
        parseBuffer_.clear();
        // Bytes held back unparsed are handled before anything new is read.
        receive = !std::exchange(heldUnparsed_, false);
    }

    bytesRead_ = 0;
    if (receive) {
        if (!readable()) {
            // Input is held (the handler ran this for another reason): keep what there is.
            parseBuffer_.assign(area_, carried);
            return ReadResult::Done;
        }
        // A body passed through by count needs no message limit.
        const bool passing = mode_ == StreamMode::RequestBody || mode_ == StreamMode::RefusedBody ||
                             mode_ == StreamMode::FramePayload ||
                             mode_ == StreamMode::RefusedPayload;
        const uint32_t room =
            (passing ? static_cast<uint32_t>(ReceiveArea::SIZE) : RECEIVE_SIZE) - carried;
        bytesRead_ = rawReceive(area_ + carried, room);
        if (bytesRead_ < 0) {
            const int error = errno;
            if (!wouldBlock(error)) {
                AP_LOG(Error, "Read error", tag_, "errno", error, "description", strerror(error));
                clearWriteQueue();
                return ReadResult::Failed;
            }
            AP_LOG(Debug, "Read would block", tag_);
            if (carried != 0) {
                parseBuffer_.assign(area_, carried);
            }
            return ReadResult::WouldBlock;
        }
        if (bytesRead_ == 0) {
            AP_LOG(Info, "Connection closed by remote (read 0)", tag_);
            // A client that ended its side of a WebSocket is done with it, whatever the server
            // still sends: the application may open its next one.
            leaveRegistry();
            if (carried != 0) {
                AP_LOG(Debug, "Incomplete message dropped at the end of the client's stream", tag_,
                       "bytes", carried);
            }
            return ReadResult::Closed;
        }
        if (bytesRead_ > static_cast<int64_t>(room)) {
            // A transport that reports more than it was given room for; none of its bytes can be
            // trusted to lie inside the buffer.
            AP_LOG(Error, "Read error", tag_, "bytes", bytesRead_);
            clearWriteQueue();
            return ReadResult::Failed;
        }
        AP_LOG(Debug, "Bytes read", bytesRead_, tag_);
    }

    bufferFill_ = carried + static_cast<uint32_t>(bytesRead_);
    parseResult_.overhead = bufferFill_;
    parseOffset_ = 0;

    readState_ = ReadState::parse_data;
    return std::nullopt;
}

IncomingConnection::Step IncomingConnection::passBody(bool forward) {
    const uint32_t offset = static_cast<uint32_t>(parseOffset_);
    const uint32_t available = bufferFill_ - offset;
    uint32_t taken = 0;
    bool done = false;
    if (bodyChunked_) {
        size_t consumed = 0;
        const auto result = parseResult_.chunkedBody.feed(
            reinterpret_cast<const uint8_t*>(area_ + offset), available, consumed);
        if (result == parser::ChunkedBody::Result::Invalid) {
            // Part of the request may have gone out already: nobody knows where the next one
            // starts, so the pair ends.
            AP_LOG(Error, "Invalid chunked body, closing", tag_);
            return ReadResult::Failed;
        }
        taken = static_cast<uint32_t>(consumed);
        done = result == parser::ChunkedBody::Result::Done;
    } else {
        taken = static_cast<uint32_t>(std::min<uint64_t>(bodyRemaining_, available));
        bodyRemaining_ -= taken;
        done = bodyRemaining_ == 0;
    }
    if (forward) {
        AP_LOG(Debug, "Passing the rest of the message through", tag_, "bytes", taken);
        if (taken != 0 && (peer_ == nullptr || peer_->conWrite(area_ + offset, taken) < 0)) {
            AP_LOG(Error, "Failed to forward data, closing", tag_);
            return ReadResult::ForwardFailed;
        }
    } else {
        AP_LOG(Debug, "Dropping the rest of a refused message", tag_, "bytes", taken);
    }
    parseResult_.overhead = available - taken;
    if (done) {
        mode_ = messageMode();
        if (taken == 0) {
            // The body had ended with the bytes before: all of these are the next message's.
            readState_ = ReadState::parse_data;
            return std::nullopt;
        }
    }
    return continueParsing(Debug);
}

void IncomingConnection::keepRest(bool parsed) {
    const uint32_t offset = static_cast<uint32_t>(parseOffset_);
    parseBuffer_.assign(area_ + offset, bufferFill_ - offset);
    heldUnparsed_ = !parsed && !parseBuffer_.empty();
}

IncomingConnection::Step IncomingConnection::parseData() {
    AP_LOG(Verbose, "conRead() parse_data", tag_);
    switch (mode_) {
        case StreamMode::AwaitingUpgrade:
            // Nothing after an upgrade request is parsed before the server has answered it: the
            // bytes are WebSocket frames or HTTP requests depending on that answer.
            keepRest(false);
            readState_ = ReadState::message_done;
            return std::nullopt;
        case StreamMode::RequestBody:
        case StreamMode::FramePayload:
            return passBody(true);
        case StreamMode::RefusedBody:
        case StreamMode::RefusedPayload:
            return passBody(false);
        case StreamMode::Requests:
        case StreamMode::Frames:
            break;
    }
    const uint8_t* data = reinterpret_cast<const uint8_t*>(area_) + parseOffset_;
    const uint32_t length = bufferFill_ - static_cast<uint32_t>(parseOffset_);
    if (!websocket_) {
        AP_LOG(Verbose, "HTTP-Parsing", tag_);
        parser::parseHttpRequest(parseResult_, data, length);
        readState_ = ReadState::parser_status_check;
        return std::nullopt;
    }
    AP_LOG(Verbose, "WebSocket-Parsing", tag_);
    parser::parseWebSocketFrame(parseResult_, data, length);
    readState_ = ReadState::parser_status_check;
    return std::nullopt;
}

IncomingConnection::Step IncomingConnection::parserStatusCheck() {
    AP_LOG(Verbose, "conRead() parser_status_check", tag_);
    const bool http = !websocket_;
    if (http && parseResult_.status != ParseStatus::Incomplete &&
        deadlineHook_.kind == io::DeadlineKind::RequestHead) {
        // The head is all there (whatever it holds): its deadline is met.
        clearDeadline();
    }
    switch (parseResult_.status) {
        case ParseStatus::Incomplete:
        case ParseStatus::FrameIncomplete: {
            AP_LOG(Debug, "Incomplete http/websocket message", tag_);
            // Everything from the message's start is kept, whatever the parser counted.
            const uint32_t kept = bufferFill_ - static_cast<uint32_t>(parseOffset_);
            keepRest(true);
            AP_LOG(Verbose, "m_parse_buffer", tag_, "m_diff", parseOffset_, "overhead",
                   parseResult_.overhead);
            if (kept >= RECEIVE_SIZE) {
                // The message fills the buffer and still is not complete: it can never be.
                AP_LOG(Error, "Message does not fit the receive buffer, closing", tag_);
                parseBuffer_.clear();
                return ReadResult::Failed;
            }
            if (http && deadlineHook_.kind == io::DeadlineKind::None) {
                // A head has started: it must be complete in bounded time, however slowly its
                // bytes come.
                setDeadline(io::DeadlineKind::RequestHead);
            }
            readState_ = ReadState::message_done;
            return std::nullopt;
        }
        case ParseStatus::Invalid:
        case ParseStatus::NoMethod: {
            AP_LOG(Error, "Invalid or no http/websocket message", tag_);
            if (http && parseResult_.framingError) {
                // Where this request ends cannot be known for sure, so neither can where the next
                // one starts: the server might see a request that was never checked.
                AP_LOG(Error, "Request framing refused, closing", tag_);
                return ReadResult::Failed;
            }
            if (parseResult_.compressed) {
                return ReadResult::Failed;
            }
            // The request is dropped, and so is the rest of its body.
            dropRestOfMessage();
            return continueParsing(Verbose);
        }
        case ParseStatus::MessageRejected:
            AP_LOG(Error, "Incorrect websocket message", tag_, parseResult_.errorMessage);
            if (sendErrorFrame("", 400, parseResult_.errorMessage, true) < 0) {
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
                readState_ = ReadState::message_done;
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
        if (websocket_ && parseResult_.compressed) {
            // The proxy has inflated this message, the server never sees it: their compression
            // histories part, and a later message could then read differently at the server than
            // it was checked here.
            return ReadResult::Failed;
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

int IncomingConnection::answer(const char* data, size_t length, bool keepOrder) {
    // An answer that the connection goes on after must not cut into the server's current
    // response or message, nor overtake responses to requests sent before: it waits for its turn.
    if (keepOrder && peer_ != nullptr && peer_->queueAnswer(data, length)) {
        return 0;
    }
    const int result = conWrite(data, length);
    // A client that sends refused requests without reading the answers would otherwise make
    // them pile up here without bound.
    if (result >= 0 && queuedBytes() > config::WRITE_QUEUE_HIGH_MARK) {
        holdInput(HoldOwnQueue);
    }
    return result;
}

bool IncomingConnection::answerRefusal(int code, const char* text, std::string_view response) {
    int result;
    if (websocket_) {
        parseResult_.fragmentBuffer.clear();
        // On a compressed connection a refusal ends the pair: nothing of it waits.
        result = sendErrorFrame(parseResult_.uri, code, text, !parseResult_.compressed);
    } else {
        result = answer(response.data(), response.size(), true);
    }
    return result >= 0;
}

bool IncomingConnection::messageContinues() const {
    // A refused request of an unsupported version still has its extent reported.
    return parseResult_.status == ParseStatus::BodyIncomplete ||
           (parseResult_.status == ParseStatus::Invalid && !parseResult_.framingError &&
            (parseResult_.missingBytes != 0 ||
             (parseResult_.chunked && parseResult_.overhead == 0)));
}

void IncomingConnection::dropRestOfMessage() {
    if (!messageContinues()) {
        return;
    }
    // The refused message's remaining bytes are dropped as they arrive, so that its body is
    // never parsed as messages of its own.
    bodyChunked_ = !websocket_ && parseResult_.chunked;
    bodyRemaining_ = parseResult_.missingBytes;
    mode_ = websocket_ ? StreamMode::RefusedPayload : StreamMode::RefusedBody;
    parseResult_.missingBytes = 0;
    parseResult_.status = ParseStatus::Complete;
}

void IncomingConnection::passRestOfMessage() {
    bodyChunked_ = !websocket_ && parseResult_.chunked;
    bodyRemaining_ = parseResult_.missingBytes;
    mode_ = websocket_ ? StreamMode::FramePayload : StreamMode::RequestBody;
}

void IncomingConnection::awaitUpgradeAnswer() {
    AP_LOG(Debug, "Upgrade request forwarded, holding the client until the server answers", tag_);
    mode_ = StreamMode::AwaitingUpgrade;
    holdInput(HoldUpgrade);
}

IncomingConnection::Step IncomingConnection::forwardMessage() {
    AP_LOG(Debug, "conRead() forward_message", tag_);
    // An upgrade request with a body is forwarded as a plain request: the hand-over to WebSocket
    // would have to wait for the body, and no client sends one.
    const bool upgradeRequest = parseResult_.upgradeRequested && !websocket_ &&
                                parseResult_.status == ParseStatus::Complete;
    if (upgradeRequest) {
        if (Step refused = upgrade(); refused.has_value()) {
            return refused;
        }
    }

    std::string_view message(area_ + parseOffset_, messageLength());
    std::string rebuilt;
    if (!websocket_) {
        const bool stripClaims = parseResult_.claimsIdentity;
        if (addHeader_ || stripClaims) {
            std::string value;
            if (addHeader_) {
                AP_LOG(Debug, "Add TLS hint/FQN to forwarded message", tag_);
                addHeader_ = false;
                value = headerValue();
                if (unsafeHeaderValue(value)) {
                    AP_LOG(Error, "Identity holds a line break, closing", tag_);
                    return ReadResult::Failed;
                }
            }
            if (stripClaims) {
                AP_LOG(Warning, "Client sent its own identity header, removed", tag_);
            }
            rebuilt = rewriteHead(message, stripClaims, value.empty() ? nullptr : &value);
            message = rebuilt;
        }
    } else if (parseResult_.status == ParseStatus::FragmentedMessageComplete) {
        // One frame for the whole message, masked as the client masked it and compressed when it
        // was: the server gets exactly the client's data.
        const std::string& collected = parseResult_.fragmentBuffer;
        rebuilt = parser::buildWebSocketFrame(reinterpret_cast<const uint8_t*>(collected.data()),
                                              collected.size(), parser::FrameKind::FinalText,
                                              parseResult_.masked, parseResult_.maskingKey,
                                              parseResult_.fragmentCompressed);
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
    if (!websocket_) {
        // Held before the outgoing side hears of the request: it may answer at once.
        if (upgradeRequest) {
            awaitUpgradeAnswer();
        }
        peer_->requestForwarded(upgradeRequest                  ? RequestKind::Upgrade
                                : parseResult_.method == "HEAD" ? RequestKind::Head
                                                                : RequestKind::Plain);
    }
    if (parseResult_.status == ParseStatus::BodyIncomplete) {
        passRestOfMessage();
        parseResult_.status = ParseStatus::Complete;
    }
    return continueParsing(Debug);
}

IncomingConnection::Step IncomingConnection::upgrade() {
    if (registered_ && !inRegistry_) {
        AP_LOG(Debug, "Checking if websocket is already open", tag_);
        if (!OpenWebSocketRegistry::instance().insert(domain_, address_, port_)) {
            AP_LOG(Warning,
                   "Websocket with this domain and IP/Port is already open. "
                   "Returning HTTP 409",
                   tag_);
            return answer(canned::CONFLICT.data(), canned::CONFLICT.size(), false) < 0
                       ? ReadResult::ForwardFailed
                       : ReadResult::Failed;
        }
        inRegistry_ = true;
    }
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
                                       const std::string& message, bool keepOrder) {
    const std::string text = errorText(code, event, message);
    const std::string frame =
        parser::buildWebSocketFrame(reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                                    parser::FrameKind::FinalText, false, 0, false);
    return answer(frame.data(), frame.size(), keepOrder);
}

}  // namespace connection
