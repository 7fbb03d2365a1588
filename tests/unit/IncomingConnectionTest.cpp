#include "connection/IncomingConnection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ConnectionTestSupport.h"
#include "RecordingLogger.h"
#include "access/QueryCallback.h"
#include "connection/AccessQueries.h"
#include "connection/CannedResponses.h"
#include "connection/OutgoingConnection.h"
#include "io/ConnectionHandler.h"
#include "io/ConnectionMultiplexer.h"

namespace {

using capability_query_if::QueryAction;
using capability_query_if::QueryAnswer;
using capability_query_if::QueryService;
using connection::IncomingConnection;
using connection::ReadResult;
using ReadState = connection::IncomingConnection::ReadState;
using testing_support::Fd;

const QueryAnswer ALLOWED{true, QueryAnswer::STATUS_ALLOWED};
const QueryAnswer DENIED{true, QueryAnswer::STATUS_DENIED};
const QueryAnswer PENDING{false, QueryAnswer::STATUS_PENDING};
const QueryAnswer FAILED{false, QueryAnswer::STATUS_CONNECTION_FAILED};
const QueryAnswer INVALID{false, QueryAnswer::STATUS_INVALID_QUERY};

// Stands in for the capability cache. A started query takes the next scripted answer (allowed once
// the script is empty); a pending one is resolved by the test, which then calls back like the
// library does on its own thread, and polls before that get "pending". Every question is recorded
// as text.
class ScriptedQueries : public connection::AccessQueries {
public:
    QueryAnswer queryAction(std::shared_ptr<QueryAction> action,
                            ccc::QueryCallback& callback) override {
        std::lock_guard<std::mutex> lock(mutex_);
        actions_.push_back(action
                               ? action->service + "/" + action->resource + " " + action->method +
                                     " " + action->domain + " " + action->protocol
                               : "poll");
        return answer(action != nullptr, actionScript_, callback);
    }
    QueryAnswer queryService(std::shared_ptr<QueryService> service,
                             ccc::QueryCallback& callback) override {
        std::lock_guard<std::mutex> lock(mutex_);
        services_.push_back(service ? service->address + " " + std::to_string(service->port) + " " +
                                          service->service + " " + service->protocol
                                    : "poll");
        return answer(service != nullptr, serviceScript_, callback);
    }

    void scriptActions(std::deque<QueryAnswer> answers) {
        std::lock_guard<std::mutex> lock(mutex_);
        actionScript_ = std::move(answers);
    }
    void scriptServices(std::deque<QueryAnswer> answers) {
        std::lock_guard<std::mutex> lock(mutex_);
        serviceScript_ = std::move(answers);
    }
    // Answers the pending query, from the calling thread.
    void resolve(bool allowed) {
        ccc::QueryCallback* callback;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            resolved_ = allowed ? ALLOWED : DENIED;
            callback = std::exchange(pending_, nullptr);
        }
        ASSERT_NE(callback, nullptr);
        callback->response(allowed);
    }
    std::vector<std::string> actions() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return actions_;
    }
    std::vector<std::string> services() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return services_;
    }

private:
    QueryAnswer answer(bool start, std::deque<QueryAnswer>& script, ccc::QueryCallback& callback) {
        if (!start) {
            return std::exchange(resolved_, PENDING);
        }
        QueryAnswer next = ALLOWED;
        if (!script.empty()) {
            next = script.front();
            script.pop_front();
        }
        if (!next.available && next.status == QueryAnswer::STATUS_PENDING) {
            pending_ = &callback;
        }
        return next;
    }

    mutable std::mutex mutex_;
    std::deque<QueryAnswer> actionScript_;
    std::deque<QueryAnswer> serviceScript_;
    QueryAnswer resolved_ = PENDING;
    ccc::QueryCallback* pending_ = nullptr;
    std::vector<std::string> actions_;
    std::vector<std::string> services_;
};

// The destination side of a pair: an outgoing connection on a socketpair end.
class SocketPairPeer : public connection::OutgoingConnection {
public:
    explicit SocketPairPeer(int descriptor) { socket_ = descriptor; }
};

class ExposedIncoming : public IncomingConnection {
public:
    using IncomingConnection::IncomingConnection;
    using IncomingConnection::sendErrorFrame;
};

std::string drain(int descriptor) {
    std::string out;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(descriptor, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n <= 0) {
            return out;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
}

// A client, the incoming connection made for it and its peer, over two socketpairs. Unix stream
// sockets hand written bytes to the other end at once, so each write is exactly what the next
// receive finds.
struct Rig {
    ScriptedQueries queries;  // outlives the connection that asks it
    Fd client;
    Fd server;
    std::unique_ptr<ExposedIncoming> incoming;
    std::unique_ptr<SocketPairPeer> peer;

    explicit Rig(bool registered = false, const std::string& domain = "app", uint16_t port = 443) {
        int front[2];
        int back[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, front) != 0 ||
            ::socketpair(AF_UNIX, SOCK_STREAM, 0, back) != 0) {
            return;
        }
        client.reset(front[0]);
        server.reset(back[0]);
        testing_support::makeNonBlocking(front[1]);
        testing_support::makeNonBlocking(back[1]);
        if (registered) {
            incoming =
                std::make_unique<ExposedIncoming>(front[1], std::string(domain), "fd00::1", port);
        } else {
            incoming = std::make_unique<ExposedIncoming>(front[1], domain.c_str());
        }
        incoming->setAccessQueries(queries);
        peer = std::make_unique<SocketPairPeer>(back[1]);
        incoming->setPeer(peer.get());
        peer->setPeer(incoming.get());
    }

    ReadResult feed(const std::string& bytes) {
        EXPECT_TRUE(testing_support::writeAll(client.get(), bytes));
        return incoming->conRead();
    }
    // Reads until the socket is empty; the result that ended the reads.
    ReadResult readAll() {
        ReadResult result = ReadResult::Done;
        for (int i = 0; i < 1000 && result == ReadResult::Done; ++i) {
            result = incoming->conRead();
        }
        return result;
    }
    std::string forwarded() { return drain(server.get()); }
    std::string answered() { return drain(client.get()); }
};

const std::string GET = "GET /svc/res/1 HTTP/1.1\r\nHost: h\r\n\r\n";
const std::string POST_HEAD = "POST /svc/upload HTTP/1.1\r\nHost: h\r\nContent-Length: 10\r\n\r\n";
const std::string POST = POST_HEAD + "0123456789";
const std::string GET_ROOT = "GET / HTTP/1.1\r\n\r\n";

TEST(IncomingConnectionTest, QueryAnswersDecideWhatIsForwarded) {
    testing_support::RecordingLogger log;
    Rig rig;
    ASSERT_TRUE(rig.incoming);

    EXPECT_EQ(rig.feed(GET), ReadResult::Done);
    EXPECT_EQ(rig.forwarded(), GET);
    EXPECT_EQ(rig.queries.actions(), std::vector<std::string>{"svc/res GET app Pelo"});
    EXPECT_TRUE(rig.queries.services().empty());  // not a connection of the establisher

    // GET / is let through unasked.
    EXPECT_EQ(rig.feed(GET_ROOT), ReadResult::Done);
    EXPECT_EQ(rig.forwarded(), GET_ROOT);
    EXPECT_EQ(rig.queries.actions().size(), 1u);

    // A denial answers 403 and keeps the connection for the next request.
    rig.queries.scriptActions({DENIED});
    EXPECT_EQ(rig.feed(GET), ReadResult::Done);
    EXPECT_EQ(rig.answered(), connection::canned::FORBIDDEN);
    EXPECT_EQ(rig.forwarded(), "");
    EXPECT_TRUE(
        log.contains("Action not allowed, returning 403 and closing : " + rig.incoming->tag() +
                     " : domain : app : service : svc : resource "
                     ": res : method : GET"));
    EXPECT_EQ(rig.feed(POST), ReadResult::Done);
    EXPECT_EQ(rig.forwarded(), POST);

    // A cache that cannot be asked closes the pair; nothing is forwarded or answered.
    rig.queries.scriptActions({FAILED, INVALID});
    EXPECT_EQ(rig.feed(GET), ReadResult::Failed);
    EXPECT_TRUE(log.contains("connection to capability cache failed. closing connections"));
    EXPECT_EQ(rig.feed(GET), ReadResult::Failed);
    EXPECT_TRUE(log.contains("invalid query to capability cache. closing connections : " +
                             rig.incoming->tag() + " : result : 3"));
    EXPECT_EQ(rig.forwarded(), "");
    EXPECT_EQ(rig.answered(), "");
    EXPECT_FALSE(rig.incoming->hasPendingQuery());
}

TEST(IncomingConnectionTest, EstablishedConnectionsAlsoAskAboutTheServiceOffering) {
    testing_support::RecordingLogger log;
    Rig rig(true, "app", 8443);
    ASSERT_TRUE(rig.incoming);

    EXPECT_EQ(rig.feed(GET), ReadResult::Done);
    EXPECT_EQ(rig.forwarded(), GET);
    EXPECT_EQ(rig.queries.services(), std::vector<std::string>{"fd00::1 8443 svc Pelo"});

    // A denied action asks no further.
    rig.queries.scriptActions({DENIED});
    EXPECT_EQ(rig.feed(GET), ReadResult::Done);
    EXPECT_EQ(rig.queries.services().size(), 1u);
    EXPECT_EQ(rig.answered(), connection::canned::FORBIDDEN);

    rig.queries.scriptServices({DENIED, FAILED});
    EXPECT_EQ(rig.feed(GET + GET_ROOT), ReadResult::Done);
    EXPECT_EQ(rig.answered(), connection::canned::FORBIDDEN);
    EXPECT_EQ(rig.forwarded(), GET_ROOT);
    EXPECT_TRUE(log.contains("Service offering not allowed, return 403 : " + rig.incoming->tag() +
                             " : ip : fd00::1 : port : 8443 : service : svc"));
    EXPECT_EQ(rig.feed(GET), ReadResult::Failed);
    EXPECT_EQ(rig.forwarded(), "");
}

TEST(IncomingConnectionTest, PendingAnswersPauseTheReadAndResumeWhereItStopped) {
    testing_support::RecordingLogger log;
    Rig rig(true);
    ASSERT_TRUE(rig.incoming);
    IncomingConnection& in = *rig.incoming;
    rig.queries.scriptActions({PENDING});
    rig.queries.scriptServices({PENDING});

    // The first request arrives in two parts, the second right behind it; the first waits for
    // its answers while the buffer holds both.
    EXPECT_EQ(rig.feed(GET.substr(0, 10)), ReadResult::Done);
    EXPECT_EQ(rig.feed(GET.substr(10) + POST), ReadResult::Paused);
    EXPECT_EQ(in.readState(), ReadState::action_query_answer);
    EXPECT_TRUE(in.hasPendingQuery());
    // A wake-up before the answer changes nothing.
    EXPECT_EQ(in.conRead(), ReadResult::Paused);
    EXPECT_EQ(in.readState(), ReadState::action_query_answer);
    EXPECT_EQ(rig.forwarded(), "");

    rig.queries.resolve(true);
    EXPECT_FALSE(in.hasPendingQuery());
    EXPECT_EQ(in.conRead(), ReadResult::Paused);
    EXPECT_EQ(in.readState(), ReadState::service_offering_query_answer);
    EXPECT_EQ(rig.forwarded(), "");

    rig.queries.resolve(true);
    EXPECT_EQ(in.conRead(), ReadResult::Done);
    EXPECT_EQ(in.readState(), ReadState::read_start);
    EXPECT_EQ(rig.forwarded(), GET + POST);
    EXPECT_EQ(rig.queries.actions(),
              (std::vector<std::string>{"svc/res GET app Pelo", "poll", "poll",
                                        "svc/upload POST app Pelo"}));
    EXPECT_EQ(rig.queries.services().size(), 3u);

    // A late denial answers 403 and goes on with the next request.
    rig.queries.scriptActions({PENDING});
    EXPECT_EQ(rig.feed(GET + GET_ROOT), ReadResult::Paused);
    rig.queries.resolve(false);
    EXPECT_EQ(in.conRead(), ReadResult::Done);
    EXPECT_EQ(rig.answered(), connection::canned::FORBIDDEN);
    EXPECT_EQ(rig.forwarded(), GET_ROOT);
    EXPECT_TRUE(log.contains("Action not allowed, returning 403 : "));
    EXPECT_EQ(rig.readAll(), ReadResult::WouldBlock);
}

TEST(IncomingConnectionTest, AnswerArrivingOnAnotherThreadResumesThroughTheHandler) {
    testing_support::RecordingLogger log;
    Rig rig(true);
    ASSERT_TRUE(rig.incoming);
    rig.queries.scriptActions({PENDING});
    IncomingConnection* in = rig.incoming.get();

    auto multiplexer = io::ConnectionMultiplexer::create();
    ASSERT_TRUE(multiplexer);
    io::ConnectionHandler handler(multiplexer.get());
    std::unique_ptr<IncomingConnection> incoming = std::move(rig.incoming);
    std::unique_ptr<connection::OutgoingConnection> outgoing = std::move(rig.peer);
    handler.adopt(incoming, outgoing);
    std::thread thread([&handler] { handler.run(); });

    ASSERT_TRUE(testing_support::writeAll(rig.client.get(), GET));
    ASSERT_TRUE(testing_support::eventually([&] { return !rig.queries.actions().empty(); }));
    // Sent while the first request waits: read once the answer let the first one through.
    ASSERT_TRUE(testing_support::writeAll(rig.client.get(), POST));
    EXPECT_TRUE(in->hasPendingQuery());

    std::thread library([&rig] { rig.queries.resolve(true); });
    library.join();
    std::string got;
    EXPECT_TRUE(testing_support::readExactly(rig.server.get(), got, GET.size() + POST.size()));
    EXPECT_EQ(got, GET + POST);
    EXPECT_GE(log.count("Handling async event"), 1u);

    // Input stays on after the answer.
    ASSERT_TRUE(testing_support::writeAll(rig.client.get(), GET_ROOT));
    EXPECT_TRUE(testing_support::readExactly(rig.server.get(), got, GET_ROOT.size()));
    EXPECT_EQ(got, GET_ROOT);

    handler.shutdown();
    thread.join();
}

TEST(IncomingConnectionTest, IdentityHeaderGoesIntoTheFirstForwardedRequestOnly) {
    const std::string withId = "GET /svc/res/1 HTTP/1.1\r\nHost: h\r\nX-SWID: app\r\n\r\n";
    const std::string postWithId =
        "POST /svc/upload HTTP/1.1\r\nHost: h\r\nContent-Length: 10\r\nX-SWID: "
        "app\r\n\r\n";
    {
        Rig rig;
        rig.incoming->setAddHeader(true);
        // A refused request does not use up the header.
        EXPECT_EQ(rig.feed("GET /x HTTP/1.1\r\n\r\n"), ReadResult::Done);
        EXPECT_EQ(rig.feed(GET + GET), ReadResult::Done);
        EXPECT_EQ(rig.forwarded(), withId + GET);
        EXPECT_FALSE(rig.incoming->addHeader());
    }
    {
        Rig rig;
        rig.incoming->setAddHeader(true);
        EXPECT_EQ(rig.feed(POST), ReadResult::Done);
        EXPECT_EQ(rig.forwarded(), postWithId + "0123456789");
    }
    for (size_t atHand : {0u, 1u, 4u, 9u}) {
        // The body is still arriving: only the bytes at hand go with the head, the rest passes
        // through as it comes.
        Rig rig;
        rig.incoming->setAddHeader(true);
        EXPECT_EQ(rig.feed(POST.substr(0, POST_HEAD.size() + atHand)), ReadResult::Done);
        EXPECT_EQ(rig.forwarded(), postWithId + POST.substr(POST_HEAD.size(), atHand)) << atHand;
        EXPECT_EQ(rig.feed(POST.substr(POST_HEAD.size() + atHand) + GET), ReadResult::Done);
        EXPECT_EQ(rig.forwarded(), POST.substr(POST_HEAD.size() + atHand) + GET) << atHand;
        EXPECT_EQ(rig.queries.actions().size(), 2u);
    }
    {
        // Chunked framing keeps its last chunk.
        const std::string head = "POST /c/d HTTP/1.1\r\nTransfer-Encoding: chunked\r\n";
        const std::string chunks = "4\r\nabcd\r\n0\r\n\r\n";
        Rig rig;
        rig.incoming->setAddHeader(true);
        EXPECT_EQ(rig.feed(head + "\r\n" + chunks), ReadResult::Done);
        EXPECT_EQ(rig.forwarded(), head + "X-SWID: app\r\n\r\n" + chunks);
    }
}

TEST(IncomingConnectionTest, PipelinedRequestsAreHandledOneAfterTheOther) {
    testing_support::RecordingLogger log;
    Rig rig;
    EXPECT_EQ(rig.feed(GET + POST), ReadResult::Done);
    EXPECT_EQ(rig.forwarded(), GET + POST);
    EXPECT_EQ(log.count("Message overhead. Continue parsing"), 1u);
    EXPECT_EQ(rig.queries.actions().size(), 2u);

    // A malformed request in between is dropped; those around it go on.
    const std::string badVersion = "GET /svc/two HTTP/2.0\r\n\r\n";
    EXPECT_EQ(rig.feed(GET + badVersion + POST + GET_ROOT), ReadResult::Done);
    EXPECT_EQ(rig.forwarded(), GET + POST + GET_ROOT);
    EXPECT_TRUE(log.contains("Invalid or no http/websocket message"));
}

TEST(IncomingConnectionTest, SplitAtEveryOffsetForwardsTheSameBytes) {
    const std::string stream = GET + POST + GET_ROOT;
    const std::string withId = "GET /svc/res/1 HTTP/1.1\r\nHost: h\r\nX-SWID: app\r\n\r\n";
    for (bool addHeader : {false, true}) {
        const std::string expected = addHeader ? withId + POST + GET_ROOT : stream;
        for (size_t split = 1; split < stream.size(); ++split) {
            Rig rig;
            ASSERT_TRUE(rig.incoming);
            rig.incoming->setAddHeader(addHeader);
            ASSERT_EQ(rig.feed(stream.substr(0, split)), ReadResult::Done) << split;
            // Nothing more to read: a kept part stays exactly as it was.
            const std::string kept = rig.incoming->parseBuffer();
            ASSERT_EQ(rig.incoming->conRead(), ReadResult::WouldBlock) << split;
            EXPECT_EQ(rig.incoming->parseBuffer(), kept) << split;
            ASSERT_TRUE(testing_support::writeAll(rig.client.get(), stream.substr(split)));
            ASSERT_EQ(rig.readAll(), ReadResult::WouldBlock) << split;
            ASSERT_EQ(rig.forwarded(), expected) << "split at " << split;
            ASSERT_EQ(rig.queries.actions().size(), 2u) << split;
        }
    }
}

TEST(IncomingConnectionTest, UnparsableTargetsGet400AndTheConnectionStays) {
    testing_support::RecordingLogger log;
    Rig rig;
    EXPECT_EQ(rig.feed("GET /x HTTP/1.1\r\n\r\n"), ReadResult::Done);
    EXPECT_EQ(rig.answered(), connection::canned::BAD_REQUEST);
    EXPECT_TRUE(log.contains("Failed to parse URI, too short"));
    // Bytes before the method make a target without its leading slash.
    EXPECT_EQ(rig.feed("xxGET /svc/res HTTP/1.1\r\n\r\n"), ReadResult::Done);
    EXPECT_EQ(rig.answered(), connection::canned::BAD_REQUEST);
    EXPECT_EQ(rig.forwarded(), "");
    EXPECT_TRUE(rig.queries.actions().empty());

    // The body of a refused request is dropped as it arrives, never read as requests.
    const std::string head = "POST /x HTTP/1.1\r\nContent-Length: 36\r\n\r\n";
    EXPECT_EQ(rig.feed(head + GET.substr(0, 4)), ReadResult::Done);
    EXPECT_EQ(rig.answered(), connection::canned::BAD_REQUEST);
    EXPECT_EQ(rig.feed(GET.substr(4) + GET_ROOT), ReadResult::Done);
    EXPECT_EQ(rig.forwarded(), GET_ROOT);
    EXPECT_EQ(rig.answered(), "");
    EXPECT_TRUE(rig.queries.actions().empty());
}

TEST(IncomingConnectionTest, OneWebSocketPerDomainAndDestination) {
    testing_support::RecordingLogger log;
    const std::string upgrade =
        "GET /svc/events HTTP/1.1\r\nHost: h\r\nUpgrade: "
        "websocket\r\nConnection: Upgrade\r\n\r\n";
    const std::string frames = "\x81\x85\x01\x02\x03\x04junk!";
    const std::string domain = "highlander-app";

    Rig first(true, domain);
    EXPECT_EQ(first.feed(upgrade), ReadResult::Done);
    EXPECT_EQ(first.forwarded(), upgrade);
    EXPECT_TRUE(first.incoming->websocket());
    // After the upgrade, frames pass unchecked.
    EXPECT_EQ(first.feed(frames), ReadResult::Done);
    EXPECT_EQ(first.forwarded(), frames);
    EXPECT_EQ(first.queries.actions().size(), 1u);

    {
        Rig second(true, domain);
        EXPECT_EQ(second.feed(upgrade), ReadResult::Failed);
        EXPECT_EQ(second.answered(), connection::canned::CONFLICT);
        EXPECT_EQ(second.forwarded(), "");
        EXPECT_FALSE(second.incoming->websocket());
        EXPECT_TRUE(
            log.contains("Websocket with this domain and IP/Port is "
                         "already open. Returning HTTP 409"));
        // Closing the refused one leaves the first one's entry alone.
        second.incoming->disconnect();
    }
    {
        Rig third(true, domain);
        EXPECT_EQ(third.feed(upgrade), ReadResult::Failed);
    }
    // Another port is another key; connections that are not registered never ask.
    Rig otherPort(true, domain, 444);
    EXPECT_EQ(otherPort.feed(upgrade), ReadResult::Done);
    Rig plain(false, domain);
    EXPECT_EQ(plain.feed(upgrade), ReadResult::Done);
    EXPECT_TRUE(plain.incoming->websocket());

    EXPECT_EQ(first.feed(frames), ReadResult::Done);
    EXPECT_EQ(first.forwarded(), frames);
    first.incoming->disconnect();
    Rig again(true, domain);
    EXPECT_EQ(again.feed(upgrade), ReadResult::Done);
    EXPECT_EQ(again.forwarded(), upgrade);
}

TEST(IncomingConnectionTest, OversizedHostileAndLateInputNeverBreaksTheConnection) {
    testing_support::RecordingLogger log(utils::logging::Warning);
    {
        // A request that fills the whole buffer without ending can never complete.
        Rig rig;
        EXPECT_EQ(rig.feed("GET /svc/res HTTP/1.1\r\nX: " + std::string(8192, 'a')),
                  ReadResult::Failed);
        EXPECT_TRUE(log.contains("Message does not fit the receive buffer, closing"));
        Rig split;
        EXPECT_EQ(split.feed("GET /svc/res HTTP/1.1\r\nX: " + std::string(7000, 'a')),
                  ReadResult::Done);
        EXPECT_EQ(split.feed(std::string(2000, 'a')), ReadResult::Failed);
        EXPECT_EQ(rig.forwarded() + split.forwarded(), "");
    }
    {
        // A body far larger than the buffer passes through, asked about once.
        Rig rig;
        const std::string body(20000, 'b');
        const std::string request =
            "PUT /svc/blob HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
        ASSERT_TRUE(testing_support::writeAll(rig.client.get(), request + body + GET));
        EXPECT_EQ(rig.readAll(), ReadResult::WouldBlock);
        EXPECT_EQ(rig.forwarded(), request + body + GET);
        EXPECT_EQ(rig.queries.actions().size(), 2u);
    }
    {
        // Random bytes mixed with pieces of requests: every read ends in a defined result.
        std::mt19937 random(4711);
        const std::string pieces[] = {GET,
                                      POST,
                                      GET_ROOT,
                                      "\r\n\r\n",
                                      "Content-Length: 99999",
                                      "chunked\r\n",
                                      "websocket\r\n",
                                      "GET /",
                                      " HTTP/7.1\r\n"};
        auto rig = std::make_unique<Rig>();
        for (int round = 0; round < 400; ++round) {
            std::string chunk;
            const size_t length = random() % 3000;
            while (chunk.size() < length) {
                if (random() % 3 == 0) {
                    chunk += pieces[random() % std::size(pieces)];
                } else {
                    chunk.push_back(static_cast<char>(random()));
                }
            }
            ASSERT_TRUE(testing_support::writeAll(rig->client.get(), chunk));
            const ReadResult result = rig->readAll();
            ASSERT_TRUE(result == ReadResult::WouldBlock || result == ReadResult::Failed);
            rig->forwarded();
            rig->answered();
            if (result == ReadResult::Failed || rig->incoming->websocket()) {
                rig = std::make_unique<Rig>();
            }
        }
    }
    {
        // Once disconnected, a read never touches the descriptor number again, which may already
        // belong to another socket.
        Rig rig;
        const int number = rig.incoming->socket();
        rig.incoming->disconnect();
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        const bool firstReused = pair[0] == number;
        Fd reader(firstReused ? pair[0] : pair[1]);
        Fd writer(firstReused ? pair[1] : pair[0]);
        ASSERT_TRUE(testing_support::writeAll(writer.get(), "x"));
        EXPECT_EQ(rig.incoming->conRead(), ReadResult::Done);
        EXPECT_EQ(drain(reader.get()), "x");
    }
}

TEST(IncomingConnectionTest, ErrorFrameCarriesTheJsonAnswer) {
    Rig rig;
    EXPECT_EQ(rig.incoming->sendErrorFrame("/svc/res", 403, "Forbidden"), 0);
    const std::string json =
        R"({"type":"error","code":403,"event":"/svc/res","message": "Forbidden"})";
    EXPECT_EQ(rig.answered(), std::string("\x81") + static_cast<char>(json.size()) + json);

    // A text too long for the answer buffer is cut without its terminating zero.
    EXPECT_EQ(rig.incoming->sendErrorFrame("", 400, std::string(600, 'm')), 0);
    const std::string frame = rig.answered();
    ASSERT_EQ(frame.size(), 4u + 511u);
    EXPECT_EQ(frame.substr(0, 4), std::string("\x81\x7e\x01\xff", 4));
    EXPECT_EQ(frame.substr(4, 40), R"({"type":"error","code":400,"event":"","m)");
    EXPECT_EQ(frame.back(), 'm');
}

}  // namespace
