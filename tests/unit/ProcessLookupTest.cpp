#include "access/ProcessLookup.h"

#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "LoopbackPeer.h"
#include "RecordingLogger.h"

namespace {

using peer_testing::DescriptorHoldingChild;
using peer_testing::LoopbackConnection;

// A directory under /tmp that is removed with everything in it.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        char pattern[] = "/tmp/ProcessLookupTest.XXXXXX";
        if (::mkdtemp(pattern) != nullptr) {
            path_ = pattern;
        }
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        if (!path_.empty()) {
            std::filesystem::remove_all(path_, ignored);
        }
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name, const std::string& content) const {
        const std::string full = path_ + "/" + name;
        std::ofstream(full) << content;
        return full;
    }

private:
    std::string path_;
};

// One netlink message of the given length; a socket message carries the inode and owner.
void appendMessage(std::vector<uint8_t>& reply, uint16_t type, uint32_t length, uint32_t inode = 0,
                   uint32_t uid = 0, bool pad = true) {
    std::vector<uint8_t> message(std::max<size_t>(length, sizeof(nlmsghdr)), 0);
    nlmsghdr header{};
    header.nlmsg_len = length;
    header.nlmsg_type = type;
    std::memcpy(message.data(), &header, sizeof(header));
    if (message.size() >= sizeof(nlmsghdr) + sizeof(inet_diag_msg)) {
        inet_diag_msg socket{};
        socket.idiag_inode = inode;
        socket.idiag_uid = uid;
        std::memcpy(message.data() + sizeof(nlmsghdr), &socket, sizeof(socket));
    }
    if (pad) {
        message.resize(NLMSG_ALIGN(message.size()), 0);
    }
    reply.insert(reply.end(), message.begin(), message.end());
}

constexpr uint32_t kSocketMessage = sizeof(nlmsghdr) + sizeof(inet_diag_msg);
constexpr uint16_t kSockDiagByFamily = 20;

std::string walk(const std::vector<uint8_t>& reply, uint32_t& uid) {
    // Copied to a buffer of exactly the reply's size so reads past its end are caught.
    std::vector<uint8_t> exact(reply);
    return peer::inodeFromSockDiagReply(exact.data(), exact.size(), uid);
}

TEST(ProcessLookupTest, ReplyWalkTakesTheFirstSocketWithAnInodeWithinBounds) {
    testing_support::RecordingLogger logger;
    uint32_t uid = 99;

    std::vector<uint8_t> reply;
    appendMessage(reply, kSockDiagByFamily, kSocketMessage, 0, 5);        // orphan: skipped
    appendMessage(reply, kSockDiagByFamily, kSocketMessage + 2, 0, 5);    // unaligned length
    appendMessage(reply, kSockDiagByFamily, kSocketMessage, 4711, 1234);  // the answer
    appendMessage(reply, kSockDiagByFamily, kSocketMessage, 4712, 4321);
    EXPECT_EQ(walk(reply, uid), "4711");
    EXPECT_EQ(uid, 1234u);

    const auto noAnswer = [&](const std::vector<uint8_t>& bytes) {
        uid = 99;
        const std::string inode = walk(bytes, uid);
        return inode.empty() && uid == 99;
    };
    EXPECT_TRUE(noAnswer({}));
    EXPECT_TRUE(noAnswer(std::vector<uint8_t>(10, 0)));  // shorter than a header

    std::vector<uint8_t> zeroLength;  // would never advance
    appendMessage(zeroLength, kSockDiagByFamily, 0);
    appendMessage(zeroLength, kSockDiagByFamily, kSocketMessage, 1, 1);
    EXPECT_TRUE(noAnswer(zeroLength));

    std::vector<uint8_t> truncated;  // length claims more than was received
    appendMessage(truncated, kSockDiagByFamily, kSocketMessage, 7, 7);
    truncated.resize(truncated.size() - 4);
    EXPECT_TRUE(noAnswer(truncated));

    std::vector<uint8_t> done;
    appendMessage(done, NLMSG_DONE, sizeof(nlmsghdr) + 4);
    appendMessage(done, kSockDiagByFamily, kSocketMessage, 8, 8);
    EXPECT_TRUE(noAnswer(done));

    std::vector<uint8_t> tooShort;  // a socket message cut short ends the walk
    appendMessage(tooShort, kSockDiagByFamily, kSocketMessage - 4);
    appendMessage(tooShort, kSockDiagByFamily, kSocketMessage, 9, 9);
    EXPECT_TRUE(noAnswer(tooShort));

    std::vector<uint8_t> unpaddedLast;  // the last message ends off the 4-byte grid
    appendMessage(unpaddedLast, kSockDiagByFamily, kSocketMessage + 2, 0, 0, false);
    EXPECT_TRUE(noAnswer(unpaddedLast));

    EXPECT_EQ(logger.count("netlink message error"), 0u);
    std::vector<uint8_t> error;
    appendMessage(error, NLMSG_ERROR, sizeof(nlmsghdr) + sizeof(nlmsgerr));
    appendMessage(error, kSockDiagByFamily, kSocketMessage, 10, 10);
    EXPECT_TRUE(noAnswer(error));
    EXPECT_EQ(logger.count("ERROR   : netlink message error"), 1u);
}

TEST(ProcessLookupTest, SocketInodeOfALoopbackClientIsFoundInOurDescriptors) {
    testing_support::RecordingLogger logger;
    LoopbackConnection connection;
    ASSERT_TRUE(connection.ok());

    struct stat status;
    ASSERT_EQ(::fstat(connection.clientDescriptor(), &status), 0);
    uint32_t uid = 12345;
    const std::string inode = peer::findSocketInode(connection.clientAddress(), uid);
    EXPECT_EQ(inode, std::to_string(status.st_ino));
    EXPECT_EQ(uid, ::getuid());
    EXPECT_TRUE(logger.contains("VERBOSE : bytes received from netlink socket : "));

    EXPECT_TRUE(peer::socketInDirectory("/proc/self/fd/", inode));
    EXPECT_TRUE(peer::socketInDirectory("/proc/self/fd", inode));
    EXPECT_FALSE(peer::socketInDirectory("/proc/self/fd/", inode + "0"));
    EXPECT_FALSE(peer::socketInDirectory("/nonexistent-directory/", inode));
    EXPECT_TRUE(peer::checkPid(::getpid(), connection.clientAddress()));
    EXPECT_FALSE(peer::checkPid(1, connection.clientAddress()));

    // Once closed, the client end lingers as an orphan with inode 0, which is no answer.
    connection.closeClient();
    uid = 12345;
    EXPECT_EQ(peer::findSocketInode(connection.clientAddress(), uid), "");
    EXPECT_EQ(uid, 12345u);
    logger.clear();
    EXPECT_FALSE(peer::checkPid(::getpid(), connection.clientAddress()));
    EXPECT_EQ(logger.count("ERROR   : did not find inode"), 1u);
}

TEST(ProcessLookupTest, FullLookupFindsAnotherProcessHoldingTheSocketNeverThisOne) {
    testing_support::RecordingLogger logger;
    LoopbackConnection connection;
    ASSERT_TRUE(connection.ok());

    // Only this process holds the socket, and this process is never an answer.
    EXPECT_EQ(peer::findPid(connection.clientAddress()), -1);
    EXPECT_EQ(peer::findPidText(connection.clientAddress()), "");

    {
        DescriptorHoldingChild child;
        ASSERT_GT(child.pid(), 0);
        EXPECT_EQ(peer::findPid(connection.clientAddress()), child.pid());
        // Again, now from the processes remembered for the owner.
        EXPECT_EQ(peer::findPidText(connection.clientAddress()), std::to_string(child.pid()));
        child.release();
    }
    // The remembered child is gone: it is tried, skipped, and the scan finds no one else.
    EXPECT_EQ(peer::findPid(connection.clientAddress()), -1);

    connection.closeClient();
    logger.clear();
    EXPECT_EQ(peer::findPid(connection.clientAddress()), -1);
    EXPECT_EQ(logger.count("ERROR   : did not find inode"), 1u);
}

// Runs in a forked child: becomes the given user, connects to the address, reports its client
// end on the report pipe and holds the socket until the release pipe ends.
[[noreturn]] void connectAsUser(uid_t user, const sockaddr_in6& server, int report, int release) {
    ::alarm(60);
    sockaddr_in6 local{};
    if (::setgid(user) == 0 && ::setuid(user) == 0) {
        // Changing credentials hands /proc/<pid> to root; a process started normally by that
        // user would own it.
        ::prctl(PR_SET_DUMPABLE, 1);
        const int client = ::socket(AF_INET6, SOCK_STREAM, 0);
        socklen_t length = sizeof(local);
        if (client == -1 ||
            ::connect(client, reinterpret_cast<const sockaddr*>(&server), sizeof(server)) != 0 ||
            ::getsockname(client, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
            local = sockaddr_in6{};
        }
    }
    if (::write(report, &local, sizeof(local)) != static_cast<ssize_t>(sizeof(local))) {
        ::_exit(1);
    }
    char byte;
    while (::read(release, &byte, 1) < 0 && errno == EINTR) {
    }
    ::_exit(0);
}

TEST(ProcessLookupTest, FullLookupOfAnotherUsersSocketScansThatUsersProcesses) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "starting a process of another user needs root";
    }
    constexpr uid_t kNobody = 65534;
    const int listener = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_NE(listener, -1);
    sockaddr_in6 server{};
    server.sin6_family = AF_INET6;
    server.sin6_addr = in6addr_loopback;
    socklen_t length = sizeof(server);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&server), sizeof(server)), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&server), &length), 0);

    int report[2];
    int release[2];
    ASSERT_EQ(::pipe(report), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(report[0]);
        ::close(release[1]);
        connectAsUser(kNobody, server, report[1], release[0]);
    }
    ::close(report[1]);
    ::close(release[0]);
    struct Cleanup {
        pid_t child;
        int report;
        int release;
        int listener;
        ~Cleanup() {
            ::close(release);
            if (child > 0) {
                while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
                }
            }
            ::close(report);
            ::close(listener);
        }
    } cleanup{child, report[0], release[1], listener};
    ASSERT_GT(child, 0);

    // The child writes its address or exits, so this read ends either way.
    sockaddr_in6 client{};
    ASSERT_EQ(::read(report[0], &client, sizeof(client)), static_cast<ssize_t>(sizeof(client)));
    ASSERT_EQ(client.sin6_family, AF_INET6) << "the child could not connect as another user";

    uint32_t owner = 0;
    EXPECT_FALSE(peer::findSocketInode(client, owner).empty());
    EXPECT_EQ(owner, kNobody);
    EXPECT_EQ(peer::findPid(client), child);
    EXPECT_EQ(peer::findPid(client), child);  // now from that user's remembered processes
}

TEST(ProcessLookupTest, SocketLinksMatchOnlyTheirWholeInode) {
    EXPECT_TRUE(peer::linkNamesSocket("socket:[4711]", "4711"));
    EXPECT_TRUE(peer::linkNamesSocket("socket:[1]", "1"));
    EXPECT_FALSE(peer::linkNamesSocket("socket:[]", ""));  // shorter than 10 characters
    EXPECT_FALSE(peer::linkNamesSocket("socket:[47]", "4711"));
    EXPECT_FALSE(peer::linkNamesSocket("socket:[4711]", "471"));
    EXPECT_FALSE(peer::linkNamesSocket("socket:[4711", "4711"));
    EXPECT_FALSE(peer::linkNamesSocket("pipe:[4711]", "4711"));
    EXPECT_FALSE(peer::linkNamesSocket("", ""));

    testing_support::RecordingLogger logger;
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    // Long links around a short one: whatever order the directory lists them in, the short
    // link is read after a long one at least once and must not see its leftover characters.
    for (int i = 0; i < 6; ++i) {
        const std::string target = "socket:[12345678" + std::to_string(i) + "]";
        ASSERT_EQ(::symlink(target.c_str(), (directory.path() + "/a" + std::to_string(i)).c_str()),
                  0);
    }
    ASSERT_EQ(::symlink("socket:[9]", (directory.path() + "/b").c_str()), 0);
    for (int i = 0; i < 6; ++i) {
        const std::string target = "socket:[87654321" + std::to_string(i) + "]";
        ASSERT_EQ(::symlink(target.c_str(), (directory.path() + "/c" + std::to_string(i)).c_str()),
                  0);
    }
    ASSERT_EQ(::symlink("socket:[]", (directory.path() + "/d").c_str()), 0);
    directory.file("plain", "not a link");

    EXPECT_TRUE(peer::socketInDirectory(directory.path(), "9"));
    EXPECT_TRUE(peer::socketInDirectory(directory.path() + "/", "876543215"));
    logger.clear();
    EXPECT_FALSE(peer::socketInDirectory(directory.path(), ""));
    EXPECT_FALSE(peer::socketInDirectory(directory.path(), "12345678"));
    // The regular file is not a link; that is reported and the scan goes on.
    EXPECT_EQ(logger.count("WARNING : readlink() failed : path : " + directory.path() +
                           " : inode : 12345678 : errno : " + std::to_string(EINVAL)),
              1u);
}

TEST(ProcessLookupTest, ProcessDirectoryNamesAreReadOnlyAsPlainDecimalIds) {
    EXPECT_EQ(peer::pidFromDirectoryName("1"), 1);
    EXPECT_EQ(peer::pidFromDirectoryName("4194304"), 4194304);
    for (const char* name :
         {"self", "thread-self", "sys", "", "0", "12a", " 12", "+12", "-12", "99999999999"}) {
        EXPECT_EQ(peer::pidFromDirectoryName(name), -1) << name;
    }
}

TEST(ProcessLookupTest, UserAndGroupAreTheRealIdsOfTheStatusFile) {
    const peer::UserAndGroup self = peer::readUserAndGroup(std::to_string(::getpid()));
    EXPECT_EQ(self.userId, static_cast<int32_t>(::getuid()));
    EXPECT_EQ(self.groupId, static_cast<int32_t>(::getgid()));

    const peer::UserAndGroup missing = peer::readUserAndGroup("999999999");
    EXPECT_EQ(missing.userId, -1);
    EXPECT_EQ(missing.groupId, -1);

    TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const auto read = [&](const std::string& content) {
        const peer::UserAndGroup ids =
            peer::readUserAndGroupFromFile(directory.file("status", content));
        return std::make_pair(ids.userId, ids.groupId);
    };
    using Ids = std::pair<int32_t, int32_t>;
    EXPECT_EQ(read("Name:\tx\nGid:\t100\t101\t102\t103\nUid:\t1000\t1001\t1002\t1003\n"),
              Ids(1000, 100));
    // Without a Gid line the Uid already read is not handed out alone.
    EXPECT_EQ(read("Name:\tx\nUid:\t1000\t1000\t1000\t1000\nGroups:\t5\n"), Ids(-1, -1));
    EXPECT_EQ(read("XUid:\t7\nUid:x\t8\nName:\tUid: 9\nGid:\t3\n"), Ids(-1, -1));
    EXPECT_EQ(read("Uid:\tabc\nGid:\t3\n"), Ids(-1, -1));
    EXPECT_EQ(read("Uid:\t4294967295\nGid:\t3\n"), Ids(-1, -1));  // not a signed 32-bit id
    EXPECT_EQ(read(""), Ids(-1, -1));
    EXPECT_EQ(peer::readUserAndGroupFromFile(directory.path() + "/absent").userId, -1);
}

}  // namespace
