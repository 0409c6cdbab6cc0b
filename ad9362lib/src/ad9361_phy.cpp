#include "ad9361_phy.h"

#include <cmath>
#include <new>

#include "ad9361_regs.h"
#include "platform/platform.h"

namespace crx::ad9361 {

namespace p = platform;

struct Phy {
  InitParam param;
  uint8_t rx_divider = 0xFF;  // VCO divider in use, 0xFF before the first tune
  uint8_t tx_divider = 0xFF;
};

namespace {

// Own choices (see ad9361_regs.h): clocks and poll budgets.
constexpr uint64_t kRefClockHz = 40000000;
constexpr uint32_t kBbpllHz = 983040000;
constexpr uint8_t kBbpllAdcDivider = 2;  // ADC clock 245.76 MHz
constexpr int kLockPolls = 100;
constexpr unsigned kLockPollUs = 10;
constexpr int kCalPolls = 100;
constexpr unsigned kCalPollUs = 100;

constexpr uint64_t kMinLoHz = 70000000;
constexpr uint64_t kMaxLoHz = 6000000000;
constexpr uint64_t kMinVcoHz = 6000000000;
constexpr uint64_t kMaxVcoHz = 12000000000;
constexpr uint32_t kMinRfBandwidth = 200000;
constexpr uint32_t kMaxRfBandwidth = 56000000;
constexpr int32_t kMaxRxGainDb = 73;

// Polls `address` until (value & mask) == want.
int wait_bits(uint16_t address, uint8_t mask, uint8_t want, int polls, unsigned interval_us) {
  for (int i = 0; i < polls; ++i) {
    uint8_t v = 0;
    if (p::read_reg(address, &v) < 0) return -1;
    if ((v & mask) == want) return 0;
    p::udelay(interval_us);
  }
  return -1;
}

// Starts a calibration whose start bit clears itself when done.
int run_calibration(uint8_t bit, const char* what) {
  if (p::update_bits(reg::kCalControl, bit, bit) < 0) return -1;
  if (wait_bits(reg::kCalControl, bit, 0, kCalPolls, kCalPollUs) < 0) {
    p::log("ad9361: %s calibration did not complete", what);
    return -1;
  }
  return 0;
}

int check_product() {
  uint8_t id = 0;
  if (p::read_reg(reg::kProductId, &id) < 0) return -1;
  if ((id & reg::kProductMask) != reg::kProductAd9361) {
    p::log("ad9361: unsupported product id 0x%02x", id);
    return -1;
  }
  return 0;
}

int start_bbpll() {
  const uint64_t integer = kBbpllHz / kRefClockHz;
  const uint64_t rest = kBbpllHz % kRefClockHz;
  const uint32_t frac = uint32_t((rest * reg::kBbpllModulus + kRefClockHz / 2) / kRefClockHz);
  if (p::write_reg(reg::kClockEnable, reg::kDigitalPowerUp | reg::kBbpllEnable) < 0 ||
      p::write_reg(reg::kRefScaler, 0) < 0 ||
      p::write_reg(reg::kBbpllFrac2, uint8_t((frac >> 16) & 0x1F)) < 0 ||
      p::write_reg(reg::kBbpllFrac1, uint8_t(frac >> 8)) < 0 ||
      p::write_reg(reg::kBbpllFrac0, uint8_t(frac)) < 0 ||
      p::write_reg(reg::kBbpllInteger, uint8_t(integer)) < 0 ||
      p::write_reg(reg::kBbpllDivider, kBbpllAdcDivider) < 0)
    return -1;
  if (wait_bits(reg::kBbpllStatus, reg::kBbpllLock, reg::kBbpllLock, kLockPolls, kLockPollUs) < 0) {
    p::log("ad9361: BBPLL not locked");
    return -1;
  }
  return 0;
}

uint8_t channel_bits(uint8_t mask) {
  return uint8_t(((mask & 1) ? reg::kChannel1Enable : 0) | ((mask & 2) ? reg::kChannel2Enable : 0));
}

int enter_fdd() {
  if (p::write_reg(reg::kEnsmMode, reg::kFddMode) < 0 || p::write_reg(reg::kEnsmConfig2, reg::kDualSynth) < 0 ||
      p::write_reg(reg::kEnsmConfig1, reg::kToAlert) < 0)
    return -1;
  if (wait_bits(reg::kEnsmState, reg::kStateMask, reg::kStateAlert, kLockPolls, kLockPollUs) < 0) {
    p::log("ad9361: state machine did not reach ALERT");
    return -1;
  }
  if (p::write_reg(reg::kEnsmConfig1, reg::kForceTxOn) < 0) return -1;
  if (wait_bits(reg::kEnsmState, reg::kStateMask, reg::kStateFdd, kLockPolls, kLockPollUs) < 0) {
    p::log("ad9361: state machine did not reach FDD");
    return -1;
  }
  return 0;
}

// The baseband filter's tune divider for an RF bandwidth (the baseband
// corner is half of it): BBPLL x ln 2 / (k x 2 pi x corner), 1 to 511.
uint32_t tune_divider(uint32_t rf_hz, double k) {
  const double corner = rf_hz / 2.0;
  const double d = std::ceil(kBbpllHz * std::log(2.0) / (k * 2.0 * M_PI * corner));
  return d < 1 ? 1 : d > 511 ? 511 : uint32_t(d);
}

int tune_filter(uint16_t low, uint16_t high, uint32_t divider, uint8_t cal_bit, const char* what) {
  if (p::write_reg(low, uint8_t(divider)) < 0 || p::update_bits(high, 0x01, uint8_t(divider >> 8)) < 0) return -1;
  return run_calibration(cal_bit, what);
}

int write_synth_word(const reg::Synth& s, const SynthWord& w) {
  // The synthesizer takes the new word when the integer high byte arrives.
  return p::write_reg(s.frac2, uint8_t((w.fraction >> 16) & 0x7F)) < 0 ||
                 p::write_reg(s.frac1, uint8_t(w.fraction >> 8)) < 0 ||
                 p::write_reg(s.frac0, uint8_t(w.fraction)) < 0 ||
                 p::write_reg(s.integer0, uint8_t(w.integer)) < 0 ||
                 p::write_reg(s.integer1, uint8_t((w.integer >> 8) & 0x07)) < 0
             ? -1
             : 0;
}

int wait_lock(const reg::Synth& s, const char* which) {
  if (wait_bits(s.lock, reg::kSynthLocked, reg::kSynthLocked, kLockPolls, kLockPollUs) < 0) {
    p::log("ad9361: %s synthesizer not locked", which);
    return -1;
  }
  return 0;
}

int full_tune(const reg::Synth& s, bool tx, uint8_t* divider_in_use, uint64_t hz) {
  const char* which = tx ? "TX" : "RX";
  SynthWord w{};
  if (!synth_word(hz, &w)) return -1;
  const uint8_t mask = tx ? reg::kTxDividerMask : reg::kRxDividerMask;
  const uint8_t field = tx ? uint8_t(w.divider << 4) : w.divider;
  if (p::update_bits(reg::kVcoDividers, mask, field) < 0 || write_synth_word(s, w) < 0) return -1;
  if (p::update_bits(s.cp_config, reg::kCpCalEnable, reg::kCpCalEnable) < 0) return -1;
  if (wait_bits(s.cp_status, reg::kCpCalValid, reg::kCpCalValid, kCalPolls, kCalPollUs) < 0) {
    p::log("ad9361: %s charge pump calibration not valid", which);
    return -1;
  }
  if (p::update_bits(s.cp_config, reg::kCpCalEnable, 0) < 0) return -1;
  if (wait_lock(s, which) < 0) return -1;
  *divider_in_use = w.divider;
  return 0;
}

}  // namespace

bool synth_word(uint64_t hz, SynthWord* out) {
  if (hz < kMinLoHz || hz > kMaxLoHz) return false;
  for (uint8_t d = 0; d <= 6; ++d) {
    const uint64_t vco = hz << (d + 1);
    if (vco < kMinVcoHz || vco > kMaxVcoHz) continue;
    uint64_t integer = vco / kRefClockHz;
    uint64_t fraction = ((vco % kRefClockHz) * reg::kRfpllModulus + kRefClockHz / 2) / kRefClockHz;
    if (fraction >= reg::kRfpllModulus) {
      ++integer;
      fraction = 0;
    }
    *out = {d, uint32_t(integer), uint32_t(fraction)};
    return true;
  }
  return false;
}

int init(const InitParam& param, Phy** out) {
  if (!out) return -1;
  *out = nullptr;
  if (p::write_reg(reg::kSpiConfig, reg::kSoftReset) < 0 || p::write_reg(reg::kSpiConfig, 0) < 0) return -1;
  if (check_product() < 0 || start_bbpll() < 0) return -1;
  if (p::update_bits(reg::kGainControlMode, reg::kGainModeMask, 0) < 0 ||
      p::write_reg(reg::kTxEnable, channel_bits(param.tx_en)) < 0 ||
      p::write_reg(reg::kRxEnable, channel_bits(param.rx_en)) < 0)
    return -1;
  if (run_calibration(reg::kBbDcCal, "baseband DC") < 0 || enter_fdd() < 0) return -1;
  Phy* phy = new (std::nothrow) Phy{param};
  if (!phy) return -1;
  *out = phy;
  return 0;
}

void release(Phy* phy) { delete phy; }

int set_rx_rf_bandwidth(Phy* phy, uint32_t hz) {
  if (!phy || hz < kMinRfBandwidth || hz > kMaxRfBandwidth) return -1;
  return tune_filter(reg::kRxBbfDivider0, reg::kRxBbfDivider1, tune_divider(hz, 1.4), reg::kRxBbTune,
                     "RX baseband filter");
}

int set_tx_rf_bandwidth(Phy* phy, uint32_t hz) {
  if (!phy || hz < kMinRfBandwidth || hz > kMaxRfBandwidth) return -1;
  return tune_filter(reg::kTxBbfDivider0, reg::kTxBbfDivider1, tune_divider(hz, 1.6), reg::kTxBbTune,
                     "TX baseband filter");
}

int set_rx_lo_freq(Phy* phy, uint64_t hz) {
  if (!phy) return -1;
  return full_tune(reg::kRxSynth, false, &phy->rx_divider, hz);
}

int set_tx_lo_freq(Phy* phy, uint64_t hz) {
  if (!phy) return -1;
  return full_tune(reg::kTxSynth, true, &phy->tx_divider, hz);
}

int fast_retune_tx_lo(Phy* phy, uint64_t hz) {
  if (!phy) return -1;
  SynthWord w{};
  if (!synth_word(hz, &w)) return -1;
  // The VCO band is calibrated for the divider in use; another divider
  // needs the full sequence.
  if (w.divider != phy->tx_divider) return full_tune(reg::kTxSynth, true, &phy->tx_divider, hz);
  if (write_synth_word(reg::kTxSynth, w) < 0) return -1;
  return wait_lock(reg::kTxSynth, "TX");
}

bool tx_attenuation_valid(int32_t mdb) { return mdb >= 0 && mdb <= int32_t(reg::kMaxAttenSteps * 250); }

bool rx_gain_valid(int32_t db) { return db >= 0 && db <= kMaxRxGainDb; }

int set_tx_attenuation(Phy* phy, int channel, int32_t mdb) {
  if (!phy || channel < 0 || channel > 1 || !tx_attenuation_valid(mdb)) return -1;
  const uint32_t steps = uint32_t(mdb) / 250;
  const uint16_t low = channel == 0 ? reg::kTx1Atten0 : reg::kTx2Atten0;
  const uint16_t high = channel == 0 ? reg::kTx1Atten1 : reg::kTx2Atten1;
  if (p::write_reg(low, uint8_t(steps)) < 0) return -1;
  return p::update_bits(high, 0x01, uint8_t(steps >> 8));
}

int set_rx_rf_gain(Phy* phy, int channel, int32_t db) {
  if (!phy || channel < 0 || channel > 1 || !rx_gain_valid(db)) return -1;
  const uint16_t address = channel == 0 ? reg::kRx1ManualGain : reg::kRx2ManualGain;
  return p::update_bits(address, reg::kGainIndexMask, uint8_t(db));
}

}  // namespace crx::ad9361
