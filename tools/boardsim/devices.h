// The table of simulated devices behind the board's device nodes.
//
// Each entry names the control prefix that routes requests to the device ("at ..." goes to the
// entry "at"), the node's path inside the sysroot, and a factory. The board creates every device
// of the table on a pty of its own (DevicePty); a node whose device is not in the table does not
// exist, and the firmware takes its open-failure path.
#pragma once

#include "sim_device.h"

#include <memory>
#include <vector>

struct DeviceEntry {
    const char* prefix;  // first word of the control requests for this device
    const char* path;    // device node, relative to the sysroot
    std::unique_ptr<SimDevice> (*make)();
};

const std::vector<DeviceEntry>& DeviceTable();
