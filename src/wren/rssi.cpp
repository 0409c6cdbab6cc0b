// The RSSI of a packet received by the Wren SX1301, for the receive path.
#include <cmath>

#include "crx.h"

extern "C" {

// Raw byte plus the planned radio's offset, then the channel kind's own
// correction; rounded to whole dB.
float ostra_wren_calc_rssi(uint8_t chan, uint8_t raw_rssi) {
  const uint8_t radio = chan < 10 && ostra_wren_prv_cfg.chan_radio[chan] == 1 ? 1 : 0;
  float x = float(raw_rssi) + ostra_wren_prv_cfg.radio[radio].rssi_offset;
  if (chan < 8) x += 35.0f;
  else if (chan == 9) x = ((x - 0.8f) + 70.0f) * 0.8f - 70.0f;
  return std::round(x);
}

}  // extern "C"
