#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "access/QueryCallback.h"
#include "connection/AccessQueries.h"
#include "connection/Connection.h"
#include "parser/ParseResult.h"
#include "utils/logging/LogLevel.h"

namespace connection {

// The socket the proxy accepted from a client. Its read path is where requests are checked
// before they reach the peer: each message is parsed, its action (and, for connections made by
// the establisher's second constructor, the service offering) is put to the capability cache,
// and the message is forwarded, answered with a canned refusal, or the pair is closed. An
// upgrade to WebSocket is allowed once per (domain, address, port) at a time, and takes effect
// only when the server agrees.
//
// A capability cache answer may come later, on a library thread: conRead then returns Paused,
// keeps the message, and resumes where it stopped when the handler runs it again after the
// answer's async event.
class IncomingConnection : public Connection {
public:
    // The read path's states within one call; the value survives between calls, so a read that
    // stopped to wait for an answer resumes in the state it stopped in.
    enum class ReadState : uint32_t {
        read_start = 0,
        parse_data = 1,
        parser_status_check = 2,
        action_query_answer = 3,
        service_offering_query = 4,
        service_offering_query_answer = 5,
        forward_message = 6,
        message_done = 7,
    };

    // What the client's bytes are, across calls.
    enum class StreamMode : uint8_t {
        Requests,         // HTTP requests, parsed and checked one by one
        RequestBody,      // the rest of an allowed request's body, passed through unparsed
        RefusedBody,      // the rest of a refused request's body, dropped as it arrives
        AwaitingUpgrade,  // an upgrade request went out; the client waits for the server's answer
        Frames,           // WebSocket frames, parsed and checked one by one
        FramePayload,     // the rest of an allowed frame, passed through after an early look
        RefusedPayload,   // the rest of a refused frame, dropped as it arrives
    };

    // Whether the constructor sets the socket's options or the socket has them already (it was
    // accepted, non-blocking, from a listening socket that has them).
    enum class SocketOptions : uint8_t { Set, Inherited };

    // Sets no-delay, keep-alive and non-blocking on the socket unless it has them already; the
    // tag is the descriptor.
    IncomingConnection(int socket, const char* domain, SocketOptions options = SocketOptions::Set);
    // For the establisher, which has made the socket non-blocking itself and sets no other
    // option. An upgraded WebSocket of this connection is entered in the open WebSocket registry
    // under (domain, address, port), and service offerings are checked.
    IncomingConnection(int socket, std::string&& domain, const char* address, uint16_t port);
    ~IncomingConnection() override;

    ReadResult conRead() override;
    void disconnect() override;
    bool hasPendingQuery() const override;
    void cancelPendingQuery() override;
    void adopted() override;
    void deadlineExpired(io::DeadlineKind kind) override;
    bool hasBufferedInput() const override;
    void upgradeAnswered(bool switched) override;
    // The value of the identity header added to a forwarded request.
    virtual std::string headerValue();

    const std::string& domain() const { return domain_; }
    const std::string& address() const { return address_; }
    uint16_t port() const { return port_; }
    bool registered() const { return registered_; }
    bool offeringCheck() const { return offeringCheck_; }
    bool websocket() const { return websocket_; }
    bool addHeader() const { return addHeader_; }
    void setAddHeader(bool addHeader) { addHeader_ = addHeader; }
    ccc::QueryCallback& queryCallback() { return queryCallback_; }
    const parser::ParseResult& parseResult() const { return parseResult_; }
    // Where the read path asks its capability cache questions; the capability cache itself
    // unless replaced. The object must outlive the connection. Handler thread only.
    void setAccessQueries(AccessQueries& queries) { accessQueries_ = &queries; }

protected:
    // For transports that set up their socket later (TLS): socket -1, tag empty, not
    // registered.
    IncomingConnection(const char* domain, State state);

    // Removes the registry entry this connection holds, if any.
    void leaveRegistry();
    // The client's first request head is due: its deadline starts now.
    void expectFirstRequest();

    // Answers a WebSocket client with the error JSON in one final text frame; conWrite's result.
    // With keepOrder the frame waits for the end of the server's current message (the connection
    // goes on after it).
    int sendErrorFrame(const std::string& event, int code, const std::string& message,
                       bool keepOrder = false);

    std::string service_;
    std::string resource_;
    std::string domain_;
    uint16_t port_ = 0;
    std::string address_;
    int32_t parseOffset_ = 0;
    ReadState readState_ = ReadState::read_start;
    parser::ParseResult parseResult_;
    bool registered_ = false;
    bool offeringCheck_ = false;
    bool websocket_ = false;
    std::string parseBuffer_;
    ccc::QueryCallback queryCallback_{this};
    bool addHeader_ = false;

private:
    // A step of the read path: a result ends the call, no result goes on in the new state.
    using Step = std::optional<ReadResult>;

    ReadResult runReadStates();
    Step readStart();
    // Bytes of a body or frame whose head was checked already, passed on or dropped.
    Step passBody(bool forward);
    Step parseData();
    Step parserStatusCheck();
    Step gatekeep();
    Step actionAnswer(const capability_query_if::QueryAnswer& answer, bool first);
    Step serviceOfferingQuery();
    Step serviceAnswer(const capability_query_if::QueryAnswer& answer);
    Step answerUnavailable(const capability_query_if::QueryAnswer& answer, ReadState waiting,
                           const char* awaiting);
    Step refuseForbidden();
    Step forwardMessage();
    Step upgrade();
    // Goes on with the message after the current one, or ends the call when there is none.
    Step continueParsing(utils::logging::LogLevel level);
    // Keeps the bytes from the parse offset on for a later call: incomplete (more must arrive
    // first) or not parsed yet (to be parsed before the next receive).
    void keepRest(bool parsed);
    // False when the answer could not be written to the client.
    bool answerRefusal(int code, const char* text, std::string_view response);
    // Writes an answer of our own to the client; conWrite's result. With keepOrder it waits
    // for the responses to the requests before it (on a WebSocket, for the end of the server's
    // current message), for answers after which the connection goes on.
    int answer(const char* data, size_t length, bool keepOrder);
    // Whether the current message goes on beyond the bytes at hand.
    bool messageContinues() const;
    // After a refusal: the rest of a message still to come is dropped as it arrives.
    void dropRestOfMessage();
    // After forwarding: the rest of a message still to come is passed through as it arrives.
    void passRestOfMessage();
    void awaitUpgradeAnswer();
    // The mode in which the next message starts.
    StreamMode messageMode() const {
        return websocket_ ? StreamMode::Frames : StreamMode::Requests;
    }
    // Bytes of the current message at hand, from the parse offset.
    uint32_t messageLength() const;
    // Moves the message held over a pause into the receive area again, and out of it before
    // the call returns Paused: the area is shared with the thread's other connections. A read
    // waits for an answer exactly while readState_ is one of the answer states, so those states
    // tell that parseBuffer_ holds such a message.
    void restoreHeld();
    void stashHeld();

    char* area_ = nullptr;
    // Carried bytes plus bytes read by the receive that filled the area: the messages at hand end
    // here.
    uint32_t bufferFill_ = 0;
    StreamMode mode_ = StreamMode::Requests;
    // Bytes still to come of a body or frame passed on or dropped by count; a chunked body is
    // counted by parseResult_.chunkedBody instead.
    uint64_t bodyRemaining_ = 0;
    bool bodyChunked_ = false;
    // parseBuffer_ holds bytes that were not parsed yet (as opposed to an incomplete message).
    bool heldUnparsed_ = false;
    // This connection holds its key in the open WebSocket registry.
    bool inRegistry_ = false;
    AccessQueries* accessQueries_ = &AccessQueries::capabilityCache();
};

}  // namespace connection
