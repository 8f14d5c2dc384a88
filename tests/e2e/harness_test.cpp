// The end-to-end harness itself: a board that cannot start is not waited for. Its serial helpers
// and free ports serve every console and tunnel test.
#include "board.h"

#include <gtest/gtest.h>

namespace {

TEST(Harness, ABoardThatCannotStartIsNotWaitedFor)
{
    Board board;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(board.Start({"--init", "sideways"}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, Millis(5000));
    EXPECT_NE(board.ErrorOutput().find("--init takes low, high or missing"), std::string::npos) << board.ErrorOutput();
}

}  // namespace
