// The firmware starting on the simulated board: banner, line set-up, the console road chosen by
// the INIT pin, the configuration reset of the command line. The tunnel road (pin asserted) starts
// in tunnel_test.cpp; the first LED pattern and the date road are in board_support_test.cpp.
#include "board.h"

#include <gtest/gtest.h>

namespace {

const Millis kStartTimeout(20000);

struct LineSetup {
    int gpio;
    const char* direction;
    const char* activeLow;
};

// What the firmware sets up on every line at start-up.
const LineSetup kLines[] = {
    {27, "in", "1"}, {26, "in", "1"}, {28, "in", "1"}, {30, "in", "1"}, {7, "in", "1"},
    {5, "in", "1"},  {80, "in", "0"}, {29, "out", "0"}, {4, "out", "0"}, {25, "out", "0"},
    {6, "out", "0"}, {92, "out", "0"}, {77, "out", "0"}, {0, "out", "0"},
};

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

TEST(BoardStart, ConsoleRoadWithInitHighAndEveryLineSetUp)
{
    Board board;
    ASSERT_TRUE(board.Run({.exported = false}));
    EXPECT_TRUE(board.WaitForOutput("-- LIRN_V1.00_2020-12-18 --\r\n", kStartTimeout));
    ASSERT_TRUE(board.WaitForOutput("===== Utility\r\n", kStartTimeout));
    EXPECT_TRUE(board.OutputHasLinesInOrder(
        {"==============================\r", "===== Utility\r", "==============================\r"}));
    EXPECT_EQ(board.CountOutput("gpio init error"), 0);

    for (const LineSetup& l : kLines) {
        std::string want = std::string("ok direction=") + l.direction + " active_low=" + l.activeLow;
        EXPECT_TRUE(StartsWith(board.Control("gpio " + std::to_string(l.gpio)), want)) << "gpio " << l.gpio;
    }
    // Pin held high and active low: the line reads not asserted.
    EXPECT_EQ(board.Control("gpio 5"), "ok direction=in active_low=1 value=0");
    EXPECT_EQ(board.Control("gpio"), "ok 0 4 5 6 7 25 26 27 28 29 30 77 80 92");
}

TEST(BoardStart, MissingInitPinTakesTheConsoleRoad)
{
    Board board;
    ASSERT_TRUE(board.Run({.init = "missing"}));
    EXPECT_TRUE(board.WaitForOutput("[5]gpio init error\r\n", kStartTimeout));
    EXPECT_TRUE(board.WaitForOutput("===== Utility\r\n", kStartTimeout));
}

TEST(BoardStart, ResetConfigWritesTheDefaults)
{
    Board board;
    ASSERT_TRUE(board.Run({.files = {{"APP/config.ini", "@LIRNMODE;2\r\n@LIRNPORT;9999\r\n"}},
                           .firmwareArgs = {"-resetconfig"}}));
    ASSERT_TRUE(board.WaitForOutput("Reset Config And Save\r\n", kStartTimeout));
    ASSERT_TRUE(WaitUntil([&] { return board.ReadFile("APP/config.ini").find("@LIRNPORT;8080\r\n") != std::string::npos; },
                          Millis(5000)))
        << board.ReadFile("APP/config.ini");
    std::string config = board.ReadFile("APP/config.ini");
    EXPECT_NE(config.find("@LIRNMODE;0\r\n"), std::string::npos) << config;
    EXPECT_EQ(config.find("9999"), std::string::npos) << config;
}

}  // namespace
