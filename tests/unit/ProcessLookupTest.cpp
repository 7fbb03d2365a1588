#include "access/ProcessLookup.h"

#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Message {
    uint16_t type;
    uint32_t length;
    uint32_t inode = 0;  // owned by user inode + 1000
    bool padded = true;
};

// Walks a reply built from the messages, less its last cut bytes. The walk sees a buffer of
// exactly that size, so reads past its end are caught.
std::string walk(const std::vector<Message>& messages, uint32_t& uid, size_t cut = 0) {
    std::vector<uint8_t> reply;
    for (const Message& m : messages) {
        std::vector<uint8_t> bytes(std::max<size_t>(m.length, sizeof(nlmsghdr)), 0);
        const nlmsghdr header{m.length, m.type, 0, 0, 0};
        std::memcpy(bytes.data(), &header, sizeof(header));
        if (bytes.size() >= sizeof(nlmsghdr) + sizeof(inet_diag_msg)) {
            inet_diag_msg socket{};
            socket.idiag_inode = m.inode;
            socket.idiag_uid = m.inode + 1000;
            std::memcpy(bytes.data() + sizeof(nlmsghdr), &socket, sizeof(socket));
        }
        bytes.resize(m.padded ? NLMSG_ALIGN(bytes.size()) : bytes.size(), 0);
        reply.insert(reply.end(), bytes.begin(), bytes.end());
    }
    reply.resize(reply.size() - cut);
    return peer::inodeFromSockDiagReply(reply.data(), reply.size(), uid);
}

TEST(ProcessLookupTest, ReplyWalkTakesTheFirstSocketWithAnInodeWithinBounds) {
    constexpr uint16_t D = 20;  // SOCK_DIAG_BY_FAMILY
    constexpr uint32_t S = sizeof(nlmsghdr) + sizeof(inet_diag_msg);
    uint32_t uid = 0;
    // Orphans (inode 0) are skipped; an unaligned length is rounded up.
    EXPECT_EQ(walk({{D, S}, {D, S + 2}, {D, S, 4711}, {D, S, 4712}}, uid), "4711");
    EXPECT_EQ(uid, 5711u);
    for (const auto& [messages, cut] : std::vector<std::pair<std::vector<Message>, size_t>>{
             {{}, 0},
             {{{D, 0}}, 6},                   // shorter than a header
             {{{D, 0}, {D, S, 1}}, 0},        // a zero length would never advance
             {{{D, S, 7}}, 4},                // the length claims more than was received
             {{{D, S - 4}, {D, S, 9}}, 0},    // a socket message cut short ends the walk
             {{{D, S + 2, 0, false}}, 0}}) {  // the last message ends off the 4-byte grid
        uid = 99;
        EXPECT_EQ(walk(messages, uid, cut), "");
        EXPECT_EQ(uid, 99u);
    }
}

TEST(ProcessLookupTest, SocketLinksMatchOnlyTheirWholeInode) {
    EXPECT_TRUE(peer::linkNamesSocket("socket:[1]", "1"));
    EXPECT_FALSE(peer::linkNamesSocket("socket:[]", ""));  // shorter than 10 characters
    EXPECT_FALSE(peer::linkNamesSocket("socket:[47]", "4711"));

    // Long links around short ones: whatever order the directory lists them in, a short one is
    // read after a long one and must not see its leftover characters.
    const fs::path directory = fs::temp_directory_path() / ("ap-links-" + std::to_string(getpid()));
    fs::create_directory(directory);
    for (int i = 0; i < 12; ++i) {
        fs::create_symlink("socket:[1234567" + std::to_string(10 + i) + "]",
                           directory / std::to_string(i));
    }
    fs::create_symlink("socket:[9]", directory / "short");
    EXPECT_TRUE(peer::socketInDirectory(directory, "9"));
    EXPECT_FALSE(peer::socketInDirectory(directory, "12345678"));
    fs::remove_all(directory);
}

TEST(ProcessLookupTest, UserAndGroupAreTheRealIdsOfTheStatusFile) {
    using Ids = std::pair<int32_t, int32_t>;
    const auto ids = [](const peer::UserAndGroup& read) { return Ids(read.userId, read.groupId); };
    EXPECT_EQ(ids(peer::readUserAndGroup(std::to_string(getpid()))), Ids(getuid(), getgid()));
    const fs::path path = fs::temp_directory_path() / ("ap-status-" + std::to_string(getpid()));
    for (const auto& [content, expected] : std::vector<std::pair<std::string, Ids>>{
             {"Name:\tx\nGid:\t100\t101\t102\t103\nUid:\t1000\t1001\t1002\t1003\n", {1000, 100}},
             // Without a Gid line the Uid already read is not handed out alone.
             {"Name:\tx\nUid:\t1000\t1000\t1000\t1000\nGroups:\t5\n", {-1, -1}},
             {"Uid:\t4294967295\nGid:\t3\n", {-1, -1}}}) {  // not a signed 32-bit id
        std::ofstream(path) << content;
        EXPECT_EQ(ids(peer::readUserAndGroupFromFile(path)), expected) << content;
    }
    fs::remove(path);
}

}  // namespace
