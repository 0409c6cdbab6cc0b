// The FPGA's side of a transmission: the IF that moves the chip's signal to
// the packet's frequency, and the transmit bandwidth of the chain.
#pragma once

#include <cstdint>

namespace crx::tx {

// 0, or -1 (logged; a failed LO tune also sets code 43). `chip` is the
// chip that sends, which the 923-933 MHz band limits to chips 0-3.
int setup_if_reg(uint8_t rf_chain, uint8_t carrier, uint32_t freq_hz, uint8_t chip);
// 500 kHz and 125 kHz only; 0 or -1 (logged, nothing written).
int setup_bandwidth_reg(uint8_t rf_chain, uint32_t bandwidth);

// The IF in Hz for a packet frequency on this board and region, or false
// when the band needs the transceiver's LO on the packet frequency (IF 0).
struct IfPlan {
  double if_hz;
  bool tune_lo;
};
IfPlan plan_if(uint32_t freq_hz);

}  // namespace crx::tx
