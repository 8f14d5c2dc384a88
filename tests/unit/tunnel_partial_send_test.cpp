// A send that the kernel takes only in part. Loopback TCP hardly ever does that on its own, so this
// test binary puts its own send in front of the C library's: while short sends are switched on,
// every call hands at most a few bytes to the kernel, as a congested link would.
#include "tunnel_support.h"

#include "tunnel/internal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::atomic<int> gShortSendBytes{0};  // 0: sends pass unchanged
std::atomic<int> gSendCalls{0};

}  // namespace

extern "C" ssize_t send(int fd, const void* buf, size_t len, int flags)
{
    ++gSendCalls;
    size_t limit = static_cast<size_t>(gShortSendBytes.load());
    if (limit > 0 && len > limit) len = limit;
    return syscall(SYS_sendto, fd, buf, len, flags, nullptr, 0);
}

using namespace tunneltest;

namespace {

// While sends are cut to 50 bytes, the rest of a block, and of a server's text, follows until
// the whole arrives.
TEST(PartialSend, TheRestFollowsSoTheWholeBlockOrTextArrives)
{
    TunnelSetUp(0, 4000);
    auto [near, far] = ConnectedPair();
    gSendCalls = 0;
    gShortSendBytes = 50;
    lirnData.sock = near;
    char block[kLirnBlockSize];
    for (int i = 0; i < kLirnBlockSize; ++i) block[i] = static_cast<char>(i + 1);
    EXPECT_EQ(LirnSend(lirnData, block), 0);
    EXPECT_GE(gSendCalls, 3);
    EXPECT_EQ(ReadFor(far, 300), std::string(block, kLirnBlockSize));
    std::string text = std::string(120, 'k') + "tail";
    std::memset(block, 0, sizeof block);
    std::memcpy(block, text.data(), text.size());
    lirnChild[0].lirnDataChild = lirnData.sock.exchange(0);
    EXPECT_EQ(LirnChildSend(lirnChild[0].lirnDataChild, block), 0);
    EXPECT_EQ(ReadFor(far, 300), text);
    EXPECT_TRUE(TunnelEvents().empty());
    gShortSendBytes = 0;
    TunnelTearDown();
    close(far);
}

}  // namespace
