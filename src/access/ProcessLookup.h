#pragma once

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Finding the local process that holds the client end of a TCP connection, from the kernel's
// socket diagnosis (netlink sock_diag) and the descriptor tables under /proc, and reading that
// process's user and group.
//
// Every function here is callable from any thread and keeps no state shared between threads
// (each thread keeps its own netlink socket). Nothing throws: failures come back as -1, empty
// text or "not found", and the caller decides what to do with the connection.
namespace peer {

// Real user and group ids of a process; both -1 when they could not be read.
struct UserAndGroup {
    int32_t userId = -1;
    int32_t groupId = -1;
};

// What one look at a process's descriptor table found.
enum class Holding {
    Holds,
    DoesNotHold,
    // The process has ended; its id means nothing any more (or soon names another process).
    Gone,
};

// One sock_diag request as it goes to the kernel: the netlink header and the request body.
struct SockDiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 request;
};

// The request for exactly one TCP connection: the socket whose local end is `client` and whose
// remote end is `destination`. No dump: the kernel looks the socket up by this 4-tuple.
SockDiagRequest makeSockDiagRequest(const sockaddr_in6& client, const sockaddr_in6& destination,
                                    uint32_t sequence);

// Walks the reply to `sent` and returns the inode of its first socket with a non-zero inode
// whose addresses and ports are the requested ones, storing that socket's owner in ownerUserId;
// empty text when the reply ends, reports an error or runs out of well-formed messages first.
// Messages answering another request are passed over.
std::string inodeFromSockDiagReply(const uint8_t* data, size_t size, const SockDiagRequest& sent,
                                   uint32_t& ownerUserId);

// The inode number ("%u") of the TCP socket connected from `client` to `destination`, or empty
// text when the kernel reports none (for instance after the client closed it). On success the
// socket owner's user id is stored in ownerUserId.
//
// A redirected connection's client socket still names the destination it connected to, so
// `destination` is the connection's original destination, not the proxy's address.
std::string findSocketInode(const sockaddr_in6& client, const sockaddr_in6& destination,
                            uint32_t& ownerUserId);

// Whether a descriptor link text ("socket:[12345]") names the socket with this inode.
bool linkNamesSocket(std::string_view linkText, const std::string& inode);

// Whether one of the descriptors in the directory (e.g. "/proc/42/fd/") is the socket with
// this inode.
bool socketInDirectory(const std::string& directory, const std::string& inode);

// Whether the process holds the socket with this inode. With `wholeTable` false only
// `descriptor` is looked at (one readlink; a process that closes and reconnects usually gets
// the same descriptor again), and DoesNotHold means only that it does not hold the socket
// there. With `wholeTable` true every descriptor is, starting after `descriptor` (-1 for the
// first) and wrapping round, and `descriptor` is set to where the socket was found.
Holding checkPid(int32_t pid, const std::string& inode, int& descriptor, bool wholeTable);

// The ids of the processes that exist now, ascending.
std::vector<int32_t> listProcesses();

// The process id a /proc entry name stands for, or -1 for names that are not a plain decimal
// process id ("self", "sys", "12a", out of range).
int32_t pidFromDirectoryName(const char* name);

// The full scan of /proc: the process (never this one, nor one listed in `skip`, ascending)
// holding the socket, or -1; `descriptor` is set to where it holds it. Unless the owner is root,
// only processes running as the socket's owner are visited. The newest processes come first.
int32_t findPid(const std::string& inode, uint32_t ownerUserId, const std::vector<int32_t>& skip,
                int& descriptor);

// Reads "/proc/<pid>/status".
UserAndGroup readUserAndGroup(const std::string& pid);

// Reads a status file in the format of /proc/<pid>/status.
UserAndGroup readUserAndGroupFromFile(const std::string& statusPath);

}  // namespace peer
