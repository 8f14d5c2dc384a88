// SD card detection and the start-up update of configuration and firmware.
#pragma once

#include <atomic>

// Update flags, set only during start-up, before any other thread exists.
extern std::atomic<int> if_sd_card;         // a card is mounted at /media/card
extern std::atomic<int> if_config_exist;    // a new configuration file was found and installed
extern std::atomic<int> if_fw_exist;        // a new firmware file is on the card
extern std::atomic<int> if_fw_update;       // the firmware installation was carried out at this start
extern std::atomic<int> if_fw_update_error; // an update file was still there afterwards
