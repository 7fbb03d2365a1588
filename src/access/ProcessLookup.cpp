#include "access/ProcessLookup.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/sock_diag.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <utility>
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
// "/proc/" + a 32-bit id + "/fd/" + a descriptor number, terminated.
constexpr size_t kProcPathSize = 48;
// How many of the most recently handed out ids the full scan tries before it lists /proc: a new
// client's own id, and its first threads' after it.
constexpr int32_t kNewestProbed = 32;

class Descriptor {
public:
    explicit Descriptor(int descriptor = -1) : descriptor_(descriptor) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return descriptor_; }
    void reset(int descriptor = -1) {
        if (descriptor_ != -1) {
            ::close(descriptor_);
        }
        descriptor_ = descriptor;
    }

private:
    int descriptor_;
};

// Reads one descriptor link below the directory into a fresh buffer: readlink does not
// terminate, and a failed call must not leave an earlier descriptor's text behind.
bool descriptorIsSocket(int directory, const char* name, const std::string& inode,
                        const char* directoryPath) {
    char link[kLinkBufferSize] = {};
    ssize_t length = ::readlinkat(directory, name, link, sizeof(link) - 1);
    if (length < 0) {
        const int error = errno;
        AP_LOG(Warning, "readlink() failed", "path", directoryPath, "inode", inode, "errno", error,
               "description", strerror(error));
        length = 0;
    }
    return linkNamesSocket(std::string_view(link, static_cast<size_t>(length)), inode);
}

// The entries of an open directory whose names are plain non-negative numbers, ascending;
// with directoriesOnly, only those that are directories. The descriptor stays the caller's.
std::vector<int> numericEntries(int directoryDescriptor, bool directoriesOnly = false) {
    std::vector<int> numbers;
    // Straight from the kernel: a DIR stream would cost three more system calls per table.
    alignas(dirent64) char buffer[4096];
    for (ssize_t got; (got = ::getdents64(directoryDescriptor, buffer, sizeof(buffer))) > 0;) {
        for (ssize_t offset = 0; offset < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
            offset += entry->d_reclen;
            if (directoriesOnly && entry->d_type != DT_DIR) {
                continue;
            }
            int number = -1;
            const char* end = entry->d_name + std::strlen(entry->d_name);
            auto [last, error] = std::from_chars(entry->d_name, end, number);
            if (error == std::errc() && last == end && number >= 0) {
                numbers.push_back(number);
            }
        }
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

// Looks through the descriptors of an open descriptor directory (taken over) for the socket,
// starting after `descriptor` and wrapping round: a client that recycles its connections in
// turn connects again on the next descriptor each time. Sets `descriptor` to where it is found.
bool scanDescriptors(int directory, const std::string& inode, const char* directoryPath,
                     int& descriptor) {
    const Descriptor entries(directory);
    const std::vector<int> descriptors = numericEntries(entries.get());
    const size_t start = static_cast<size_t>(
        std::upper_bound(descriptors.begin(), descriptors.end(), descriptor) - descriptors.begin());
    for (size_t i = 0; i < descriptors.size(); ++i) {
        const int candidate = descriptors[(start + i) % descriptors.size()];
        char name[16];
        *std::to_chars(name, name + sizeof(name) - 1, candidate).ptr = '\0';
        if (descriptorIsSocket(entries.get(), name, inode, directoryPath)) {
            descriptor = candidate;
            return true;
        }
    }
    return false;
}

enum class ProcessKind { Process, NoProcess, Unknown };

// Whether the id is a process's (a thread group's leader, as /proc lists them); NoProcess for a
// free id or another thread's; Unknown where the kernel cannot tell (too old, or not allowed).
ProcessKind processKind(int32_t pid) {
#ifdef SYS_pidfd_open
    const int handle = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (handle != -1) {
        ::close(handle);
        return ProcessKind::Process;
    }
    return errno == ESRCH || errno == EINVAL ? ProcessKind::NoProcess : ProcessKind::Unknown;
#else
    (void)pid;
    return ProcessKind::Unknown;
#endif
}

// The id the kernel handed out last in this process's pid namespace, or -1.
int32_t lastProcessId() {
    Descriptor file(::open("/proc/sys/kernel/ns_last_pid", O_RDONLY | O_CLOEXEC));
    char text[16] = {};
    const ssize_t length = file.get() == -1 ? -1 : ::read(file.get(), text, sizeof(text) - 1);
    int32_t pid = -1;
    if (length > 0) {
        std::from_chars(text, text + length, pid);
    }
    return pid;
}

// Opens "/proc/<pid>/fd"; -1 with errno set when it cannot be opened.
int openDescriptorDirectory(int32_t pid, char (&path)[kProcPathSize]) {
    std::snprintf(path, sizeof(path), "/proc/%d/fd/", pid);
    return ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

constexpr const char* kWhitespace = " \t\n\r\v\f";

// Splits off the first whitespace-separated word.
std::string_view nextWord(std::string_view& text) {
    const size_t start = std::min(text.find_first_not_of(kWhitespace), text.size());
    text.remove_prefix(start);
    const size_t end = std::min(text.find_first_of(kWhitespace), text.size());
    const std::string_view word = text.substr(0, end);
    text.remove_prefix(end);
    return word;
}

// The word as a non-negative id that fits the signed 32-bit result; -1 for anything else, so a
// damaged line never passes for a real id.
int32_t idFrom(std::string_view word) {
    uint32_t value = 0;
    const char* end = word.data() + word.size();
    auto [last, error] = std::from_chars(word.data(), end, value);
    if (word.empty() || error != std::errc() || last != end ||
        value > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
        return -1;
    }
    return static_cast<int32_t>(value);
}

// One status line: fills the id whose key begins the line. The first of the four numbers is
// the real id; effective, saved and filesystem ids follow.
void readStatusLine(std::string_view line, UserAndGroup& ids) {
    const std::string_view key = nextWord(line);
    if (key == "Uid:") {
        ids.userId = idFrom(nextWord(line));
    } else if (key == "Gid:") {
        ids.groupId = idFrom(nextWord(line));
    }
}

}  // namespace

SockDiagRequest makeSockDiagRequest(const sockaddr_in6& client, const sockaddr_in6& destination,
                                    uint32_t sequence) {
    SockDiagRequest sent{};
    sent.header.nlmsg_len = sizeof(nlmsghdr) + sizeof(inet_diag_req_v2);
    sent.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    sent.header.nlmsg_flags = NLM_F_REQUEST;
    sent.header.nlmsg_seq = sequence;
    inet_diag_req_v2& request = sent.request;
    request.sdiag_family = AF_INET6;
    request.sdiag_protocol = IPPROTO_TCP;
    request.idiag_states = kAllTcpStates;
    request.id.idiag_sport = client.sin6_port;
    request.id.idiag_dport = destination.sin6_port;
    std::memcpy(request.id.idiag_src, &client.sin6_addr, sizeof(client.sin6_addr));
    std::memcpy(request.id.idiag_dst, &destination.sin6_addr, sizeof(destination.sin6_addr));
    // A link-local client's socket is bound to its interface; others match any.
    request.id.idiag_if = client.sin6_scope_id;
    request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    return sent;
}

std::string inodeFromSockDiagReply(const uint8_t* data, size_t size, const SockDiagRequest& sent,
                                   uint32_t& ownerUserId) {
    const inet_diag_sockid& asked = sent.request.id;
    size_t offset = 0;
    while (size - offset >= sizeof(nlmsghdr)) {
        nlmsghdr header;
        std::memcpy(&header, data + offset, sizeof(header));
        const size_t remaining = size - offset;
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > remaining) {
            break;
        }
        if (header.nlmsg_seq == sent.header.nlmsg_seq) {
            if (header.nlmsg_type == NLMSG_ERROR) {
                nlmsgerr failure{};
                if (header.nlmsg_len >= sizeof(nlmsghdr) + sizeof(failure.error)) {
                    std::memcpy(&failure.error, data + offset + sizeof(nlmsghdr),
                                sizeof(failure.error));
                }
                // ENOENT is the kernel's plain answer that no such connection exists (any more).
                if (failure.error != -ENOENT) {
                    AP_LOG(Error, "netlink message error", "errno", -failure.error);
                }
                break;
            }
            if (header.nlmsg_type == NLMSG_DONE ||
                header.nlmsg_len < sizeof(nlmsghdr) + sizeof(inet_diag_msg)) {
                break;
            }
            inet_diag_msg socket;
            std::memcpy(&socket, data + offset + sizeof(nlmsghdr), sizeof(socket));
            // Without a connection of that 4-tuple the kernel falls back to a listening socket
            // on the client's port, which may belong to any process.
            const inet_diag_sockid& found = socket.id;
            const bool asRequested =
                socket.idiag_family == AF_INET6 && found.idiag_sport == asked.idiag_sport &&
                found.idiag_dport == asked.idiag_dport &&
                std::memcmp(found.idiag_src, asked.idiag_src, sizeof(asked.idiag_src)) == 0 &&
                std::memcmp(found.idiag_dst, asked.idiag_dst, sizeof(asked.idiag_dst)) == 0;
            if (asRequested && socket.idiag_inode != 0) {
                ownerUserId = socket.idiag_uid;
                return std::to_string(socket.idiag_inode);
            }
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

std::string findSocketInode(const sockaddr_in6& client, const sockaddr_in6& destination,
                            uint32_t& ownerUserId) {
    // One socket per thread for the thread's lifetime: creating one per lookup costs more than
    // the query. After any failure it is replaced, so no late reply can answer a later query.
    thread_local Descriptor diagnosis;
    thread_local uint32_t sequence = 0;
    if (diagnosis.get() == -1) {
        diagnosis.reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
        if (diagnosis.get() == -1) {
            const int error = errno;
            AP_LOG(Error, "Could not create netlink diagnosis socket", strerror(error));
            return {};
        }
    }

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    kernel.nl_pid = 0;
    SockDiagRequest sent = makeSockDiagRequest(client, destination, ++sequence);
    iovec pieces[2] = {{&sent.header, sizeof(sent.header)}, {&sent.request, sizeof(sent.request)}};
    msghdr message{};
    message.msg_name = &kernel;
    message.msg_namelen = sizeof(kernel);
    message.msg_iov = pieces;
    message.msg_iovlen = 2;

    ssize_t sentBytes;
    do {
        sentBytes = ::sendmsg(diagnosis.get(), &message, 0);
    } while (sentBytes < 0 && errno == EINTR);
    if (sentBytes < 0) {
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
        diagnosis.reset();
        return {};
    }
    AP_LOG(Verbose, "bytes received from netlink socket", static_cast<long>(received),
           client.sin6_port);
    return inodeFromSockDiagReply(reply, static_cast<size_t>(received), sent, ownerUserId);
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
    const int entries = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int descriptor = -1;
    return entries != -1 && scanDescriptors(entries, inode, directory.c_str(), descriptor);
}

Holding checkPid(int32_t pid, const std::string& inode, int& descriptor, bool wholeTable) {
    char path[kProcPathSize];
    if (!wholeTable) {
        if (descriptor < 0) {
            return Holding::DoesNotHold;
        }
        std::snprintf(path, sizeof(path), "/proc/%d/fd/%d", pid, descriptor);
        char link[kLinkBufferSize] = {};
        const ssize_t length = ::readlink(path, link, sizeof(link) - 1);
        if (length < 0) {
            // The descriptor is closed, or the whole process has ended.
            return ::kill(pid, 0) == -1 && errno == ESRCH ? Holding::Gone : Holding::DoesNotHold;
        }
        return linkNamesSocket(std::string_view(link, static_cast<size_t>(length)), inode)
                   ? Holding::Holds
                   : Holding::DoesNotHold;
    }
    const int directory = openDescriptorDirectory(pid, path);
    if (directory == -1) {
        return errno == ENOENT || errno == ESRCH ? Holding::Gone : Holding::DoesNotHold;
    }
    return scanDescriptors(directory, inode, path, descriptor) ? Holding::Holds
                                                               : Holding::DoesNotHold;
}

std::vector<int32_t> listProcesses() {
    const Descriptor processes(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (processes.get() == -1) {
        return {};
    }
    std::vector<int32_t> pids = numericEntries(processes.get(), true);
    // No process has the id 0.
    pids.erase(pids.begin(), std::upper_bound(pids.begin(), pids.end(), 0));
    return pids;
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

int32_t findPid(const std::string& inode, uint32_t ownerUserId, const std::vector<int32_t>& skip,
                int& descriptor) {
    const pid_t self = ::getpid();
    std::vector<int32_t> visited;
    // Whether the process (neither this one nor one to skip) holds the socket.
    const auto holds = [&](int32_t pid) {
        if (pid == self || std::binary_search(skip.begin(), skip.end(), pid)) {
            return false;
        }
        visited.push_back(pid);
        char path[kProcPathSize];
        // Root's sockets may be held by processes of any user (after setuid, for instance), so
        // only other owners narrow the scan.
        if (ownerUserId != 0) {
            std::snprintf(path, sizeof(path), "/proc/%d", pid);
            struct stat status;
            if (::stat(path, &status) != 0 || status.st_uid != ownerUserId) {
                return false;
            }
        }
        descriptor = -1;
        const int directory = openDescriptorDirectory(pid, path);
        return directory != -1 && scanDescriptors(directory, inode, path, descriptor);
    };

    // Newest first: a client that is not cached yet has most often just started, and ids are
    // handed out in rising order. The last few ids are tried straight away, since listing /proc
    // costs more than all of them together.
    const int32_t last = lastProcessId();
    for (int32_t pid = last; pid > 0 && pid > last - kNewestProbed; --pid) {
        const ProcessKind kind = processKind(pid);
        if (kind == ProcessKind::Unknown) {
            break;
        }
        if (kind == ProcessKind::Process && holds(pid)) {
            return pid;
        }
    }

    // Then every process, still newest first: ids wrap round, so those at and below the last
    // one handed out come before those at the top.
    const std::vector<int32_t> pids = listProcesses();
    std::sort(visited.begin(), visited.end());
    const auto newest =
        std::make_reverse_iterator(std::upper_bound(pids.begin(), pids.end(), last));
    for (const auto& [from, to] :
         {std::pair(newest, pids.rend()), std::pair(pids.rbegin(), newest)}) {
        for (auto pid = from; pid != to; ++pid) {
            if (!std::binary_search(visited.begin(), visited.end(), *pid) && holds(*pid)) {
                return *pid;
            }
        }
    }
    return -1;
}

UserAndGroup readUserAndGroup(const std::string& pid) {
    return readUserAndGroupFromFile("/proc/" + pid + "/status");
}

UserAndGroup readUserAndGroupFromFile(const std::string& statusPath) {
    Descriptor file(::open(statusPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() == -1) {
        return {};
    }
    // Plain reads: the two lines come within the first kilobyte, and the file is read in as few
    // system calls as possible, once per forward connection.
    UserAndGroup ids;
    std::string text;
    char chunk[1024];
    for (;;) {
        const ssize_t got = ::read(file.get(), chunk, sizeof(chunk));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        const bool ended = got <= 0;
        if (!ended) {
            text.append(chunk, static_cast<size_t>(got));
        }
        size_t lineStart = 0;
        while (lineStart < text.size()) {
            size_t lineEnd = text.find('\n', lineStart);
            if (lineEnd == std::string::npos) {
                // Only at the end does a last line without a newline count.
                if (!ended) {
                    break;
                }
                lineEnd = text.size();
            }
            readStatusLine(std::string_view(text).substr(lineStart, lineEnd - lineStart), ids);
            if (ids.userId != -1 && ids.groupId != -1) {
                return ids;
            }
            lineStart = lineEnd + 1;
        }
        if (ended) {
            return {};
        }
        text.erase(0, lineStart);
    }
}

}  // namespace peer
