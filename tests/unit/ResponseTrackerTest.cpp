#include "parser/ResponseTracker.h"

#include <gtest/gtest.h>

namespace {

using parser::ResponseTracker;
using Request = ResponseTracker::Request;
using Outcome = ResponseTracker::Outcome;

const std::string OK = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
const std::string CHUNKED =
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nHTTP/\r\n0\r\n\r\n";
const std::string HEAD_ANSWER = "HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\n";
const std::string CONTINUE = "HTTP/1.1 100 Continue\r\n\r\n";
const std::string SWITCHING = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n";
const std::string FORBIDDEN = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";
const std::string UNTIL_CLOSE = "HTTP/1.1 200 OK\r\n\r\nbody until the end";

// What the client gets, in order: the server's bytes as they pass ("<bytes>"), the proxy's own
// answers ("A") and the upgrade's answer ("S", "R").
std::string follow(ResponseTracker& tracker, const std::vector<std::string>& pieces) {
    std::string seen;
    for (const std::string& piece : pieces) {
        size_t position = 0;
        while (position < piece.size()) {
            const auto step = tracker.advance(
                reinterpret_cast<const uint8_t*>(piece.data()) + position, piece.size() - position);
            seen += piece.substr(position, step.consumed);
            position += step.consumed;
            seen += step.outcome == Outcome::Switched  ? "S"
                    : step.outcome == Outcome::Refused ? "R"
                                                       : "";
            for (; tracker.takeDueAnswer(); seen += "A") {
            }
        }
    }
    return seen;
}

// Bodies that look like heads, HEAD answers and interim answers must not be taken for the upgrade's
// answer, and an answer of the proxy's own must follow the responses to the requests before it.
TEST(ResponseTrackerTest, KeepsTheServersStreamWholeAndPutsAnswersWhereTheyBelong) {
    const struct {
        const char* name;
        std::string requests;  // P plain, H head, U upgrade, A an answer of the proxy's own
        std::string stream, seen;
        bool activeAfter;
    } cases[] = {
        {"switched", "U", SWITCHING + "\x81\x03yes", SWITCHING + "S\x81\x03yes", true},
        {"refused", "U", FORBIDDEN, FORBIDDEN + "R", true},
        {"behind responses", "PHPU", OK + HEAD_ANSWER + CONTINUE + CHUNKED + SWITCHING,
         OK + HEAD_ANSWER + CONTINUE + CHUNKED + SWITCHING + "S", true},
        {"answers in order", "PAPA", OK + CHUNKED, OK + "A" + CHUNKED + "A", true},
        {"101 for a plain request", "P", SWITCHING, SWITCHING, false},
        {"body until close", "PUA", UNTIL_CLOSE, "HTTP/1.1 200 OK\r\n\r\nRAbody until the end",
         false},
        {"malformed head", "UA", "HTTP/2 200\r\n\r\n", "HTTP/2 200\r\n\r\nRA", false},
        {"not yet answered", "PUA", OK, OK, true},
    };
    for (const auto& c : cases) {
        // Whole, then split at every offset: the same bytes, answers and outcomes, in order.
        for (size_t split = 0; split <= c.stream.size(); ++split) {
            SCOPED_TRACE(std::string(c.name) + " split at " + std::to_string(split));
            ResponseTracker tracker;
            std::string before;  // answers due before anything came
            for (const char request : c.requests) {
                if (request == 'A') {
                    before += tracker.queueAnswer() ? "" : "A";
                } else {
                    tracker.expect(request == 'U'   ? Request::Upgrade
                                   : request == 'H' ? Request::Head
                                                    : Request::Plain);
                }
            }
            const std::string seen =
                before + follow(tracker, {c.stream.substr(0, split), c.stream.substr(split)});
            EXPECT_EQ(seen, c.seen);
            EXPECT_EQ(tracker.active(), c.activeAfter);
        }
    }
}

}  // namespace
