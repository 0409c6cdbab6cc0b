// Board identification: which board of the family this process runs on.
#include "crx.h"

uint32_t board_type = CRX_BOARD_UNKNOWN;
int32_t num_sx1301_chips = 8;
