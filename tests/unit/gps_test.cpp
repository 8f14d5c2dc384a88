// The GPS step: degrees conversion, the position sentence with and without a fix, and answers
// that are short or missing. Over-long fields stay within their items and the sentence within its
// text, ending in *70 (gps_fuzz).
#include "modem/internal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

class GpsStep : public ::testing::Test {
protected:
    void SetUp() override { ModemResetState(); }
};

std::string SixDecimals(float v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", static_cast<double>(v));
    return text;
}

}  // namespace

// Each answer after a fix: no fix (also with an empty latitude whatever else is there) clears the
// position; a fix south-west is negative, north-east positive.
TEST_F(GpsStep, SentenceFlagAndPositionFollowEachAnswer)
{
    struct Case {
        const char* answer;
        int flag;
        const char* lat;
        const char* lon;
        const char* sentence;
    } cases[] = {
        {"\r\n+CGPSINFO: 3113.343286,S,12107.655000,W,240315,083005.0,44.0,0.5,271.3\r\n\r\nOK\r\n", 1,
         "-31.222387", "-121.127586", "$GPRMC,083005.0,A,3113.343286,S,12107.655000,W,0.5,271.3,240315,,W*70"},
        {"AT+CGPSINFO\r\r\n+CGPSINFO: ,,,,,,,,\r\n\r\nOK\r\n", 0, "0.000000", "0.000000", "$GPRMC,,V,,,,,,,,,W*70"},
        {"+CGPSINFO: 4807.038,N,01131.000,E,010120,120000.0,,0.0,0.0\r\n", 1, "48.117302", "11.516666",
         "$GPRMC,120000.0,A,4807.038,N,01131.000,E,0.0,0.0,010120,,E*70"},
        {"+CGPSINFO: ,N,01131.000,E,010120,120000.0,,0.0,0.0\r\n", 0, "0.000000", "0.000000",
         "$GPRMC,,V,,,,,,,,,W*70"},
    };
    for (const Case& c : cases) {
        GpsReport(c.answer);
        EXPECT_EQ(gps_flag, c.flag) << c.answer;
        EXPECT_EQ(SixDecimals(gps_lat), c.lat) << c.answer;
        EXPECT_EQ(SixDecimals(gps_log), c.lon) << c.answer;
        EXPECT_STREQ(str_gprmc, c.sentence) << c.answer;
    }
}

TEST_F(GpsStep, NoMarkerChangesNothing)
{
    GpsReport("+CGPSINFO: 4807.038,N,01131.000,E,010120,120000.0,,0.0,0.0\r\n");
    std::string sentence = str_gprmc;
    float lat = gps_lat;
    GpsReport("\r\nERROR\r\n");
    GpsReport("");
    GpsReport("+CGPSINFO:4807.038,S,,,,,,,\r\n");  // marker without its blank
    EXPECT_EQ(gps_flag, 1);
    EXPECT_EQ(gps_lat, lat);
    EXPECT_EQ(std::string(str_gprmc), sentence);
}

TEST_F(GpsStep, FewerThanEightCommasStopsAtTheEnd)
{
    char items[kGpsItems][kGpsItemSize];
    ASSERT_EQ(GpsSplit("+CGPSINFO: 4807.038,N,01131.000", items), 1);
    EXPECT_STREQ(items[0], "4807.038");
    EXPECT_STREQ(items[1], "N");
    for (int i = 2; i < kGpsItems; ++i) EXPECT_STREQ(items[i], "") << i;

    // The scan ends at the first missing comma: the line end after it does not end a last field.
    ASSERT_EQ(GpsSplit("+CGPSINFO: 4807.038,N,01131.000\r\n", items), 1);
    EXPECT_STREQ(items[1], "N");
    EXPECT_STREQ(items[8], "");

    ASSERT_EQ(GpsSplit("+CGPSINFO: 4807.038", items), 1);
    EXPECT_STREQ(items[0], "");

    // Eight commas but no line end: the last field stays empty.
    ASSERT_EQ(GpsSplit("+CGPSINFO: 1,N,2,E,3,4,5,6,271.3", items), 1);
    EXPECT_STREQ(items[7], "6");
    EXPECT_STREQ(items[8], "");

    GpsReport("+CGPSINFO: 4807.038,N,01131.000");
    EXPECT_EQ(gps_flag, 1);
    EXPECT_STREQ(str_gprmc, "$GPRMC,,A,4807.038,N,,,,,,,*70");
}

