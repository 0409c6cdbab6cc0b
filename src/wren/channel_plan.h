// Channel planning of the Wren boards: which of the two SX125x radios feeds
// each enabled channel and where each radio is tuned. The exported calls
// (crx.h) work on the chip's channels in brd_cfg_priv and write the radio
// centres and channel radio bytes into ostra_wren_prv_cfg.
#pragma once

#include <cstdint>

#include "crx.h"

namespace crx::wren {

// How far a channel's outer edge may lie from its radio's centre.
inline constexpr int32_t kRadioHalfWindowHz = 550000;
// Span of one group: from the lowest lower edge to an upper edge, or from
// a lower edge to the highest upper edge.
inline constexpr int32_t kGroupWindowHz = 1100000;
// Occupied bandwidth of a multi-SF channel.
inline constexpr uint32_t kMultiSfBandwidthHz = 125000;

// The radios' centres when no plan is possible (and a radio's centre when
// nothing is planned on it): radio 0 near the bottom of the receive band,
// radio 1 in its middle.
uint32_t default_centre(int radio);

// Occupied bandwidth of channel `chan` of `chip` in Hz.
uint32_t channel_bandwidth(uint8_t chip, int chan);

}  // namespace crx::wren
