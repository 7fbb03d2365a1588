#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Finding the local process that holds the client end of a TCP connection, from the kernel's
// socket diagnosis (netlink sock_diag) and the descriptor tables under /proc, and reading that
// process's user and group.
//
// Every function here is callable from any thread; the process-wide per-user list behind
// findPid guards itself. Nothing throws: failures come back as -1 or empty text, and the caller
// decides what to do with the connection.
namespace peer {

// Real user and group ids of a process; both -1 when they could not be read.
struct UserAndGroup {
    int32_t userId = -1;
    int32_t groupId = -1;
};

// The inode number ("%u") of the TCP socket whose local end is the given address, or empty
// text when the kernel reports none (for instance after the client closed it). On success the
// socket owner's user id is stored in ownerUserId.
std::string findSocketInode(const sockaddr_in6& client, uint32_t& ownerUserId);

// Walks a sock_diag reply and returns the inode of its first socket with a non-zero inode,
// storing that socket's owner in ownerUserId; empty text when the reply ends, reports an error
// or runs out of well-formed messages first.
std::string inodeFromSockDiagReply(const uint8_t* data, size_t size, uint32_t& ownerUserId);

// Whether one of the descriptors in the directory (e.g. "/proc/42/fd/") is the socket with
// this inode.
bool socketInDirectory(const std::string& directory, const std::string& inode);

// Whether a descriptor link text ("socket:[12345]") names the socket with this inode.
bool linkNamesSocket(std::string_view linkText, const std::string& inode);

// The process id a /proc entry name stands for, or -1 for names that are not a plain decimal
// process id ("self", "sys", "12a", out of range).
int32_t pidFromDirectoryName(const char* name);

// The full lookup: the process (never this one) holding the client socket, as decimal text,
// or empty text. Tries the processes found before for the socket's owner, then scans /proc.
std::string findPidText(const sockaddr_in6& client);

// findPidText converted to a process id; -1 when no process was found.
int32_t findPid(const sockaddr_in6& client);

// Whether the process still holds the client socket.
bool checkPid(int32_t pid, const sockaddr_in6& client);

// Reads "/proc/<pid>/status".
UserAndGroup readUserAndGroup(const std::string& pid);

// Reads a status file in the format of /proc/<pid>/status.
UserAndGroup readUserAndGroupFromFile(const std::string& statusPath);

}  // namespace peer
