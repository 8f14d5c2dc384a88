// The update record in /APP/update.ini (see record.h).
#include "update/record.h"

#include "platform/safefile.h"
#include "platform/sysroot.h"
#include "platform/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace {

// The record is a handful of short lines.
constexpr std::size_t kRecordMax = 1024;

const char* const kStateTexts[] = {"idle", "receiving", "trial"};

// The record as this process last read or wrote it: the session thread and the supervisor write
// it, the session thread shows it.
std::mutex gShownLock;
bool gShownKnown;
UpdateRecord gShown;

void Show(const UpdateRecord& r)
{
    std::lock_guard<std::mutex> hold(gShownLock);
    gShown = r;
    gShownKnown = true;
}

// The value of the line "@KEY;value" in text, up to its line end, into out. False when absent.
bool Field(const char* text, const char* key, char* out, std::size_t outLen)
{
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "@%s;", key);
    const std::size_t n = std::strlen(prefix);
    for (const char* line = text; *line != '\0';) {
        const char* end = line + std::strcspn(line, "\r\n");
        if (std::strncmp(line, prefix, n) == 0 && line + n <= end) {
            std::size_t len = static_cast<std::size_t>(end - line - n);
            if (len >= outLen) len = outLen - 1;
            std::memcpy(out, line + n, len);
            out[len] = '\0';
            return true;
        }
        line = end + std::strspn(end, "\r\n");
    }
    return false;
}

void LoadFile(UpdateRecord* r)
{
    *r = UpdateRecord{UpdateState::Idle, 0, 0, "", "", 0, 0};
    char text[kRecordMax + 1];
    int fd = SysOpen(UPDATE_RECORD_FILE, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ssize_t n = ::read(fd, text, kRecordMax);
    ::close(fd);
    if (n <= 0) return;
    text[n] = '\0';
    char value[32];
    if (Field(text, "UPDSTATE", value, sizeof value))
        for (int i = 0; i < 3; i++)
            if (std::strcmp(value, kStateTexts[i]) == 0) r->state = static_cast<UpdateState>(i);
    if (Field(text, "UPDVERSION", value, sizeof value)) r->version = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    if (Field(text, "UPDTRIES", value, sizeof value)) r->tries = DecimalValue(value);
    Field(text, "UPDLAST", r->lastTry, sizeof r->lastTry);
    Field(text, "UPDRESULT", r->result, sizeof r->result);
    if (Field(text, "UPDOFFSET", value, sizeof value)) r->offset = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    if (Field(text, "UPDSIZE", value, sizeof value)) r->size = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
}

}  // namespace

void UpdateRecordLoad(UpdateRecord* r)
{
    LoadFile(r);
    Show(*r);
}

bool UpdateRecordSave(const UpdateRecord& r)
{
    char text[kRecordMax];
    int n = std::snprintf(text, sizeof text,
                          "@UPDSTATE;%s\r\n@UPDVERSION;%u\r\n@UPDTRIES;%d\r\n@UPDLAST;%s\r\n@UPDRESULT;%s\r\n"
                          "@UPDOFFSET;%u\r\n@UPDSIZE;%u\r\n",
                          UpdateStateText(r.state), static_cast<unsigned>(r.version), r.tries, r.lastTry, r.result,
                          static_cast<unsigned>(r.offset), static_cast<unsigned>(r.size));
    bool saved = n > 0 && static_cast<std::size_t>(n) < sizeof text &&
                 SafeWriteFile(UPDATE_RECORD_FILE, text, static_cast<std::size_t>(n), 0644) == kSafeFileOk;
    if (saved) Show(r);
    return saved;
}

void UpdateRecordShown(UpdateRecord* r)
{
    {
        std::lock_guard<std::mutex> hold(gShownLock);
        if (gShownKnown) {
            *r = gShown;
            return;
        }
    }
    UpdateRecordLoad(r);
}

const char* UpdateStateText(UpdateState s)
{
    return kStateTexts[static_cast<int>(s)];
}
