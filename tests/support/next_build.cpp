// The build number of lirn-next, the firmware built again with one number more: the newer program
// that the update tests install over build/lirn.
#include "board/module.h"

const unsigned kFirmwareBuild = LIRN_BUILD_NUMBER + 1u;
