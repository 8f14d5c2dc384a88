// The firmware's build number (see module.h). Alone in its file, so that a variant of the firmware
// with another number links its own definition in its place.
#include "board/module.h"

const unsigned kFirmwareBuild = LIRN_BUILD_NUMBER;
