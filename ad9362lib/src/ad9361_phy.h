// The AD9361 transceiver driver: the least the concentrator runtime needs
// of the chip. Bring-up to the FDD state with both synthesizers enabled,
// RX and TX synthesizers (full tune and fast re-tune), RF bandwidths, TX
// attenuation, manual RX gain, and release.
//
// Every call returns 0 or -1 and leaves crx_errno to the caller, which
// knows what a failure means at its step. Calls on one handle must not run
// concurrently (the caller serialises them).
#pragma once

#include <cstdint>

namespace crx::ad9361 {

struct InitParam {
  uint8_t rx_en;      // receive chain mask, bit 0 = RX1, bit 1 = RX2
  uint8_t tx_en;      // transmit chain mask, bit 0 = TX1, bit 1 = TX2
  uint32_t band;      // crx_freq_band_t of the board
  int32_t tx_fir;     // FIR indexes of the region record (-1: none)
  int32_t rx_fir;
};

struct Phy;

// Resets the chip, checks its identity, starts the clocks and brings the
// state machine to FDD. *out gets a handle only on success.
[[nodiscard]] int init(const InitParam& param, Phy** out);
// Forgets the handle; the chip keeps its state. Null is accepted.
void release(Phy* phy);

// RF bandwidths, 200 kHz to 56 MHz: programs and tunes the baseband filter.
[[nodiscard]] int set_rx_rf_bandwidth(Phy* phy, uint32_t hz);
[[nodiscard]] int set_tx_rf_bandwidth(Phy* phy, uint32_t hz);

// LO frequencies, 70 MHz to 6 GHz. A full tune selects the VCO divider and
// calibrates the charge pump; a fast re-tune only moves the frequency words
// (falling back to a full tune when the divider would change). Both wait
// for the synthesizer's lock.
[[nodiscard]] int set_rx_lo_freq(Phy* phy, uint64_t hz);
[[nodiscard]] int set_tx_lo_freq(Phy* phy, uint64_t hz);
[[nodiscard]] int fast_retune_tx_lo(Phy* phy, uint64_t hz);

// TX attenuation of output 0 or 1 in milli-dB, 0 to 89750 (0.25 dB steps,
// rounded down).
[[nodiscard]] int set_tx_attenuation(Phy* phy, int channel, int32_t mdb);
// Manual RX gain of receiver 0 or 1 in dB, 0 to 73.
[[nodiscard]] int set_rx_rf_gain(Phy* phy, int channel, int32_t db);

// The ranges of the two calls above, so a caller setting both channels can
// refuse before either is changed.
bool tx_attenuation_valid(int32_t mdb);
bool rx_gain_valid(int32_t db);

// The synthesizer word of an LO frequency, exposed for the tests.
struct SynthWord {
  uint8_t divider;    // VCO / 2^(divider + 1)
  uint32_t integer;
  uint32_t fraction;  // of kRfpllModulus
};
// False for a frequency outside 70 MHz to 6 GHz.
bool synth_word(uint64_t hz, SynthWord* out);

}  // namespace crx::ad9361
