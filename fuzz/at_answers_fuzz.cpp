// Fuzz target: one reply text through the SIM check and every field the poll takes from replies
// (model text, IMEI, registration, signal, system mode).
#include "config/config.h"
#include "fuzz_input.h"
#include "modem/internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::vector<char> reply = fuzzinput::Reply(data, size);
    std::snprintf(modem_pin_code, sizeof modem_pin_code, "%s", "1234");
    SimAction action = SimCheck(reply.data());
    fuzzinput::Check(modem_cpin_status >= 0 && modem_cpin_status <= 2, "SIM status in 0..2");
    fuzzinput::Check(modem_count4reset <= 4, "reset counter below 5 between cycles");
    fuzzinput::Check(action != SimAction::EnterPin || is_input_pin <= 2, "at most two PIN entries");
    for (ReplyUse use : {ReplyUse::Transcript, ReplyUse::Model, ReplyUse::Imei, ReplyUse::Registration,
                         ReplyUse::Signal, ReplyUse::SystemMode})
        ModemUseReply(use, reply.data());
    fuzzinput::CheckTerminated(modem_imei, sizeof modem_imei, "modem_imei");
    fuzzinput::CheckTerminated(str_gmm, sizeof str_gmm, "str_gmm");

    char field[20];
    std::memset(field, 0, sizeof field);
    if (strcpyWithStr(field, reply.data(), ",")) fuzzinput::CheckTerminated(field, sizeof field, "field");
    return 0;
}
