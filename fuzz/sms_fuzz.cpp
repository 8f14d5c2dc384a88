// Fuzz target: the message step's parsers, the storage answer and the read-and-delete reply, on
// one reply text.
#include "fuzz_input.h"
#include "modem/internal.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::vector<char> reply = fuzzinput::Reply(data, size);
    int used = -1;
    int size2 = -1;
    SmsStorageOccupancy(reply.data(), &used, &size2);

    auto record = std::make_unique<SmsRecord>();
    std::memset(record.get(), 0, sizeof *record);
    if (gmSMS_getReadMsg(reply.data(), record.get()) == 1) {
        fuzzinput::CheckTerminated(record->phone, sizeof record->phone, "phone number");
        fuzzinput::CheckTerminated(record->time, sizeof record->time, "receive time");
        fuzzinput::Check(record->messageLength <= sizeof record->message, "message length within the field");
    }
    return 0;
}
