// Process entry, start-up sequence and the status supervisor.
//
// main brings the board up in a fixed order, installs pending SD card updates, handles its
// command line and then takes one road for the rest of the process's life: the firmware-update
// road, the tunnel road (INIT pin asserted) or the console road. On the tunnel and console roads
// the main thread becomes the supervisor that turns the modem and data-call state into the
// status LED pattern (leds/).
#pragma once

#include <cstdint>

// The whole start-up and the supervisor; never returns.
[[noreturn]] void LirnMain(int argc, char** argv);

// Command line step: the date road (two arguments), "-resetconfig" (one), or nothing.
void HandleCommandLine(int argc, char** argv);

// Builds the date command for the date road into out. Returns 0, or -1 when the command would not
// fit its 64-byte buffer (nothing may then be run).
constexpr int kDateCommandSize = 64;
int BuildDateCommand(char* out, const char* date, const char* time);

// The road taken for an INIT pin reading: only exactly 1 selects the tunnel.
enum class Road { Tunnel, Console };
Road ChooseRoad(int initPinValue);

// Supervisor period, milliseconds.
constexpr uint32_t kSupervisorPeriodMs = 2000;
