#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "libs/aliasManager/AliasTable.h"

namespace alias_manager {

// Answers which aliases (application domains) a user runs under.
//
// The aliases of a user are, in this order of preference:
//  1. those listed for its uid in the alias table file named by the environment variable
//     ACCESS_PROXY_ALIASES (format in AliasTable.h), in file order;
//  2. otherwise its login name from the user database;
//  3. otherwise none (an empty list).
// The file is read once, when the client is constructed: later edits take effect in a new
// client, which in the daemon means a restart. Problems with the file are reported on standard
// error, one line each, and never stop the client.
//
// Thread-safe: the table is immutable after construction and the user database lookup is
// reentrant, so several threads may share one client.
class AliasQueryClient {
public:
    static constexpr const char* TABLE_VARIABLE = "ACCESS_PROXY_ALIASES";

    static constexpr int STATUS_OK = 0;
    static constexpr int STATUS_INVALID_REQUEST = 1;
    // Kept for callers that handle a lost connection to a remote alias service; this client
    // answers locally and never returns it.
    static constexpr int STATUS_SOCKET_CLOSED = 2;

    AliasQueryClient();
    explicit AliasQueryClient(AliasTable table) : table_(std::move(table)) {}

    AliasQueryClient(const AliasQueryClient&) = delete;
    AliasQueryClient& operator=(const AliasQueryClient&) = delete;

    // Replaces aliases with the user's aliases and returns STATUS_OK, or returns
    // STATUS_INVALID_REQUEST with aliases emptied when uid is 0xFFFFFFFF (the -1 of a failed
    // lookup). Neither reserved (0 by convention) nor gid is consulted.
    int queryAliases(uint32_t uid, uint32_t reserved, uint32_t gid,
                     std::vector<std::string>& aliases) const;

private:
    const AliasTable table_;
};

}  // namespace alias_manager
