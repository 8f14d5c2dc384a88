// Fuzz target: the SMS-DELIVER decoder on one PDU text, and its 7-bit helpers on raw septets.
#include "fuzz_input.h"
#include "modem/pdu.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::vector<char> text = fuzzinput::Reply(data, size);
    auto params = std::make_unique<SmsPduParams>();
    int n = gsmDecodePdu(text.data(), params.get());
    fuzzinput::Check(n >= 0 && n <= kPduUserDataMax, "result within the user data");
    fuzzinput::Check(params->userDataLength <= kPduUserDataMax, "userDataLength within the record");
    fuzzinput::CheckTerminated(params->scAddress, sizeof params->scAddress, "scAddress");
    fuzzinput::CheckTerminated(params->address, sizeof params->address, "address");
    fuzzinput::CheckTerminated(params->timeStamp, sizeof params->timeStamp, "timeStamp");
    if (params->dataCoding != 8) fuzzinput::CheckTerminated(params->userData, sizeof params->userData, "userData");

    // The helpers on their own, with output areas of exactly the documented size.
    int count = static_cast<int>(size < 256 ? size : 256);
    std::vector<char> septets(static_cast<std::size_t>(count + count / 7 + 1));
    fuzzinput::Check(gsmDecode7bit(data, septets.data(), count) == count + count / 7, "septet count");
    std::vector<char> iso(static_cast<std::size_t>(count + 1));
    fuzzinput::Check(gsm7Bit2Iso(text.data(), iso.data(), count) <= count, "one character per step");
    std::vector<char> digits(static_cast<std::size_t>(count + 1));
    fuzzinput::Check(gsmSerializeNumbers(text.data(), digits.data(), count) <= count, "digits within the field");
    return 0;
}
