// Weak stand-ins for the jobs of modules that are not part of this build
// yet: the receive thread and the localization engine. Each does the least
// harmful thing (nothing, success); the module's own definition replaces
// it as soon as that module is linked in.
#include "crx.h"
#include "crx_hal/hooks.h"

namespace crx::hooks {

[[gnu::weak]] int loc_init(uint8_t) { return 0; }
[[gnu::weak]] void loc_deinit(uint8_t) {}
// Start creates the queue's semaphore and the thread at the place the
// receive path fills in.
[[gnu::weak]] int rx_queue_init() { return 0; }
[[gnu::weak]] int rx_thread_start() { return 0; }
[[gnu::weak]] void rx_thread_stop() {}

}  // namespace crx::hooks
