#include "access/ProcessLookup.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

sockaddr_in6 endpoint(const char* address, uint16_t port) {
    sockaddr_in6 result{AF_INET6, htons(port), 0, {}, 0};
    inet_pton(AF_INET6, address, &result.sin6_addr);
    return result;
}

// The request for the connection [2001:db8::10]:40000 -> [2001:db8::5]:443.
const peer::SockDiagRequest kSent =
    peer::makeSockDiagRequest(endpoint("2001:db8::10", 40000), endpoint("2001:db8::5", 443), 5);

struct Message {
    uint16_t type;
    uint32_t length;
    uint32_t inode = 0;  // owned by user inode + 1000; for NLMSG_ERROR the negative error
    bool padded = true;
    // What differs from the request: 1 source port, 2 destination port, 3 source address,
    // 4 destination address, 5 family, 6 sequence number, 7 all of a listening socket's.
    int differs = 0;
};

// Walks a reply built from the messages, less its last cut bytes. The walk sees a buffer of
// exactly that size, so reads past its end are caught.
std::string walk(const std::vector<Message>& messages, uint32_t& uid, size_t cut = 0) {
    std::vector<uint8_t> reply;
    for (const Message& m : messages) {
        std::vector<uint8_t> bytes(std::max<size_t>(m.length, sizeof(nlmsghdr)), 0);
        nlmsghdr header{m.length, m.type, 0, kSent.header.nlmsg_seq + (m.differs == 6), 0};
        inet_diag_msg socket{};
        socket.idiag_family = m.differs == 5 ? AF_INET : AF_INET6;
        socket.id = kSent.request.id;
        socket.id.idiag_sport ^= m.differs == 1;
        socket.id.idiag_dport = m.differs == 7 ? 0 : socket.id.idiag_dport ^ (m.differs == 2);
        socket.id.idiag_src[3] ^= m.differs == 3;
        socket.id.idiag_dst[0] = m.differs == 7 ? 0 : socket.id.idiag_dst[0] ^ (m.differs == 4);
        socket.idiag_inode = m.inode;
        socket.idiag_uid = m.inode + 1000;
        std::memcpy(bytes.data(), &header, sizeof(header));
        if (m.type == NLMSG_ERROR && bytes.size() >= sizeof(nlmsghdr) + sizeof(int)) {
            const int error = -static_cast<int>(m.inode);
            std::memcpy(bytes.data() + sizeof(nlmsghdr), &error, sizeof(error));
        } else if (bytes.size() >= sizeof(nlmsghdr) + sizeof(inet_diag_msg)) {
            std::memcpy(bytes.data() + sizeof(nlmsghdr), &socket, sizeof(socket));
        }
        bytes.resize(m.padded ? NLMSG_ALIGN(bytes.size()) : bytes.size(), 0);
        reply.insert(reply.end(), bytes.begin(), bytes.end());
    }
    reply.resize(reply.size() - cut);
    return peer::inodeFromSockDiagReply(reply.data(), reply.size(), kSent, uid);
}

// The walk must never read past the reply, loop on a zero length, or take a socket that is not the
// asked connection (the kernel answers with a listening socket when the connection is gone).
TEST(ProcessLookupTest, ReplyWalkTakesTheFirstSocketOfTheAskedConnectionWithinBounds) {
    constexpr uint16_t D = 20;  // SOCK_DIAG_BY_FAMILY
    constexpr uint32_t S = sizeof(nlmsghdr) + sizeof(inet_diag_msg);
    uint32_t uid = 0;
    // Other connections and orphans (inode 0) are passed over; an unaligned length is rounded up.
    EXPECT_EQ(walk({{D, S, 4710, true, 7}, {D, S}, {D, S + 2}, {D, S, 4711}, {D, S, 4712}}, uid),
              "4711");
    EXPECT_EQ(uid, 5711u);
    const std::vector<std::pair<std::vector<Message>, size_t>> rejected = {
        {{}, 0},
        {{{D, 0}}, 6},                               // shorter than a header
        {{{D, 0}, {D, S, 1}}, 0},                    // a zero length would never advance
        {{{D, S, 7}}, 4},                            // the length claims more than was received
        {{{D, S - 4}, {D, S, 9}}, 0},                // a socket message cut short ends the walk
        {{{D, S + 2, 0, false}}, 0},                 // the last message ends off the 4-byte grid
        {{{NLMSG_ERROR, S, ENOENT}, {D, S, 9}}, 0},  // no such connection; nothing after counts
        {{{D, S, 9, true, 1}}, 0},
        {{{D, S, 9, true, 2}}, 0},
        {{{D, S, 9, true, 3}}, 0},
        {{{D, S, 9, true, 4}}, 0},
        {{{D, S, 9, true, 5}}, 0},
        {{{D, S, 9, true, 6}}, 0},  // an answer to an earlier query
        {{{D, S, 9, true, 7}}, 0}};
    for (size_t row = 0; row < rejected.size(); ++row) {
        uid = 99;
        EXPECT_EQ(walk(rejected[row].first, uid, rejected[row].second), "") << row;
        EXPECT_EQ(uid, 99u) << row;
    }
}

// A look at one descriptor must not miss a socket moved elsewhere for good, and an ended process
// must be told apart from one that does not hold the socket.
TEST(ProcessLookupTest, CheckPidLooksAtOneDescriptorOrTheWholeTableAndTellsEndedProcesses) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    struct stat socketStatus;
    ASSERT_EQ(fstat(pair[1], &socketStatus), 0);
    const std::string inode = std::to_string(socketStatus.st_ino);
    using peer::Holding;
    const int32_t self = getpid();
    const int32_t ended = std::numeric_limits<int32_t>::max();
    for (const auto& [pid, hint, oneLook, wholeTable] :
         std::vector<std::tuple<int32_t, int, Holding, Holding>>{
             {self, pair[1], Holding::Holds, Holding::Holds},
             {self, pair[0], Holding::DoesNotHold, Holding::Holds},
             {self, 999999, Holding::DoesNotHold, Holding::Holds},
             {self, -1, Holding::DoesNotHold, Holding::Holds},
             {ended, pair[1], Holding::Gone, Holding::Gone}}) {
        int descriptor = hint;
        EXPECT_EQ(peer::checkPid(pid, inode, descriptor, false), oneLook) << hint;
        EXPECT_EQ(peer::checkPid(pid, inode, descriptor, true), wholeTable) << hint;
        // The whole table, wherever it starts, tells where the socket is.
        EXPECT_EQ(descriptor, pid == self ? pair[1] : hint) << hint;
    }
    int descriptor = -1;
    EXPECT_EQ(peer::checkPid(self, "1", descriptor, true), Holding::DoesNotHold);
    close(pair[0]);
    close(pair[1]);
}

// A link must match only its whole inode, whatever a longer link read before left in the buffer.
TEST(ProcessLookupTest, SocketLinksMatchOnlyTheirWholeInode) {
    EXPECT_TRUE(peer::linkNamesSocket("socket:[1]", "1"));
    EXPECT_FALSE(peer::linkNamesSocket("socket:[]", ""));  // shorter than 10 characters
    EXPECT_FALSE(peer::linkNamesSocket("socket:[47]", "4711"));

    const fs::path directory = fs::temp_directory_path() / ("ap-links-" + std::to_string(getpid()));
    fs::create_directory(directory);
    for (int i = 0; i < 12; ++i) {
        fs::create_symlink("socket:[1234567" + std::to_string(10 + i) + "]",
                           directory / std::to_string(i));
    }
    fs::create_symlink("socket:[9]", directory / "12");
    EXPECT_TRUE(peer::socketInDirectory(directory, "9"));
    EXPECT_FALSE(peer::socketInDirectory(directory, "12345678"));
    fs::remove_all(directory);
}

// Only a complete pair of real ids may be handed on.
TEST(ProcessLookupTest, UserAndGroupAreTheRealIdsOfTheStatusFile) {
    using Ids = std::pair<int32_t, int32_t>;
    const auto ids = [](const peer::UserAndGroup& read) { return Ids(read.userId, read.groupId); };
    EXPECT_EQ(ids(peer::readUserAndGroup(std::to_string(getpid()))), Ids(getuid(), getgid()));
    const fs::path path = fs::temp_directory_path() / ("ap-status-" + std::to_string(getpid()));
    for (const auto& [content, expected] : std::vector<std::pair<std::string, Ids>>{
             {"Name:\tx\nGid:\t100\t101\t102\t103\nUid:\t1000\t1001\t1002\t1003\n", {1000, 100}},
             // Without a Gid line the Uid already read is not handed out alone.
             {"Name:\tx\nUid:\t1000\t1000\t1000\t1000\nGroups:\t5\n", {-1, -1}},
             {"Uid:\t4294967295\nGid:\t3\n", {-1, -1}},  // not a signed 32-bit id
             {"Gid:\t3\n Uid: 7", {7, 3}}}) {            // a last line without a newline
        std::ofstream(path) << content;
        EXPECT_EQ(ids(peer::readUserAndGroupFromFile(path)), expected) << content;
    }
    fs::remove(path);
}

}  // namespace
