// Console status, log and storage commands.
//
// The status words are read as they are at the moment of the request; their writers run on other
// threads. The log commands act on the day files under /media/card (YYYY/MM/DD.txt in each of the
// three trees): "@LOGFILE" lists the USR_LOG tree, "@LOGDATA" sends one of its files, "@LOGDEL"
// removes one day's files. A day-file request names a file only through a four-digit year and a
// two-digit month and day, so no request can reach outside the trees; names read from the card
// reach the shell only quoted.
#include "console/commands.h"
#include "console/console.h"

#include "board/module.h"
#include "board/sdcard.h"
#include "cellular/datacall.h"
#include "config/config.h"
#include "logging/log.h"
#include "modem/modem.h"
#include "platform/shell.h"
#include "platform/sysroot.h"
#include "platform/text.h"
#include "serial/uart.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

// Listings are read in pieces of this size: a name longer than 7 characters arrives in pieces,
// each taken as a name of its own (the PC tool has always seen listings that way).
constexpr std::size_t kListingPieceSize = 8;
// "@LOGSD" reads one line of the df figures: at most 31 characters.
constexpr std::size_t kCardSpaceLineSize = 32;
// "@LOGDATA" sends the file in pieces read with this line buffer.
constexpr std::size_t kLogDataLineSize = 128;
// Command texts: a mapped root, two quoted names and the sed filter.
constexpr std::size_t kListingCommandSize = kSysPathMax + 256;

bool AllDigits(const char* text, std::size_t count)
{
    if (std::strlen(text) != count) return false;
    for (std::size_t i = 0; i < count; ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

// Copies the first count characters after the semicolon at `semicolon` (fewer when the line ends).
void TakePiece(char* out, std::size_t count, const char* semicolon)
{
    TextCopy(out, count + 1, semicolon + 1);
}

// The day file of a date in one tree, as a system path.
void DayFilePath(char* out, std::size_t size, const char* tree, const UtilityDayDate& d)
{
    std::snprintf(out, size, "%s/%s/%s/%s/%s.txt", LOG_ROOT_DIR, tree, d.year, d.month, d.day);
}

// Starts "ls -1" of the USR_LOG directory below the given names (year, then month); with
// cutExtension the names are cut at their first dot. nullptr when it cannot be started.
FILE* OpenListing(const char* const* names, int count, bool cutExtension)
{
    char root[kSysPathMax];
    if (ShellPath(root, sizeof root, LOG_ROOT_DIR) != 0) return nullptr;
    char cmd[kListingCommandSize];
    std::size_t len = 0;
    // Appends a fixed piece and a text; false when the command would not fit.
    auto append = [&](const char* piece, const char* text) {
        int n = std::snprintf(cmd + len, sizeof cmd - len, "%s%s", piece, text);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof cmd - len) return false;
        len += static_cast<std::size_t>(n);
        return true;
    };
    bool ok = append("ls -1 ", root) && append("/", USR_LOG);
    for (int i = 0; ok && i < count; ++i) {
        char word[4 * kListingPieceSize + 3];
        ok = ShellWordIfNeeded(word, sizeof word, names[i]) == 0 && append("/", word);
    }
    if (ok && cutExtension) ok = append(" | sed -e 's/\\..*$//'", "");
    return ok ? ShellPopen(cmd) : nullptr;
}

// The next name of a listing: one piece of at most 7 characters, cut at its line end. A piece
// that holds only the line end of a 7-character name names nothing and is skipped.
bool NextListingName(FILE* listing, char* name)
{
    while (std::fgets(name, kListingPieceSize, listing) != nullptr) {
        name[std::strcspn(name, "\r\n")] = '\0';
        if (name[0] != '\0') return true;
    }
    return false;
}

// Sends "year;month;day" for each day file of one month. False when the listing cannot be
// started: the whole listing then ends.
bool SendDays(const UtilitySink* out, const char* year, const char* month)
{
    const char* names[] = {year, month};
    FILE* days = OpenListing(names, 2, true);
    if (days == nullptr) return false;
    char day[kListingPieceSize];
    while (NextListingName(days, day)) UtilityReply(out, "%s;%s;%s\r\n", year, month, day);
    ShellPclose(days);
    return true;
}

bool SendMonths(const UtilitySink* out, const char* year)
{
    const char* names[] = {year};
    FILE* months = OpenListing(names, 1, false);
    if (months == nullptr) return false;
    char month[kListingPieceSize];
    bool ok = true;
    while (ok && NextListingName(months, month)) ok = SendDays(out, year, month);
    ShellPclose(months);
    return ok;
}

}  // namespace

unsigned UtilityCsqScaled(int csq)
{
    return (static_cast<uint32_t>(csq) * 100u) >> 5;
}

DayDateResult UtilityParseDayDate(const char* line, UtilityDayDate* d)
{
    const char* first = std::strchr(line, ';');
    if (first == nullptr) return DayDateResult::Missing;
    TakePiece(d->year, 4, first);
    const char* second = std::strchr(first + 1, ';');
    if (second == nullptr) return DayDateResult::Missing;
    TakePiece(d->month, 2, second);
    const char* third = std::strchr(second + 1, ';');
    if (third == nullptr) return DayDateResult::Missing;
    TakePiece(d->day, 2, third);
    bool date = AllDigits(d->year, 4) && AllDigits(d->month, 2) && AllDigits(d->day, 2);
    return date ? DayDateResult::Valid : DayDateResult::NotADate;
}

void UtilityFwVer(const UtilitySink* out, const char*, const UtilitySetting*)
{
    UtilityReply(out, UTILITY_MODEL "FWVER;OK;%s\r\n", kFirmwareVersion);
}

void UtilityCsq(const UtilitySink* out, const char*, const UtilitySetting*)
{
    UtilityReply(out, UTILITY_MODEL "CSQ;OK;%d\r\n", static_cast<int>(UtilityCsqScaled(modem_csq.load())));
}

void UtilityCreg(const UtilitySink* out, const char*, const UtilitySetting*)
{
    UtilityReply(out, UTILITY_MODEL "CREG;OK;%d\r\n", modem_creg.load());
}

void UtilityNetStat(const UtilitySink* out, const char*, const UtilitySetting*)
{
    UtilityReply(out, UTILITY_MODEL "NETSTAT;OK;%d\r\n", netStat.load());
}

void UtilityLogFile(const UtilitySink* out, const char*, const UtilitySetting*)
{
    if (FileExist(LOG_ROOT_DIR, USR_LOG) != 0) return;
    FILE* years = OpenListing(nullptr, 0, false);
    if (years == nullptr) return;
    char year[kListingPieceSize];
    bool ok = true;
    while (ok && NextListingName(years, year)) ok = SendMonths(out, year);
    ShellPclose(years);
}

void UtilityLogData(const UtilitySink* out, const char* line, const UtilitySetting*)
{
    UtilityDayDate date;
    if (UtilityParseDayDate(line, &date) != DayDateResult::Valid) return;
    char path[kSysPathMax];
    DayFilePath(path, sizeof path, USR_LOG, date);
    FILE* f = SysFopen(path, "r");
    if (f == nullptr) return;
    char piece[kLogDataLineSize];
    while (std::fgets(piece, sizeof piece, f) != nullptr) out->write(out, piece, std::strlen(piece));
    std::fclose(f);
}

void UtilityLogDel(const UtilitySink* out, const char* line, const UtilitySetting*)
{
    UtilityDayDate date;
    DayDateResult parsed = UtilityParseDayDate(line, &date);
    if (parsed == DayDateResult::Missing) return;
    char path[kSysPathMax];
    bool removed = false;
    if (parsed == DayDateResult::Valid) {
        DayFilePath(path, sizeof path, USR_LOG, date);
        removed = SysRemove(path) == 0;
    }
    if (!removed) {
        // No such day: the transcripts of that date stay where they are.
        UtilityReply(out, UTILITY_MODEL "LOGDEL;ER\r\n");
        return;
    }
    for (const char* tree : {AT_CMD_LOG, QMI_LOG}) {
        DayFilePath(path, sizeof path, tree, date);
        SysRemove(path);  // a day without transcripts is fine
    }
    UtilityReply(out, UTILITY_MODEL "LOGDEL;OK\r\n");
}

void UtilityLogEn(const UtilitySink* out, const char* line, const UtilitySetting*)
{
    const char* semicolon = std::strchr(line, ';');
    if (semicolon != nullptr) logEnable = DecimalValue(semicolon + 1);
    UtilityReply(out, UTILITY_MODEL "LOGEN;OK\r\n");
}

void UtilityLogSave(const UtilitySink* out, const char*, const UtilitySetting*)
{
    char path[64];
    std::snprintf(path, sizeof path, "%s/%s", LOG_CFG_DIR, LOG_CFG_FILE);
    char text[32];
    int len = std::snprintf(text, sizeof text, "@LOGEN;%d\r\n", logEnable.load());
    if (SaveFileAtomically(path, text, static_cast<std::size_t>(len)) == 0)
        UtilityReply(out, UTILITY_MODEL "LOGSAVE;OK\r\n");
    else
        UtilityReply(out, UTILITY_MODEL "LOGSAVE;ER\r\n");
}

void UtilityLogSd(const UtilitySink* out, const char*, const UtilitySetting*)
{
    char root[kSysPathMax];
    char cmd[kSysPathMax + 64];
    char figures[kCardSpaceLineSize];
    bool got = false;
    if (ShellPath(root, sizeof root, LOG_ROOT_DIR) == 0) {
        std::snprintf(cmd, sizeof cmd, "df -h %s | awk 'NR==2 {print$3\";\"$2\";\"$5}'", root);
        FILE* df = ShellPopen(cmd);
        if (df != nullptr) {
            got = std::fgets(figures, sizeof figures, df) != nullptr;
            ShellPclose(df);
        }
    }
    // The figures keep their line feed: the reply ends in LF, CR, LF.
    if (got)
        UtilityReply(out, UTILITY_MODEL "LOGSD;OK;%s\r\n", figures);
    else
        UtilityReply(out, UTILITY_MODEL "LOGSD;ER\r\n");
}

void UtilityLogSt(const UtilitySink* out, const char*, const UtilitySetting*)
{
    UtilityReply(out, UTILITY_MODEL "LOGST;OK;%d\r\n", logEnable.load());
}

void UtilitySdExist(const UtilitySink* out, const char*, const UtilitySetting*)
{
    UtilityReply(out, UTILITY_MODEL "SDEXIST;OK;%d\r\n", if_sd_card.load());
}
