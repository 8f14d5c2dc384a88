// A signed image arriving in pieces (see receive.h).
#include "update/receive.h"

#include "config/config.h"
#include "platform/safefile.h"
#include "platform/sysroot.h"
#include "update/image.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The transfer under way, on the thread that receives (the MQTT session's).
struct Transfer {
    int fd = -1;           // /APP/fw.part, open for appending
    uint32_t next = 0;     // the image offset awaited
    uint32_t synced = 0;   // the offset last flushed and recorded
    UpdateRecord record{};
};
Transfer gT;
std::atomic<bool> gStaged{false};  // set by the session thread, read by the supervisor

const char kConfigAwaiting[] = "refused: configuration not yet confirmed";

UpdateStep Refuse(UpdateRecord& r, const char* why)
{
    UpdateReceiveClose();
    SafeRemove(UPDATE_PART_PROGRAM);
    SafeRemove(UPDATE_HEADER_FILE);
    r.state = UpdateState::Idle;
    r.offset = r.size = 0;
    std::snprintf(r.result, sizeof r.result, "refused: %s", why);
    UpdateRecordSave(r);
    std::printf("Update Of Build %u Refused: %s\r\n", static_cast<unsigned>(r.version), why);
    return UpdateStep::Refused;
}

// The program file, executable as the program it will be.
int OpenProgram(int flags)
{
    int fd = SysOpen(UPDATE_PART_PROGRAM, O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0755);
    if (fd >= 0 && ::fchmod(fd, 0755) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool ReadHeader(uint8_t* header)
{
    int fd = SysOpen(UPDATE_HEADER_FILE, O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && ::pread(fd, header, image::kHeaderSize, 0) == static_cast<ssize_t>(image::kHeaderSize);
    if (fd >= 0) ::close(fd);
    return ok;
}

// Opens the program file of the recorded transfer at its recorded offset: what came after the
// last flush may not have lasted, and is written again.
bool Reopen()
{
    UpdateRecordLoad(&gT.record);
    if (gT.record.state != UpdateState::Receiving || gT.record.offset < image::kHeaderSize) return false;
    gT.fd = OpenProgram(0);
    if (gT.fd < 0) return false;
    off_t kept = static_cast<off_t>(gT.record.offset - image::kHeaderSize);
    if (::ftruncate(gT.fd, kept) != 0 || ::lseek(gT.fd, kept, SEEK_SET) != kept) {
        UpdateReceiveClose();
        return false;
    }
    gT.next = gT.synced = gT.record.offset;
    return true;
}

bool Sync()
{
    if (::fdatasync(gT.fd) != 0) return false;
    gT.synced = gT.record.offset = gT.next;
    return UpdateRecordSave(gT.record);
}

// The whole image is here: checked again, header and program, before its program may run.
UpdateStep Finish()
{
    UpdateRecord& r = gT.record;
    uint8_t header[image::kHeaderSize];
    ImageManifest m{};
    ImageVerdict v = ReadHeader(header) ? ImageCheckHeader(header, &m) : ImageVerdict::Damaged;
    if (v == ImageVerdict::Ok) {
        int fd = SysOpen(UPDATE_PART_PROGRAM, O_RDONLY | O_CLOEXEC);
        v = fd >= 0 ? ImageCheckProgram(fd, 0, m) : ImageVerdict::Damaged;
        if (fd >= 0) ::close(fd);
    }
    if (v != ImageVerdict::Ok) return Refuse(r, ImageVerdictText(v));
    UpdateReceiveClose();
    if (SafeRename(UPDATE_PART_PROGRAM, UPDATE_TRIAL_PROGRAM) != kSafeFileOk) return Refuse(r, "program not stored");
    SafeRemove(UPDATE_HEADER_FILE);
    r.state = UpdateState::Trial;
    r.tries = 0;
    r.lastTry[0] = r.result[0] = '\0';
    r.offset = r.size = 0;
    UpdateRecordSave(r);
    std::printf("Update Of Build %u Received And Checked: Restarting Into Its Trial\r\n", static_cast<unsigned>(r.version));
    gStaged = true;
    return UpdateStep::Staged;
}

}  // namespace

UpdateStep UpdateReceiveBegin(const uint8_t* data, std::size_t len)
{
    UpdateRecord r;
    UpdateRecordLoad(&r);
    if (r.state == UpdateState::Trial) {
        std::puts("Update Refused: A Trial Is Under Way\r");
        return UpdateStep::Ignored;
    }
    // A program on trial and settings on trial would both be judged by the next broker link: one
    // waits until the other is settled. The transfer under way, if any, is kept for then.
    if (ConfigTrialAwaiting()) {
        std::snprintf(r.result, sizeof r.result, "%s", kConfigAwaiting);
        UpdateRecordSave(r);
        std::puts("Update Held: Settings Saved Over The Broker Await Their Confirmation\r");
        return UpdateStep::Held;
    }
    ImageManifest m{};
    if (len != image::kHeaderSize) return Refuse(r, ImageVerdictText(ImageVerdict::Damaged));
    ImageVerdict v = ImageCheckHeader(data, &m);
    r.version = m.build;
    if (v != ImageVerdict::Ok) return Refuse(r, ImageVerdictText(v));
    uint8_t held[image::kHeaderSize];
    if (r.state == UpdateState::Receiving && ReadHeader(held) && std::memcmp(held, data, sizeof held) == 0) {
        if (gT.fd >= 0 || Reopen()) {  // the same image: resumed where it stood
            if (r.result[0] != '\0') {  // held before: that is over
                gT.record.result[0] = '\0';
                UpdateRecordSave(gT.record);
            }
            return UpdateStep::Progress;
        }
    }
    UpdateReceiveClose();
    if (SafeWriteFile(UPDATE_HEADER_FILE, data, len, 0644) != kSafeFileOk) return Refuse(r, "header not stored");
    gT.fd = OpenProgram(O_TRUNC);
    if (gT.fd < 0) return Refuse(r, "program not stored");
    r.state = UpdateState::Receiving;
    r.offset = static_cast<uint32_t>(image::kHeaderSize);
    r.size = static_cast<uint32_t>(image::kHeaderSize) + m.size;
    r.result[0] = '\0';
    gT.record = r;
    gT.next = gT.synced = r.offset;
    UpdateRecordSave(r);
    std::printf("Update Of Build %u: Receiving %u Bytes\r\n", static_cast<unsigned>(m.build), static_cast<unsigned>(r.size));
    return UpdateStep::Progress;
}

UpdateStep UpdateReceiveData(uint32_t offset, const uint8_t* data, std::size_t len)
{
    if (ConfigTrialAwaiting()) return UpdateStep::Held;
    if (gT.fd < 0 && !Reopen()) return UpdateStep::Ignored;
    if (offset > gT.next || len == 0 || len <= gT.next - offset) return UpdateStep::Ignored;
    data += gT.next - offset;  // what came before is held already
    len -= gT.next - offset;
    if (len > gT.record.size - gT.next) return Refuse(gT.record, ImageVerdictText(ImageVerdict::Damaged));
    for (std::size_t done = 0; done < len;) {
        ssize_t n = ::write(gT.fd, data + done, len - done);
        if (n <= 0) return Refuse(gT.record, "program not stored");
        done += static_cast<std::size_t>(n);
    }
    gT.next += static_cast<uint32_t>(len);
    bool whole = gT.next == gT.record.size;
    if ((whole || gT.next - gT.synced >= kUpdateSyncBytes) && !Sync()) return Refuse(gT.record, "program not stored");
    return whole ? Finish() : UpdateStep::Progress;
}

UpdateWhere UpdateReceiveWhere()
{
    UpdateRecord r;
    UpdateRecordShown(&r);
    UpdateWhere w = {r.state, r.version, r.offset, r.offset, r.size, ""};
    std::memcpy(w.result, r.result, sizeof w.result);
    if (gT.fd >= 0 && r.state == UpdateState::Receiving) w.offset = gT.next;
    return w;
}

bool UpdateStagedForTrial()
{
    return gStaged.exchange(false);
}

void UpdateReceiveClose()
{
    if (gT.fd >= 0) ::close(gT.fd);
    gT.fd = -1;
}
