// The firmware's version text and the module reboot.
#include "board/module.h"

#include "platform/shell.h"

const char kFirmwareVersion[] = "LIRN_V1.00_2020-12-18";

void ResetSIM7100()
{
    ShellSystem("init 6");
}
