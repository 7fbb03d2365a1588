#include "connection/IncomingConnection.h"

#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <thread>

#include "ConnectionTestSupport.h"
#include "connection/CannedResponses.h"
#include "io/ConnectionHandler.h"

// Left to the end-to-end tests: upgrades, WebSocket answers, ambiguous framing (test_websocket.py,
// test_framing.py).
namespace {

using capability_query_if::QueryAnswer;
using connection::IncomingConnection;
using connection::ReadResult;
using Texts = std::vector<std::string>;
using testing_support::Fd;

const QueryAnswer ALLOWED{true, QueryAnswer::STATUS_ALLOWED};
const QueryAnswer DENIED{true, QueryAnswer::STATUS_DENIED};
const QueryAnswer PENDING{false, QueryAnswer::STATUS_PENDING};
const QueryAnswer FAILED{false, QueryAnswer::STATUS_CONNECTION_FAILED};
const QueryAnswer INVALID{false, QueryAnswer::STATUS_INVALID_QUERY};
const std::string GET = "GET /svc/res/1 HTTP/1.1\r\nHost: h\r\n\r\n";
const std::string POST_HEAD = "POST /svc/upload HTTP/1.1\r\nHost: h\r\nContent-Length: 10\r\n\r\n";
const std::string POST = POST_HEAD + "0123456789";
const std::string GET_ROOT = "GET / HTTP/1.1\r\n\r\n";
// The request with the identity header the proxy inserts.
std::string withId(const std::string& request) {
    const size_t end = request.find("\r\n\r\n") + 2;
    return request.substr(0, end) + "X-SWID: app\r\n" + request.substr(end);
}
// The questions about GET: its action, and the offering of a registered connection.
const std::string ACTION = "Pelo app GET svc/res";
const std::string OFFERING = "Pelo fd00::1 443 svc";

// Stands in for the capability cache: each started query takes the next scripted answer (allowed
// once none is left); resolve() answers a pending one as the library does, from outside.
class ScriptedQueries : public connection::AccessQueries {
public:
    QueryAnswer queryAction(std::shared_ptr<capability_query_if::QueryAction> a,
                            ccc::QueryCallback& callback) override {
        return ask(a ? a->protocol + " " + a->domain + " " + a->method + " " + a->service + "/" +
                           a->resource
                     : "poll",
                   callback);
    }
    QueryAnswer queryService(std::shared_ptr<capability_query_if::QueryService> s,
                             ccc::QueryCallback& callback) override {
        return ask(
            s ? s->protocol + " " + s->address + " " + std::to_string(s->port) + " " + s->service
              : "poll",
            callback);
    }
    void resolve(bool allowed) {
        std::unique_lock<std::mutex> lock(mutex_);
        script.push_front(allowed ? ALLOWED : DENIED);
        ccc::QueryCallback* callback = std::exchange(pending_, nullptr);
        lock.unlock();
        ASSERT_NE(callback, nullptr);
        callback->response(allowed);
    }
    Texts asked() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return asked_;
    }
    std::deque<QueryAnswer> script;  // set only while no handler thread runs

private:
    QueryAnswer ask(const std::string& question, ccc::QueryCallback& callback) {
        std::lock_guard<std::mutex> lock(mutex_);
        asked_.push_back(question);
        QueryAnswer next = question == "poll" && pending_ != nullptr ? PENDING : ALLOWED;
        if (!script.empty() && next.available) {
            next = script.front();
            script.pop_front();
        }
        pending_ = next.status == QueryAnswer::STATUS_PENDING ? &callback : pending_;
        return next;
    }

    mutable std::mutex mutex_;
    ccc::QueryCallback* pending_ = nullptr;
    Texts asked_;
};

// A client, its incoming connection and the peer, over socketpairs (each write is what the next
// receive finds); registered: with the registry and offering checks.
struct Rig {
    ScriptedQueries queries;  // outlives the connection that asks it
    Fd client, server;
    std::unique_ptr<IncomingConnection> incoming;
    std::unique_ptr<connection::OutgoingConnection> peer;

    explicit Rig(bool registered = false) {
        Fd near, far;
        if (testing_support::socketPair(near, client, true) &&
            testing_support::socketPair(far, server, true)) {
            incoming = registered ? std::make_unique<IncomingConnection>(near.release(), "app",
                                                                         "fd00::1", 443)
                                  : std::make_unique<IncomingConnection>(near.release(), "app");
            incoming->setAccessQueries(queries);
            peer = std::make_unique<testing_support::PeerOutgoing>(far.release());
            incoming->setPeer(peer.get());
            peer->setPeer(incoming.get());
        }
    }
    ReadResult feed(const std::string& bytes) {
        EXPECT_TRUE(testing_support::writeAll(client.get(), bytes));
        return incoming->conRead();
    }
    std::string forwarded() { return testing_support::drain(server.get()); }
    std::string answered() { return testing_support::drain(client.get()); }
};

// Every answer of the cache, to either question, must end in the one outcome it stands for.
TEST(IncomingConnectionTest, AnswersDecideWhatIsForwarded) {
    const struct {
        const char* name;
        bool registered;
        QueryAnswer action, offering;
    } cases[] = {
        {"allowed", true, ALLOWED, ALLOWED},        {"not registered", false, ALLOWED, ALLOWED},
        {"action denied", true, DENIED, ALLOWED},   {"offering denied", true, ALLOWED, DENIED},
        {"action failed", true, FAILED, ALLOWED},   {"offering failed", true, ALLOWED, FAILED},
        {"action invalid", true, INVALID, ALLOWED}, {"offering invalid", true, ALLOWED, INVALID},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.registered);
        rig.queries.script = {c.action, c.offering};
        const bool asksOffering = c.registered && c.action.available && c.action.status == 0;
        const bool failed = !c.action.available || (asksOffering && !c.offering.available);
        const bool refused = c.action.status == QueryAnswer::STATUS_DENIED ||
                             (asksOffering && c.offering.status == QueryAnswer::STATUS_DENIED);
        // GET / is let through without a question; a refusal keeps the connection for it.
        EXPECT_EQ(rig.feed(GET + GET_ROOT), failed ? ReadResult::Failed : ReadResult::Done);
        EXPECT_EQ(rig.forwarded(), failed ? "" : refused ? GET_ROOT : GET + GET_ROOT);
        EXPECT_EQ(rig.answered(), refused ? connection::canned::FORBIDDEN : "");
        EXPECT_EQ(rig.queries.asked(), (asksOffering ? Texts{ACTION, OFFERING} : Texts{ACTION}));
    }
}

// A pending answer must hold the request (and those behind it) until the answer's event comes
// through the handler; a late denial answers 403 in its turn and the connection goes on.
TEST(IncomingConnectionTest, PendingAnswersPauseTheReadAndResumeThroughTheHandler) {
    Rig rig(true);
    rig.queries.script = {PENDING, PENDING, PENDING};
    IncomingConnection* in = rig.incoming.get();
    auto multiplexer = io::ConnectionMultiplexer::create();
    ASSERT_NE(multiplexer, nullptr);
    io::ConnectionHandler handler(multiplexer.get());
    handler.adopt(rig.incoming, rig.peer);
    std::thread thread([&handler] { handler.run(); });
    auto asked = [&rig](size_t count) {
        return testing_support::eventually([&] { return rig.queries.asked().size() == count; });
    };
    // No ASSERT from here on: the handler thread must be joined. A wake-up before an answer
    // changes nothing.
    EXPECT_TRUE(testing_support::writeAll(rig.client.get(), GET.substr(0, 10)));
    EXPECT_TRUE(testing_support::writeAll(rig.client.get(), GET.substr(10) + POST));
    EXPECT_TRUE(asked(1));
    handler.postAsyncEvent(in);
    EXPECT_TRUE(asked(2));
    rig.queries.resolve(true);
    EXPECT_TRUE(asked(4));
    EXPECT_EQ(rig.forwarded(), "");
    rig.queries.resolve(true);
    EXPECT_TRUE(asked(6));
    rig.queries.resolve(false);
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    EXPECT_TRUE(testing_support::writeAll(rig.server.get(), response));
    std::string got;
    EXPECT_TRUE(testing_support::readExactly(
        rig.client.get(), got, response.size() + connection::canned::FORBIDDEN.size()));
    EXPECT_EQ(got, response + std::string(connection::canned::FORBIDDEN));
    EXPECT_TRUE(testing_support::writeAll(rig.client.get(), GET_ROOT));
    EXPECT_TRUE(testing_support::readExactly(rig.server.get(), got, GET.size() + GET_ROOT.size()));
    EXPECT_EQ(got, GET + GET_ROOT);
    EXPECT_EQ(rig.queries.asked(), (Texts{ACTION, "poll", "poll", OFFERING, "poll",
                                          "Pelo app POST svc/upload", "poll"}));
    handler.shutdown();
    thread.join();
}

// However the stream is split, the same bytes must be forwarded, answered and asked about: only
// the first request gets the header, no client's own X-SWID ever passes, bodies (by length or
// chunks, which may look like requests) pass unchanged, an unparsable target gets 400 and a
// request of another version is dropped, each with its body never read as requests.
TEST(IncomingConnectionTest, ForwardedBytesDoNotDependOnHowTheStreamIsSplit) {
    const std::string chunked = "POST /c/d HTTP/1.1\r\nTransfer-Encoding: chunked\r\n";
    const std::string chunks =
        "4;e=\"a;b\"\r\nabcd\r\n12\r\nGET / HTTP/1.1\r\n\r\n\r\n0\r\nT: t\r\n\r\n";
    const std::string bad(connection::canned::BAD_REQUEST);
    const struct {
        Texts reads;  // as they arrive
        std::string forwarded, answered;
    } cases[] = {
        {{GET + POST + GET_ROOT}, withId(GET) + POST + GET_ROOT, ""},
        {{POST_HEAD + "0", "12345678", "9" + GET}, withId(POST) + GET, ""},
        {{chunked + "\r\n", chunks.substr(0, 9), chunks.substr(9) + GET},
         withId(chunked + "\r\n" + chunks) + GET,
         ""},
        {{"GET /svc/res/1 HTTP/1.1\r\nx-swid: forged\r\nHost: h\r\n\r\n",
          "GET /svc/res/1 HTTP/1.1\r\nHost: h\r\nX-Swid: forged\r\n\r\n"},
         withId(GET) + GET,
         ""},
        {{"GET /x HTTP/1.1\r\n\r\n", "xxGET /svc/res HTTP/1.1\r\n\r\n",
          "POST /x HTTP/1.1\r\nContent-Length: 36\r\n\r\nGET ", GET.substr(4) + GET},
         withId(GET),
         bad + bad + bad},
        {{"POST /v/2 HTTP/2.0\r\nContent-Length: 18\r\n\r\n" + GET_ROOT + GET}, withId(GET), ""},
    };
    for (const auto& c : cases) {
        std::string stream;
        for (const std::string& bytes : c.reads) {
            stream += bytes;
        }
        // As the reads came, then in two reads split at every offset. Each read ends with
        // nothing more to read.
        Texts questions;
        for (size_t split = 0; split < stream.size(); ++split) {
            Rig rig;
            rig.incoming->setAddHeader(true);
            for (const std::string& bytes :
                 split == 0 ? c.reads : Texts{stream.substr(0, split), stream.substr(split)}) {
                EXPECT_EQ(rig.feed(bytes), ReadResult::Done);
                EXPECT_EQ(rig.incoming->conRead(), ReadResult::WouldBlock);
            }
            questions = split == 0 ? rig.queries.asked() : questions;
            ASSERT_EQ(rig.forwarded(), c.forwarded) << c.reads[0] << split;
            ASSERT_EQ(rig.answered(), c.answered) << c.reads[0] << split;
            ASSERT_EQ(rig.queries.asked(), questions) << c.reads[0] << split;
        }
    }
}

// A head that fills the receive buffer can never complete: closing beats waiting forever.
TEST(IncomingConnectionTest, HeadBiggerThanTheBufferCloses) {
    const std::string head = "GET /svc/res HTTP/1.1\r\nX: ";
    for (size_t first : {8192u, 7000u}) {
        Rig rig;
        const ReadResult result = rig.feed(head + std::string(first, 'a'));
        EXPECT_EQ(first < 8192 ? rig.feed(std::string(2000, 'a')) : result, ReadResult::Failed);
        EXPECT_EQ(rig.forwarded(), "");
    }
}

}  // namespace
