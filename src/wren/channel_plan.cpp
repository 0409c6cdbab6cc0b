#include "wren/channel_plan.h"

#include "errors.h"

extern "C" {

int wren_assign_sx1301_channels_to_RF(uint8_t) { return crx::fail(ERR_UNSPECIFIED); }
void sort_channel_array(wren_chan_entry_t*, int) {}
void auto_split_channels(wren_chan_entry_t*, int) {}
int auto_determine_sx125x_freq(uint8_t, uint32_t*, const wren_chan_entry_t*, int, int) {
  return crx::fail(ERR_UNSPECIFIED);
}
int32_t adjust_avg_sx125x_frequency(uint32_t, uint32_t, uint32_t) { return 0; }
int auto_sx125x_count_ok_channels(uint8_t, uint32_t, const wren_chan_entry_t*, uint8_t*, int, int) {
  return crx::fail(ERR_UNSPECIFIED);
}

}  // extern "C"

namespace crx::wren {
uint32_t default_centre(int) { return 0; }
uint32_t channel_bandwidth(uint8_t, int) { return 0; }
}  // namespace crx::wren
