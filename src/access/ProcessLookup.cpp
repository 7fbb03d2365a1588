#include "access/ProcessLookup.h"

#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

#include "utils/logging/Logger.h"

namespace peer {

namespace {

using utils::logging::Error;
using utils::logging::Verbose;
using utils::logging::Warning;

// The kernel reads the request as one header and one inet_diag_req_v2 back to back; these are
// the sizes of the two pieces it expects.
static_assert(sizeof(nlmsghdr) == 16);
static_assert(sizeof(inet_diag_req_v2) == 56);
static_assert(sizeof(sockaddr_nl) == 12);
static_assert(sizeof(inet_diag_msg) == 72);

constexpr size_t kReceiveBufferSize = 1024;
// "socket:[" + a 32-bit inode + "]" is at most 19 characters; anything longer is not a socket.
constexpr size_t kLinkBufferSize = 24;
constexpr uint32_t kAllTcpStates = 0xfff;
constexpr std::string_view kSocketLinkPrefix = "socket:[";
constexpr size_t kShortestSocketLink = 10;

class Descriptor {
public:
    explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return descriptor_; }
    void reset() {
        if (descriptor_ != -1) {
            ::close(descriptor_);
            descriptor_ = -1;
        }
    }

private:
    int descriptor_;
};

struct DirectoryCloser {
    void operator()(DIR* directory) const { ::closedir(directory); }
};
using Directory = std::unique_ptr<DIR, DirectoryCloser>;

// Processes found before for each socket owner. Lists only grow, so a copy taken under the
// lock stays a valid list of candidates while the lock is released for the slow checks.
class UserProcessList {
public:
    std::vector<int32_t> copyOf(uint32_t userId) {
        std::lock_guard<std::mutex> lock(mutex_);
        return lists_[userId];
    }
    void append(uint32_t userId, int32_t pid) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<int32_t>& list = lists_[userId];
        // Two lookups of the same user may both reach the scan and find the same process.
        for (int32_t listed : list) {
            if (listed == pid) {
                return;
            }
        }
        list.push_back(pid);
    }

private:
    std::mutex mutex_;
    std::map<uint32_t, std::vector<int32_t>> lists_;
};

// Never destroyed: an establisher thread may still be inside a lookup while statics are torn
// down at exit.
UserProcessList& userProcessList() {
    static UserProcessList* const list = new UserProcessList;
    return *list;
}

std::string descriptorDirectoryOf(int32_t pid) {
    return "/proc/" + std::to_string(pid) + "/fd/";
}

// The next whitespace-separated word as a non-negative id that fits the signed 32-bit result;
// -1 for anything else, so a damaged line never passes for a real id.
int32_t readId(std::istream& words) {
    std::string word;
    if (!(words >> word)) {
        return -1;
    }
    uint32_t value = 0;
    const char* end = word.data() + word.size();
    auto [last, error] = std::from_chars(word.data(), end, value);
    if (error != std::errc() || last != end ||
        value > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
        return -1;
    }
    return static_cast<int32_t>(value);
}

}  // namespace

std::string inodeFromSockDiagReply(const uint8_t* data, size_t size, uint32_t& ownerUserId) {
    size_t offset = 0;
    while (size - offset >= sizeof(nlmsghdr)) {
        nlmsghdr header;
        std::memcpy(&header, data + offset, sizeof(header));
        const size_t remaining = size - offset;
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > remaining) {
            break;
        }
        if (header.nlmsg_type == NLMSG_ERROR) {
            AP_LOG(Error, "netlink message error");
            break;
        }
        if (header.nlmsg_type == NLMSG_DONE ||
            header.nlmsg_len < sizeof(nlmsghdr) + sizeof(inet_diag_msg)) {
            break;
        }
        inet_diag_msg socket;
        std::memcpy(&socket, data + offset + sizeof(nlmsghdr), sizeof(socket));
        if (socket.idiag_inode != 0) {
            ownerUserId = socket.idiag_uid;
            return std::to_string(socket.idiag_inode);
        }
        // The last message may be unpadded; stepping past the end means there is no next one.
        const size_t step = NLMSG_ALIGN(static_cast<size_t>(header.nlmsg_len));
        if (step >= remaining) {
            break;
        }
        offset += step;
    }
    return {};
}

std::string findSocketInode(const sockaddr_in6& client, uint32_t& ownerUserId) {
    Descriptor diagnosis(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (diagnosis.get() == -1) {
        const int error = errno;
        AP_LOG(Error, "Could not create netlink diagnosis socket", strerror(error));
        return {};
    }

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    kernel.nl_pid = 0;

    nlmsghdr header{};
    header.nlmsg_len = sizeof(nlmsghdr) + sizeof(inet_diag_req_v2);
    header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;

    // Without a filter the kernel matches a dump only on the ports, so the owner is found by
    // the client's port; the address rides along as the socket's identity.
    inet_diag_req_v2 request{};
    request.sdiag_family = AF_INET6;
    request.sdiag_protocol = IPPROTO_TCP;
    request.idiag_states = kAllTcpStates;
    request.id.idiag_sport = client.sin6_port;
    std::memcpy(request.id.idiag_src, &client.sin6_addr, sizeof(client.sin6_addr));

    iovec pieces[2] = {{&header, sizeof(header)}, {&request, sizeof(request)}};
    msghdr message{};
    message.msg_name = &kernel;
    message.msg_namelen = sizeof(kernel);
    message.msg_iov = pieces;
    message.msg_iovlen = 2;

    ssize_t sent;
    do {
        sent = ::sendmsg(diagnosis.get(), &message, 0);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        const int error = errno;
        diagnosis.reset();
        AP_LOG(Error, "cannot send sock_diag message", strerror(error));
        return {};
    }

    alignas(nlmsghdr) uint8_t reply[kReceiveBufferSize];
    ssize_t received;
    do {
        received = ::recv(diagnosis.get(), reply, sizeof(reply), 0);
    } while (received < 0 && errno == EINTR);
    if (received < 0) {
        const int error = errno;
        diagnosis.reset();
        AP_LOG(Error, "Error reseiving on netlink socket", strerror(error));
        return {};
    }
    if (received == 0) {
        AP_LOG(Error, "Socklink connection closed");
        return {};
    }
    AP_LOG(Verbose, "bytes received from netlink socket", static_cast<long>(received),
           client.sin6_port);

    // One receive holds the first sockets of the dump, and a client port is rarely shared, so
    // the first socket with an inode is taken as the client's.
    return inodeFromSockDiagReply(reply, static_cast<size_t>(received), ownerUserId);
}

bool linkNamesSocket(std::string_view linkText, const std::string& inode) {
    if (linkText.size() < kShortestSocketLink || !linkText.starts_with(kSocketLinkPrefix) ||
        !linkText.ends_with(']')) {
        return false;
    }
    return linkText.substr(kSocketLinkPrefix.size(),
                           linkText.size() - kSocketLinkPrefix.size() - 1) == inode;
}

bool socketInDirectory(const std::string& directory, const std::string& inode) {
    Directory entries(::opendir(directory.c_str()));
    if (!entries) {
        return false;
    }
    std::string prefix = directory;
    if (prefix.empty() || prefix.back() != '/') {
        prefix.push_back('/');
    }
    while (const dirent* entry = ::readdir(entries.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        const std::string path = prefix + entry->d_name;
        // A fresh buffer per entry: readlink does not terminate, and a failed call must not
        // leave the previous descriptor's text behind.
        char link[kLinkBufferSize] = {};
        ssize_t length = ::readlink(path.c_str(), link, sizeof(link) - 1);
        if (length < 0) {
            const int error = errno;
            AP_LOG(Warning, "readlink() failed", "path", directory, "inode", inode, "errno", error,
                   "description", strerror(error));
            length = 0;
        }
        if (linkNamesSocket(std::string_view(link, static_cast<size_t>(length)), inode)) {
            return true;
        }
    }
    return false;
}

int32_t pidFromDirectoryName(const char* name) {
    // Only plain digits: strtol would read "self" or "sys" as 0 and " 12" or "+12" as 12.
    const char* end = name + std::strlen(name);
    if (name == end || *name < '0' || *name > '9') {
        return -1;
    }
    int32_t pid = -1;
    auto [last, error] = std::from_chars(name, end, pid);
    if (error != std::errc() || last != end || pid <= 0) {
        return -1;
    }
    return pid;
}

std::string findPidText(const sockaddr_in6& client) {
    const pid_t self = ::getpid();
    uint32_t owner = 0;
    const std::string inode = findSocketInode(client, owner);
    if (inode.empty()) {
        AP_LOG(Error, "did not find inode");
        return {};
    }

    for (int32_t pid : userProcessList().copyOf(owner)) {
        if (socketInDirectory(descriptorDirectoryOf(pid), inode)) {
            return std::to_string(pid);
        }
    }

    Directory processes(::opendir("/proc/"));
    if (!processes) {
        return {};
    }
    while (const dirent* entry = ::readdir(processes.get())) {
        if (entry->d_type != DT_DIR) {
            continue;
        }
        const int32_t pid = pidFromDirectoryName(entry->d_name);
        if (pid == -1 || pid == self) {
            continue;
        }
        const std::string processDirectory = "/proc/" + std::to_string(pid);
        // Root's sockets may be held by processes of any user (after setuid, for instance), so
        // only other owners narrow the scan.
        if (owner != 0) {
            struct stat status;
            if (::stat(processDirectory.c_str(), &status) != 0 || status.st_uid != owner) {
                continue;
            }
        }
        if (socketInDirectory(processDirectory + "/fd/", inode)) {
            userProcessList().append(owner, pid);
            return std::to_string(pid);
        }
    }
    return {};
}

int32_t findPid(const sockaddr_in6& client) {
    const std::string text = findPidText(client);
    if (text.empty()) {
        return -1;
    }
    int32_t pid = -1;
    const char* end = text.data() + text.size();
    auto [last, error] = std::from_chars(text.data(), end, pid);
    if (error != std::errc() || last != end) {
        return -1;
    }
    return pid;
}

bool checkPid(int32_t pid, const sockaddr_in6& client) {
    uint32_t owner = 0;
    const std::string inode = findSocketInode(client, owner);
    if (inode.empty()) {
        AP_LOG(Error, "did not find inode");
        return false;
    }
    return socketInDirectory(descriptorDirectoryOf(pid), inode);
}

UserAndGroup readUserAndGroup(const std::string& pid) {
    return readUserAndGroupFromFile("/proc/" + pid + "/status");
}

UserAndGroup readUserAndGroupFromFile(const std::string& statusPath) {
    std::ifstream file(statusPath);
    if (!file) {
        return {};
    }
    UserAndGroup ids;
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string key;
        if (!(words >> key)) {
            continue;
        }
        // The first of the four numbers is the real id; effective, saved and filesystem ids
        // follow.
        if (key == "Uid:") {
            ids.userId = readId(words);
        } else if (key == "Gid:") {
            ids.groupId = readId(words);
        }
        if (ids.userId != -1 && ids.groupId != -1) {
            return ids;
        }
    }
    return {};
}

}  // namespace peer
