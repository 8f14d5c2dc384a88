// The end-to-end harness itself: free ports held until handed over, a board that cannot start.
// Its serial helpers carry every byte of the console and tunnel tests.
#include "board.h"
#include "../common/tunnel_loopback.h"

#include <gtest/gtest.h>

namespace {

namespace tl = tunneltest;

TEST(Harness, FreePortsAreHeldUntilHandedOver)
{
    FreePorts pair(2, true);
    EXPECT_EQ(pair.Port(1), pair.Port(0) + 1);
    EXPECT_FALSE(tl::PortFree(pair.Port(0)));
    EXPECT_FALSE(tl::PortFree(pair.Port(1)));
    pair.Release();
    EXPECT_TRUE(tl::PortFree(pair.Port(0)));
    EXPECT_TRUE(tl::PortFree(pair.Port(1)));

    FreePorts three(3);
    EXPECT_NE(three.Port(0), three.Port(1));
    EXPECT_NE(three.Port(1), three.Port(2));
}

TEST(Harness, ABoardThatCannotStartIsNotWaitedFor)
{
    Board board;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(board.Start({"--init", "sideways"}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, Millis(5000));
    EXPECT_NE(board.ErrorOutput().find("--init takes low, high or missing"), std::string::npos) << board.ErrorOutput();
}

}  // namespace
