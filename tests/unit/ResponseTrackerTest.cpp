#include "parser/ResponseTracker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// The requests forwarded, the server's stream, and how the upgrade request (the last one) was
// answered. Bodies that look like heads, HEAD answers without a body and interim answers must
// not be taken for the upgrade's answer.
TEST(ResponseTrackerTest, FindsTheAnswerToTheUpgradeWhateverComesBeforeIt) {
    const struct {
        const char* name;
        std::vector<Request> requests;
        std::string stream;
        Outcome outcome;
        bool activeAfter;
    } cases[] = {
        {"switched", {Request::Upgrade}, SWITCHING + "\x81\x02hi", Outcome::Switched, false},
        {"refused", {Request::Upgrade}, FORBIDDEN, Outcome::Refused, true},
        {"behind responses",
         {Request::Plain, Request::Head, Request::Plain, Request::Upgrade},
         OK + HEAD_ANSWER + CONTINUE + CHUNKED + SWITCHING,
         Outcome::Switched,
         false},
        {"101 for a plain request", {Request::Plain}, SWITCHING, Outcome::None, false},
        {"body until close",
         {Request::Plain, Request::Upgrade},
         UNTIL_CLOSE,
         Outcome::Refused,
         false},
        {"malformed head", {Request::Upgrade}, "HTTP/2 200\r\n\r\n", Outcome::Refused, false},
        {"not yet answered", {Request::Plain, Request::Upgrade}, OK, Outcome::None, true},
    };
    for (const auto& c : cases) {
        // Whole, then split at every offset: the same outcome, once.
        for (size_t split = 0; split <= c.stream.size(); ++split) {
            SCOPED_TRACE(std::string(c.name) + " split at " + std::to_string(split));
            ResponseTracker tracker;
            for (Request request : c.requests) {
                tracker.expect(request);
            }
            std::vector<Outcome> outcomes;
            for (const std::string& piece : {c.stream.substr(0, split), c.stream.substr(split)}) {
                const Outcome outcome =
                    tracker.feed(reinterpret_cast<const uint8_t*>(piece.data()), piece.size());
                if (outcome != Outcome::None) {
                    outcomes.push_back(outcome);
                }
            }
            EXPECT_EQ(outcomes, c.outcome == Outcome::None ? std::vector<Outcome>{}
                                                           : std::vector<Outcome>{c.outcome});
            EXPECT_EQ(tracker.active(), c.activeAfter);
        }
    }
}

}  // namespace
