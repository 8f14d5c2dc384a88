// Console internals shared by the dispatch table and the command handlers.
//
// Every reply starts with the device model name; the handlers of the status, log and storage
// commands live in status.cpp, the setting commands and the dispatch table in dispatch.cpp.
#pragma once

#include <cstddef>

// Every reply line starts with this: the device model name, the same in every reply.
#define UTILITY_MODEL "!QRV-715M;"

struct UtilitySetting;
struct UtilitySink;

// Formats one reply into the reply buffer (kUtilityReplySize) and writes it whole to the sink
// (result ignored: the PC tool sees a missing reply as silence).
void UtilityReply(const UtilitySink* out, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Handlers of the status, log and storage commands. The setting argument is unused here; every
// handler of the dispatch table has the same form.
void UtilityFwVer(const UtilitySink* out, const char* line, const UtilitySetting* setting);
void UtilityCsq(const UtilitySink* out, const char* line, const UtilitySetting* setting);
void UtilityCreg(const UtilitySink* out, const char* line, const UtilitySetting* setting);
void UtilityNetStat(const UtilitySink* out, const char* line, const UtilitySetting* setting);
void UtilityLogFile(const UtilitySink* out, const char* line, const UtilitySetting* setting);
void UtilityLogData(const UtilitySink* out, const char* line, const UtilitySetting* setting);
void UtilityLogDel(const UtilitySink* out, const char* line, const UtilitySetting* setting);
void UtilityLogEn(const UtilitySink* out, const char* line, const UtilitySetting* setting);
void UtilityLogSave(const UtilitySink* out, const char* line, const UtilitySetting* setting);
void UtilityLogSd(const UtilitySink* out, const char* line, const UtilitySetting* setting);
void UtilityLogSt(const UtilitySink* out, const char* line, const UtilitySetting* setting);
void UtilitySdExist(const UtilitySink* out, const char* line, const UtilitySetting* setting);

// The value "@CSQ" reports: the CSQ number as a percentage of 32, fraction dropped, in unsigned
// 32-bit arithmetic (99, no measurement, gives 309).
unsigned UtilityCsqScaled(int csq);

// The date of a day-file request "@LOGDATA;YYYY;MM;DD" (and "@LOGDEL"), taken by position.
struct UtilityDayDate {
    char year[5];
    char month[3];
    char day[3];
};

// Result of UtilityParseDayDate.
enum class DayDateResult { Missing, NotADate, Valid };

// Missing: fewer than three ";" (no reply at all). NotADate: the pieces are not a four-digit year
// and two-digit month and day, so they name no day file. Valid: d holds the date.
DayDateResult UtilityParseDayDate(const char* line, UtilityDayDate* d);
