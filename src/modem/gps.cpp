// GPS position report: the answer to "AT+CGPSINFO\r\n" into the fix flag (which the LED thread
// shows), the position in decimal degrees and an RMC-style sentence.
//
// The module answers "+CGPSINFO: " and nine comma-separated fields: latitude, N/S, longitude,
// E/W, date, UTC time, altitude, speed, course; without a fix the fields are empty.
#include "modem/internal.h"

#include "board/ticks.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

// Published by the GPS step. gps_flag is read by the LED thread; the position by the MQTT
// session through ModemGpsCopy, so it is written under gPositionLock.
float gps_lat = 0;
float gps_log = 0;
char str_gprmc[200];

namespace {

std::mutex gPositionLock;

void SetPosition(float lat, float lon)
{
    std::lock_guard<std::mutex> hold(gPositionLock);
    gps_lat = lat;
    gps_log = lon;
}

enum GpsItem { kLat, kLatHemi, kLon, kLonHemi, kDate, kTime, kAltitude, kSpeed, kCourse };

const char kGpsMarker[] = "+CGPSINFO: ";
// The sentence without a fix, and the layout with one. "*70" is fixed text, not a checksum.
const char kNoFixSentence[] = "$GPRMC,,V,,,,,,,,,W*70";
const char kFixSentence[] = "$GPRMC,%s,A,%s,%s,%s,%s,%s,%s,%s,,%s*70";

// A coordinate with its sign from the hemisphere letter (negative for "S" or "W").
float SignedDegrees(const char* value, const char* hemisphere, char negative)
{
    float degrees = GpsDegrees(value);
    return hemisphere[0] == negative ? -degrees : degrees;
}

}  // namespace

float GpsDegrees(const char* field)
{
    float v = static_cast<float>(std::strtod(field, nullptr));
    // The whole degrees, truncated toward zero, kept in a float: an int would overflow on a
    // field of absurd size, and the two agree for every real coordinate.
    float d = std::trunc(v / 100);
    return d + (v - 100 * d) / 60.0f;
}

int GpsSplit(const char* reply, char items[kGpsItems][kGpsItemSize])
{
    for (int i = 0; i < kGpsItems; ++i) items[i][0] = '\0';
    const char* p = std::strstr(reply, kGpsMarker);
    if (p == nullptr) return 0;
    p += sizeof kGpsMarker - 1;
    // Fields 0 to 7 end at a comma, the last at the line end. An answer with fewer commas stops
    // at its end: the field whose delimiter is missing and all after it stay empty.
    for (int i = 0; i < kGpsItems; ++i) {
        const char* delimiter = i < kGpsItems - 1 ? "," : "\r";
        if (!strcpyWithStr(items[i], kGpsItemSize, p, delimiter)) break;
        p = std::strstr(p, delimiter) + 1;
    }
    return 1;
}

void GpsReport(const char* reply)
{
    char item[kGpsItems][kGpsItemSize];
    if (!GpsSplit(reply, item)) return;
    if (item[kLat][0] == '\0') {
        std::snprintf(str_gprmc, sizeof str_gprmc, "%s", kNoFixSentence);
        SetPosition(0, 0);
        SharedSet(gps_flag, 0);
        return;
    }
    std::snprintf(str_gprmc, sizeof str_gprmc, kFixSentence, item[kTime], item[kLat], item[kLatHemi], item[kLon],
                  item[kLonHemi], item[kSpeed], item[kCourse], item[kDate], item[kLonHemi]);
    SetPosition(SignedDegrees(item[kLat], item[kLatHemi], 'S'), SignedDegrees(item[kLon], item[kLonHemi], 'W'));
    SharedSet(gps_flag, 1);
}

void ModemGpsCopy(float* lat, float* lon)
{
    std::lock_guard<std::mutex> hold(gPositionLock);
    *lat = gps_lat;
    *lon = gps_log;
}

void GpsResetPosition()
{
    SetPosition(0, 0);
}
