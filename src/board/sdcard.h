// SD card detection and the start-up update of configuration and firmware.
//
// At every start, before the configuration is read, main asks whether a card is mounted at
// /media/card (sd_card_init), installs a new /media/card/update/config.ini into /APP
// (check_if_config_update) and, when the card also carries a new firmware file "fw", installs it
// as /APP/fw (check_if_fw_update); main then takes the firmware-update road and reboots. Backups of
// what was replaced stay on the card. The configuration file is moved by shell commands. The
// firmware is installed only when it is a whole program for this module (else it is renamed
// fw.bad on the card and the update fails): copied beside /APP/fw, flushed, checked and renamed
// over it, and only then removed from the card. The MQTT mode's certificate files and the key
// that signed updates are checked against (check_if_cert_update) are written safely by the
// firmware itself, the private key readable by its own user only.
#pragma once

#include <atomic>

#define SD_CARD_DIR "/media/card"
#define SD_UPDATE_DIR "/media/card/update"

// Update flags, set only during start-up, before any other thread exists.
extern std::atomic<int> if_sd_card;         // a card is mounted at /media/card
extern std::atomic<int> if_fw_exist;        // a new firmware file is on the card
extern std::atomic<int> if_fw_update;       // the firmware installation was carried out at this start
extern std::atomic<int> if_fw_update_error; // an update file was still there afterwards

void sd_card_init();
void check_if_config_update();
void check_if_fw_update();
// Installs ca.pem, client.pem, client.key and update.pub found in the update directory into /APP,
// each written safely, the replaced ones kept as NAME.bck on the card and the card's copies
// removed. A file whose old version cannot be backed up is not installed and stays on the card.
void check_if_cert_update();

// ---- Our helpers ----

// Whether check_if_config_update installed a configuration file at this start.
bool sd_config_installed();
