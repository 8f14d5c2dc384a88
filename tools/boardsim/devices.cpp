// The simulated devices of the board, one line each (see devices.h): the module's AT interpreter
// and its QMI service.
#include "devices.h"

#include "at_modem.h"
#include "qmi_modem.h"

const std::vector<DeviceEntry>& DeviceTable()
{
    static const std::vector<DeviceEntry> table = {
        {"at", "dev/smd8", [] { return std::unique_ptr<SimDevice>(new AtModem); }},
        {"qmi", "dev/cdc-wdm0", [] { return std::unique_ptr<SimDevice>(new QmiModem); }},
    };
    return table;
}
