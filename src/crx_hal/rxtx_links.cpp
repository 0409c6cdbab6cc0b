// The transmit path's use of the timers start creates: every transmit
// request restarts the downlink idle delay.
#include "crx_hal/rxtx_deps.h"
#include "crx_hal/timers.h"

namespace crx {

void arm_dl_idle_timer() { timers::arm_dl_idle(); }

}  // namespace crx
