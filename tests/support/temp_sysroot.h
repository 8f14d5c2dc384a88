// A fresh temporary directory used as the firmware's sysroot for one test: made the sysroot when
// created, cleared as the sysroot and removed at the end. Paths inside are given as the system's
// own ("/APP/config.ini").
#pragma once

#include "temp_dir.h"

#include "platform/sysroot.h"

class TempSysroot : public TempDir {
public:
    TempSysroot() : TempDir("lirn-unit") { SysrootSet(Path().c_str()); }
    ~TempSysroot() { SysrootSet(""); }
};
