// Facts about the module itself: the firmware's version text and the way to reboot it.
//
// The console reports the version and reboots on request; the start-up prints the version and
// reboots into an installed update. Both live down here so that neither has to reach up to the
// code that starts the threads.
#pragma once

extern const char kFirmwareVersion[];

// Reboots the module ("init 6"). Nothing after the call may count on the process continuing.
void ResetSIM7100();

// ---- Our helpers ----

// The firmware's build number, stamped at build time (CMake's LIRN_BUILD_NUMBER): a signed update
// must carry a higher one. The version text above stays as it is.
extern const unsigned kFirmwareBuild;
