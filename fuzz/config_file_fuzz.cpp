// Fuzz target: the configuration file reader on any file the card could install as config.ini.
// Every text field of the record and its mirror must stay terminated within its bounds, and the
// record must survive a save and a fresh read unchanged: what the reader took, the writer writes
// in a form the reader takes back the same.
#include "config/config.h"
#include "fuzz_input.h"

#include <cstdio>
#include <filesystem>

namespace {

bool SameRecord(const TunnelConfig& a, const TunnelConfig& b)
{
    return a.mode == b.mode && std::strcmp(a.serverIp, b.serverIp) == 0 && a.port == b.port &&
           a.hbInterval == b.hbInterval && std::strcmp(a.pinCode, b.pinCode) == 0 && std::strcmp(a.apn, b.apn) == 0 &&
           std::strcmp(a.modemUser, b.modemUser) == 0 && std::strcmp(a.modemPassword, b.modemPassword) == 0 &&
           a.uartBaud == b.uartBaud && a.uartParity == b.uartParity && a.uartDataBits == b.uartDataBits &&
           a.uartStopBits == b.uartStopBits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static const bool made = std::filesystem::create_directories(fuzzinput::TempSysroot() + "/APP");
    (void)made;
    InitLirnConfig();
    fuzzinput::ReadAsFile(data, size, ReadLirnConfigFrom);
    fuzzinput::CheckConfigTexts();
    fuzzinput::CheckTerminated(modem_pin_code, sizeof modem_pin_code, "modem_pin_code");
    fuzzinput::CheckTerminated(modem_APN, sizeof modem_APN, "modem_APN");
    fuzzinput::CheckTerminated(modem_usr, sizeof modem_usr, "modem_usr");
    fuzzinput::CheckTerminated(modem_pwd, sizeof modem_pwd, "modem_pwd");

    TunnelConfig read = lirnSet;
    fuzzinput::Check(SaveLirnConfig() == 0, "the record saves");
    InitLirnConfig();
    fuzzinput::Check(ReadLirnConfig() == 0, "the saved file reads");
    fuzzinput::Check(SameRecord(read, lirnSet), "a saved record reads back unchanged");
    return 0;
}
