// The FPGA's power detector of the large boards: it measures the power in
// one channel of either receive chain, 4096 samples at a time, and keeps the
// peak for listen-before-talk.
//
// Registers, by byte address (multi-byte values little-endian):
//   0x107        bit 0: receive chain measured (1 = chain 1)
//   0x200-0x201  frequency offset of the measurement below the receive LO,
//                13-bit signed, in steps of 3906.25 Hz (the measured channel
//                is centred on LO - offset x 3906.25 Hz); resets to 384
//   0x460        bit 0: bandwidth measured, 0 = 125 kHz, 1 = 500 kHz
//   0x463-0x464  dwell, 12 bits: one sample every (dwell + 1) / 2 us, so a
//                measurement lasts (dwell + 1) / 2 x 4096 us; resets to 2
//   0x465        bit 0: start; a write that sets it while it was clear
//                begins a new measurement with the settings above
//   0x466-0x469  result memory: reading 0x466 takes the sample at the read
//                address and advances the address; 0x467-0x469 give the
//                rest of that sample. A sample is the channel power as a
//                fraction of full scale times 2^32 (0: no power at all)
//   0x477        bit 0: result read address reset (a write that sets it
//                while it was clear moves the read address back to the
//                first sample)
//   0x494-0x497  peak hold: the largest sample of the measurement so far,
//                latched when 0x494 is read; writing it replaces the value
//                held (0 clears it)
// The other bytes of these ranges (0x461-0x462) are plain bytes.
//
// What the detector sees comes from the scenario: a noise floor and signals
// at given frequencies, in dBm at the antenna. A signal counts in a channel
// whose measured band, [centre - bandwidth / 2, centre + bandwidth / 2),
// holds its frequency; the powers present in a sample add up. The board's
// gain turns dBm into dB below full scale: dBFS = dBm + the chain's
// dBFS-to-dBm offset (by default the figures the simulated factory writes
// into the commissioning database, sim/cxdb.cpp). Samples are truncated to
// whole counts, so a sample never reads above the level that made it, and a
// level at or above full scale reads 0xFFFFFFFF.
//
// Timing follows the board's clock: sample n is ready (n + 1) sample periods
// after the start. Samples the measurement has not reached, reads past the
// 4096th sample and reads before any measurement answer 0; the peak covers
// the samples ready when it is read. A measurement sees the scenario as it
// stood at its start.
//
// The receive LO is the AD9361's RX synthesizer once it has been tuned
// through the bridge, the board's power-up LO (set_rx_lo_hz) before.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <vector>

#include "fpga_board.h"

namespace crx::sim {

class PowerDetector : public FpgaBlock {
 public:
  static constexpr uint16_t kChainSelect = 0x107;
  static constexpr uint16_t kFreqOffset = 0x200;
  static constexpr uint16_t kBandwidth = 0x460;
  static constexpr uint16_t kDwell = 0x463;
  static constexpr uint16_t kStart = 0x465;
  static constexpr uint16_t kSample = 0x466;
  static constexpr uint16_t kAddressReset = 0x477;
  static constexpr uint16_t kPeakHold = 0x494;
  static constexpr int kSamples = 4096;
  static constexpr double kOffsetStepHz = 3906.25;
  // No power at all: a noise floor of kSilence reads 0.
  static constexpr double kSilence = -std::numeric_limits<double>::infinity();
  // The offsets the simulated factory calibrates the two chains with.
  static constexpr std::array<double, 2> kFactoryDbfsToDbm = {1.25, 2.5};
  static constexpr uint64_t kPowerUpLoHz = 915000000;

  // One started measurement, as the detector took it.
  struct Measurement {
    int chain = 0;
    bool wide = false;          // 500 kHz
    uint16_t dwell = 0;
    int16_t offset_word = 0;
    uint64_t lo_hz = 0;
    double freq_hz = 0;         // centre of the measured channel
    int64_t start_us = 0;       // board time
  };

  // `clock`: the board's time in us; `tuned_lo_hz`: the transceiver's RX LO
  // in Hz, 0 while untuned. Both may be empty.
  PowerDetector(std::function<int64_t()> clock, std::function<uint64_t()> tuned_lo_hz);

  // ---- scenario ----
  // A signal of `level_dbm` centred on `freq_hz`, present in `share` (0 to
  // 1) of the samples, spread evenly; replaces any signal on that frequency.
  void set_power_dbm(uint64_t freq_hz, double level_dbm, double share = 1.0);
  void clear_power(uint64_t freq_hz);
  // The level of every sample whatever the channel; kSilence by default.
  void set_noise_floor(double level_dbm);
  // Every signal gone and the noise floor back to silence.
  void clear();
  // dBFS = dBm + offset on chain `chain` (0 or 1).
  void set_dbfs_to_dbm_offset(int chain, double db);
  void set_rx_lo_hz(uint64_t hz);

  // ---- inspection ----
  // Every measurement started, oldest first (the last 1024).
  std::vector<Measurement> measurements() const;
  void clear_measurements();
  // The sample a level reads as on a chain, as the detector encodes it.
  uint32_t sample_for(double level_dbm, int chain) const;

  uint8_t read(uint16_t address) override;
  void write(uint16_t address, uint8_t value) override;
  void reset() override;

 private:
  struct Signal {
    uint64_t freq_hz;
    double level_dbm;
    double share;
  };
  void start_locked(uint64_t lo_hz);
  int ready_locked() const;
  uint32_t encode_locked(double power_mw, int chain) const;

  const std::function<int64_t()> clock_;
  const std::function<uint64_t()> tuned_lo_;

  mutable std::mutex mutex_;  // guards everything below
  // Scenario (survives soft resets).
  std::vector<Signal> signals_;
  double noise_floor_dbm_ = kSilence;
  std::array<double, 2> offset_db_ = kFactoryDbfsToDbm;
  uint64_t power_up_lo_hz_ = kPowerUpLoHz;
  // Registers.
  uint8_t chain_select_ = 0;
  std::array<uint8_t, 2> freq_offset_{};
  std::array<uint8_t, 5> control_{};  // 0x460-0x464
  uint8_t start_ = 0;
  uint8_t address_reset_ = 0;
  // The measurement in progress or last taken.
  bool measured_ = false;
  Measurement current_;
  double sample_period_us_ = 0;
  std::vector<uint32_t> samples_;
  int read_address_ = 0;
  uint32_t latched_sample_ = 0;
  uint32_t peak_written_ = 0;  // the value last written, or 0 since the start
  int peak_from_ = 0;          // first sample the peak covers after that write
  uint32_t latched_peak_ = 0;
  std::deque<Measurement> history_;
};

}  // namespace crx::sim
