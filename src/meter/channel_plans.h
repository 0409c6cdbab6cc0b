// Channel plans of the AMI radio (RF v3) and of the OPAL board's LoRa
// channels, and the FPGA frequency-offset word of an RF v3 channel.
#pragma once

#include <cstdint>
#include <optional>

namespace crx::meter {

inline constexpr uint32_t kRfv3Channels = 102;
// Hz of an RF v3 channel; 0 for the empty entries 50 and 51 and beyond.
uint32_t rfv3_channel_hz(uint32_t channel);

// round((channel frequency - reference) / 3906.25), the FPGA's offset word;
// empty unless strictly between -4096 and 4096. `raw` gets the rounded value
// either way, for the refusal message.
std::optional<int32_t> rfv3_offset(uint32_t channel, uint32_t reference_hz, int64_t* raw);

}  // namespace crx::meter
