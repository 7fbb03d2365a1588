#include "libs/aliasManager/AliasQueryClient.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace alias_manager {

namespace {

constexpr uint32_t INVALID_UID = 0xFFFFFFFFu;
// Bounds the buffer growth for user database entries that keep reporting ERANGE.
constexpr size_t MAX_PASSWD_BUFFER = 1 << 20;

AliasTable tableFromEnvironment() {
    const char* path = std::getenv(AliasQueryClient::TABLE_VARIABLE);
    if (path == nullptr || *path == '\0') {
        return AliasTable();
    }
    return AliasTable::load(path, std::cerr);
}

// The login name of uid, or empty when the user database has none (or cannot be read).
std::string loginName(uint32_t uid) {
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    size_t size = suggested > 0 ? static_cast<size_t>(suggested) : 1024;
    std::vector<char> buffer;
    for (;;) {
        buffer.resize(size);
        passwd entry{};
        passwd* found = nullptr;
        const int error =
            getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && size < MAX_PASSWD_BUFFER) {
            size *= 2;
            continue;
        }
        if (error != 0 || found == nullptr || found->pw_name == nullptr) {
            return std::string();
        }
        return std::string(found->pw_name);
    }
}

}  // namespace

AliasQueryClient::AliasQueryClient() : table_(tableFromEnvironment()) {}

int AliasQueryClient::queryAliases(uint32_t uid, uint32_t /*reserved*/, uint32_t /*gid*/,
                                   std::vector<std::string>& aliases) const {
    aliases.clear();
    if (uid == INVALID_UID) {
        return STATUS_INVALID_REQUEST;
    }
    if (const std::vector<std::string>* listed = table_.find(uid)) {
        aliases = *listed;
        return STATUS_OK;
    }
    std::string name = loginName(uid);
    if (!name.empty()) {
        aliases.push_back(std::move(name));
    }
    return STATUS_OK;
}

}  // namespace alias_manager
