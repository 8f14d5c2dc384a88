// Message step of the poll: ask for the storage occupancy, read stored messages with the module's
// read-and-delete command in PDU form, and take the first one that parses into recv_new_sms.
// The latch is_new_sms then stops the step for the rest of the run.
#include "modem/internal.h"

#include "modem/pdu.h"
#include "platform/text.h"

#include <cstdio>
#include <cstring>

SmsRecord recv_new_sms;
int is_new_sms = 0;

namespace {

constexpr unsigned kSmsWaitMs = 100;
// A SIM's message file has at most 255 records, so no storage has more indexes. A garbled
// occupancy answer naming a larger size must not keep the poll reading for hours.
constexpr int kMaxStorageIndexes = 255;
// Field of an answer before conversion: at most 19 characters.
constexpr std::size_t kFieldSize = 20;

const char kStorageMarker[] = "+CPMS: ";
const char kReadMarker[] = "+CMGRD: ";

// Receive time "YY/MM/DD HH:MM:SS" from the first twelve time stamp digits; the time zone is
// dropped. The stamp is terminated within its 16 bytes, so a short one gives a short time.
void FillReceiveTime(char* time, const char* stamp)
{
    std::snprintf(time, 18, "%.2s/%.2s/%.2s %.2s:%.2s:%.2s", stamp, stamp + 2, stamp + 4, stamp + 6, stamp + 8,
                  stamp + 10);
}

}  // namespace

void SmsStorageOccupancy(const char* reply, int* used, int* size)
{
    *used = 0;
    *size = 0;
    // "+CPMS: "SM",<used>,<size>,...": the two numbers of the first storage.
    const char* p = std::strstr(reply, kStorageMarker);
    if (p == nullptr) return;
    p = std::strchr(p + sizeof kStorageMarker - 1, ',');
    if (p == nullptr) return;
    ++p;
    char field[kFieldSize];
    if (!strcpyWithStr(field, p, ",")) return;
    *used = DecimalValue(field);
    p = std::strchr(p, ',') + 1;
    if (strcpyWithStr(field, p, ",")) *size = DecimalValue(field);
}

int SmsIndexesToRead(int storageSize)
{
    if (storageSize < 0) return 0;
    return storageSize < kMaxStorageIndexes ? storageSize : kMaxStorageIndexes;
}

int gmSMS_getReadMsg(const char* reply, SmsRecord* record)
{
    std::printf("1>");
    const char* p = std::strstr(reply, kReadMarker);
    if (p == nullptr) return 0;
    std::printf("2>");
    p = std::strchr(p + sizeof kReadMarker - 1, ',');
    if (p == nullptr) return 0;
    std::printf("3>");
    p = std::strchr(p + 1, ',');
    if (p == nullptr) return 0;
    std::printf("4>");
    const char* lengthField = p + 1;
    char field[kFieldSize];
    if (!strcpyWithStr(field, lengthField, "\r")) return 0;
    std::printf("5>");
    std::printf("len=%d\n", DecimalValue(field));
    const char* pdu = std::strstr(lengthField, "\r\n");
    if (pdu == nullptr) return 0;

    SmsPduParams params;
    gsmDecodePdu(pdu + 2, &params);
    TextCopy(record->phone, sizeof record->phone, params.address);
    FillReceiveTime(record->time, params.timeStamp);
    // The decoder keeps the length within its user data, which is the size of the message field.
    static_assert(sizeof record->message == sizeof params.userData, "message holds the user data");
    std::memcpy(record->message, params.userData, params.userDataLength);
    record->messageLength = params.userDataLength;
    record->mode = params.dataCoding;
    return 1;
}

void SmsStep(AtChannel& at)
{
    AtSend(at, "AT+CPMS?\r\n", kSmsWaitMs);
    int used = 0;
    int size = 0;
    SmsStorageOccupancy(at.reply, &used, &size);
    if (used == 0) return;
    std::printf("--> new SMS coming (%d/%d)\n", used, size);
    for (int index = 0; index < SmsIndexesToRead(size); ++index) {
        std::snprintf(at.command, sizeof at.command, "AT+CMGRD=%d\r\n", index);
        AtExchange(at, kSmsWaitMs);
        std::printf("recv:\n%s\n", at.reply);
        if (gmSMS_getReadMsg(at.reply, &recv_new_sms) == 1) {
            std::puts("gmSMS_getReadMsg enter");
            is_new_sms = 1;
            break;
        }
    }
}
