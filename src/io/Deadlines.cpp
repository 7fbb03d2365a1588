#include "io/Deadlines.h"

#include "connection/Connection.h"
#include "utils/BuildConfig.h"

namespace io {

namespace {

Clock::duration durationOf(DeadlineKind kind) {
    switch (kind) {
        case DeadlineKind::Connect:
            return config::CONNECT_TIMEOUT;
        case DeadlineKind::Handshake:
            return config::HANDSHAKE_TIMEOUT;
        case DeadlineKind::RequestHead:
            return config::REQUEST_HEAD_TIMEOUT;
        case DeadlineKind::HalfClose:
            return config::HALF_CLOSE_TIMEOUT;
        case DeadlineKind::None:
            break;
    }
    return Clock::duration::zero();
}

}  // namespace

const char* nameOf(DeadlineKind kind) {
    switch (kind) {
        case DeadlineKind::Connect:
            return "connect";
        case DeadlineKind::Handshake:
            return "handshake";
        case DeadlineKind::RequestHead:
            return "request head";
        case DeadlineKind::HalfClose:
            return "half-closed idle";
        case DeadlineKind::None:
            break;
    }
    return "none";
}

void Deadlines::arm(connection::Connection* connection, DeadlineKind kind, Clock::time_point now) {
    disarm(connection);
    if (kind == DeadlineKind::None) {
        return;
    }
    DeadlineHook& hook = connection->deadlineHook();
    List& list = lists_[static_cast<size_t>(kind)];
    hook.kind = kind;
    hook.when = now + durationOf(kind);
    hook.previous = list.last;
    hook.next = nullptr;
    if (list.last != nullptr) {
        list.last->deadlineHook().next = connection;
    } else {
        list.first = connection;
    }
    list.last = connection;
}

void Deadlines::disarm(connection::Connection* connection) {
    DeadlineHook& hook = connection->deadlineHook();
    if (hook.kind == DeadlineKind::None) {
        return;
    }
    List& list = lists_[static_cast<size_t>(hook.kind)];
    if (hook.previous != nullptr) {
        hook.previous->deadlineHook().next = hook.next;
    } else {
        list.first = hook.next;
    }
    if (hook.next != nullptr) {
        hook.next->deadlineHook().previous = hook.previous;
    } else {
        list.last = hook.previous;
    }
    hook = DeadlineHook{};
}

int Deadlines::millisecondsUntilNext(Clock::time_point now) const {
    bool any = false;
    Clock::time_point earliest{};
    for (const List& list : lists_) {
        if (list.first != nullptr) {
            const Clock::time_point when = list.first->deadlineHook().when;
            if (!any || when < earliest) {
                earliest = when;
                any = true;
            }
        }
    }
    if (!any) {
        return -1;
    }
    if (earliest <= now) {
        return 0;
    }
    // Rounded up, so the wait never ends just before the deadline and spins once more.
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(earliest - now).count();
    return wait > INT32_MAX ? INT32_MAX : static_cast<int>(wait);
}

connection::Connection* Deadlines::takeExpired(Clock::time_point now, DeadlineKind& kind) {
    for (List& list : lists_) {
        connection::Connection* first = list.first;
        if (first != nullptr && first->deadlineHook().when <= now) {
            kind = first->deadlineHook().kind;
            disarm(first);
            return first;
        }
    }
    return nullptr;
}

bool Deadlines::empty() const {
    for (const List& list : lists_) {
        if (list.first != nullptr) {
            return false;
        }
    }
    return true;
}

}  // namespace io
