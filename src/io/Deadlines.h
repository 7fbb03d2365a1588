#pragma once

#include <array>
#include <chrono>
#include <cstdint>

namespace connection {
class Connection;
}

namespace io {

using Clock = std::chrono::steady_clock;

// What a connection is given a bounded time for. Each kind has one fixed duration (BuildConfig.h),
// so deadlines of one kind expire in the order they were set.
enum class DeadlineKind : uint8_t {
    None = 0,
    Connect,      // the outgoing connect to the destination
    Handshake,    // a TLS handshake
    RequestHead,  // a client's request head, from its first byte (or the connection's start)
    HalfClose,    // a pair with one direction ended and no traffic in the other
};

const char* nameOf(DeadlineKind kind);

// A connection's place in its handler's deadline lists; a connection has at most one deadline
// at a time. Only Deadlines touches the links.
struct DeadlineHook {
    connection::Connection* previous = nullptr;
    connection::Connection* next = nullptr;
    Clock::time_point when{};
    DeadlineKind kind = DeadlineKind::None;
};

// The armed deadlines of one handler's connections: one intrusive list per kind, kept in
// expiry order by appending, so arming, disarming and finding the next expiry cost O(1) and no
// allocation, however many connections there are.
//
// Threading: the handler thread only.
class Deadlines {
public:
    // Replaces the connection's deadline, if any, by one of `kind` from now.
    void arm(connection::Connection* connection, DeadlineKind kind, Clock::time_point now);
    void disarm(connection::Connection* connection);

    // Milliseconds until the earliest deadline, rounded up; -1 when none is armed.
    int millisecondsUntilNext(Clock::time_point now) const;
    // Disarms and returns one connection whose deadline has passed, with the kind it had; null
    // when none has.
    connection::Connection* takeExpired(Clock::time_point now, DeadlineKind& kind);
    bool empty() const;

private:
    struct List {
        connection::Connection* first = nullptr;
        connection::Connection* last = nullptr;
    };
    static constexpr size_t KINDS = 5;

    std::array<List, KINDS> lists_{};
};

}  // namespace io
