// Weak stand-ins for the jobs of modules that are not part of this build
// yet. Each does the least harmful thing (nothing, success); the module's
// own definition replaces it as soon as that module is linked in.
#include "crx.h"
#include "crx_hal/hooks.h"

extern "C" {

// AD9361 transceiver (tx power and transceiver driver).
[[gnu::weak]] int ad9361_start(uint8_t, uint32_t, uint32_t, uint32_t, uint8_t, uint8_t, uint32_t) { return 0; }
[[gnu::weak]] int ad9361_stop(void) { return 0; }

}  // extern "C"

namespace crx::hooks {

[[gnu::weak]] int init_temperature_sensor() { return 0; }
[[gnu::weak]] void temperature_job() {}
[[gnu::weak]] int loc_init(uint8_t) { return 0; }
[[gnu::weak]] void loc_deinit(uint8_t) {}

}  // namespace crx::hooks
