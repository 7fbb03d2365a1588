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
// upgrade to WebSocket is allowed once per (domain, address, port) at a time.
//
// A capability cache answer may come later, on a library thread: conRead then returns Paused,
// keeps the message in the receive buffer, and resumes where it stopped when the handler runs it
// again after the answer's async event.
class IncomingConnection : public Connection {
public:
    // The read path's states; the value survives between calls, so a read that stopped to wait
    // for an answer resumes in the state it stopped in.
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

    // Sets no-delay, keep-alive and non-blocking on the socket; the tag is the descriptor.
    IncomingConnection(int socket, const char* domain);
    // For the establisher, which has made the socket non-blocking itself and sets no other
    // option. An upgraded WebSocket of this connection is entered in the open WebSocket registry
    // under (domain, address, port), and service offerings are checked.
    IncomingConnection(int socket, std::string&& domain, const char* address, uint16_t port);
    ~IncomingConnection() override;

    ReadResult conRead() override;
    void disconnect() override;
    bool hasPendingQuery() const override;
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
    ReadState readState() const { return readState_; }
    const parser::ParseResult& parseResult() const { return parseResult_; }
    const std::string& parseBuffer() const { return parseBuffer_; }
    // Where the read path asks its capability cache questions; the capability cache itself
    // unless replaced. The object must outlive the connection. Handler thread only.
    void setAccessQueries(AccessQueries& queries) { accessQueries_ = &queries; }

protected:
    // For transports that set up their socket later (TLS): socket -1, tag empty, not
    // registered.
    explicit IncomingConnection(const char* domain);

    // Removes the registry entry of an upgraded, registered connection.
    void leaveRegistry();

    // Answers a WebSocket client with the error JSON in one final text frame; conWrite's result.
    int sendErrorFrame(const std::string& event, int code, const std::string& message);

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

    Step readStart();
    void parseData();
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
    // False when the answer could not be written to the client.
    bool answerRefusal(int code, const char* text, std::string_view response);
    void dropRestOfMessage();
    // Bytes of the current message at hand, from the parse offset.
    uint32_t messageLength() const;

    // Carried bytes plus bytes read by the receive that filled the buffer: the messages at hand
    // end here. Kept while a call waits for an answer, so the resumed call still finds the
    // messages behind the one it held.
    uint32_t bufferFill_ = 0;
    // Bytes still to come of a refused message whose body was incomplete; dropped on arrival.
    uint64_t discardBytes_ = 0;
    AccessQueries* accessQueries_ = &AccessQueries::capabilityCache();
};

}  // namespace connection
