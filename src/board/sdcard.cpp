// SD card update: flags.
#include "board/sdcard.h"

std::atomic<int> if_sd_card{0};
std::atomic<int> if_config_exist{0};
std::atomic<int> if_fw_exist{0};
std::atomic<int> if_fw_update{0};
std::atomic<int> if_fw_update_error{0};
