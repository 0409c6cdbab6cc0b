// The FPGA digital gain table, crx_set_tx_power and the temperature
// compensation of the transceiver's attenuation.
#include "crx_hal/tx_power.h"

#include <array>
#include <cmath>
#include <limits>
#include <mutex>

#include "board.h"
#include "crx_hal/hooks.h"
#include "crx_hal/xcvr.h"
#include "device/reg_tables.h"
#include "errors.h"
#include "log.h"

namespace crx::txpower {

namespace {

constexpr std::array<uint16_t, kTxGainEntries> kDigGain = {
    6213, 6245, 6278, 6310, 6343, 6375, 6408, 6440, 6473, 6505, 6538, 6570, 6603, 6635, 6668, 6700,
    6733, 6765, 6798, 6830, 6863, 6895, 6928, 6960, 6993, 7025, 7058, 7090, 7123, 7155, 7188, 7220,
    7253, 7285, 7318, 7350, 7383, 7415, 7448, 7480, 7513, 7545, 7578, 7610, 7643, 7678, 7713, 7747,
    7781, 7815, 7849, 7884, 7919, 7954, 7989, 8023, 8058, 8093, 8128, 8159, 0};

constexpr std::array<int8_t, kTempEntries> kTempCorrection = {
    10, 10, 9, 8, 8, 7, 6, 6, 5, 4, 4, 3, 3, 2, 1, 1, 0, -1, -1, -2, -3, -3, -4, -4, -5, -6, -6, -7, -8, -8, -9};

std::array<TxGainEntry, kTxGainEntries> initial_table() {
  std::array<TxGainEntry, kTxGainEntries> t{};
  for (int i = 0; i < kTxGainEntries; ++i) t[size_t(i)] = {float(i) * kTxGainStepDb, 0, 0, kDigGain[size_t(i)], 0};
  return t;
}

cx_tx_dig_gain_table_t uncalibrated_record() {
  cx_tx_dig_gain_table_t r{};
  r.Temperature_degC = kNoCalibration;
  return r;
}

std::mutex table_mutex;  // guards gain_table
std::array<TxGainEntry, kTxGainEntries> gain_table = initial_table();

std::mutex cal_mutex;  // guards cal
TxCal cal{uncalibrated_record(), false};

}  // namespace

TxGainEntry tx_gain_entry(int index) {
  std::lock_guard lock(table_mutex);
  return gain_table[size_t(index < 0 ? 0 : index >= kTxGainEntries ? kTxGainEntries - 1 : index)];
}

int tx_gain_index(float power_dbm) {
  std::lock_guard lock(table_mutex);
  int best = 0;
  for (int i = 0; i < kTxGainEntries; ++i)
    if (gain_table[size_t(i)].power_dbm <= power_dbm) best = i;
  return best;
}

void rewrite_tx_gain_powers(float p_max_dbm) {
  std::lock_guard lock(table_mutex);
  for (int i = 0; i < kTxGainEntries; ++i) {
    gain_table[size_t(i)].power_dbm = p_max_dbm - float(kTxGainEntries - 1 - i) * kTxGainStepDb;
    log_line("tx gain table: %d, pwr: %f", i, double(gain_table[size_t(i)].power_dbm));
  }
}

void reset_tx_gain_powers() {
  std::lock_guard lock(table_mutex);
  gain_table = initial_table();
}

int temperature_index(int celsius) {
  for (int i = 0; i < kTempEntries; ++i) {
    const int d = celsius - (kTempLowest + kTempStep * i);
    if (d <= -kTempStep || d >= kTempStep) continue;
    return (d == 0 || d == -4 || d == -3) ? i : i + 1;
  }
  return kTempEntries;
}

int8_t temperature_correction(int celsius) {
  const int i = temperature_index(celsius);
  if (i < kTempEntries) return kTempCorrection[size_t(i)];
  return celsius < kTempLowest ? kTempCorrection.front() : kTempCorrection.back();
}

bool load_tx_cal() {
  cx_tx_dig_gain_table_t record{};
  const bool ok = CxGetTxDigGainTable(&record);
  std::lock_guard lock(cal_mutex);
  cal = ok ? TxCal{record, true} : TxCal{uncalibrated_record(), false};
  return ok;
}

TxCal tx_cal() {
  std::lock_guard lock(cal_mutex);
  return cal;
}

void forget_tx_cal() {
  std::lock_guard lock(cal_mutex);
  cal = {uncalibrated_record(), false};
}

}  // namespace crx::txpower

namespace {

using namespace crx;
using namespace crx::txpower;

// A float temperature as whole degrees toward zero, held inside a range
// where the grid arithmetic cannot overflow.
int whole_degrees(float celsius) {
  const double t = std::trunc(double(celsius));
  return t < -1000.0 ? -1000 : t > 1000.0 ? 1000 : int(t);
}

// Quarter-dB attenuation of one output, kept inside the transceiver's range.
int32_t compensated_steps(int32_t high, int32_t low, int8_t now, int8_t ref) {
  const int64_t steps = now + (int64_t{high} * 256 + low - ref);
  return steps < 0 ? 0 : steps > 359 ? 359 : int32_t(steps);
}

}  // namespace

extern "C" {

int crx_set_tx_power(uint8_t board, uint8_t rf_chain, uint8_t carrier, float power_dbm) {
  if (board != 0) return fail(ERR_BAD_BOARD_NB);
  if (rf_chain > 1) return fail(ERR_BAD_RFCHAIN_NB);
  if (carrier > 1) return fail(ERR_UNSPECIFIED);
  static constexpr int kRows[2][2] = {{regs::BRD_TX_GAIN_C0_K0, regs::BRD_TX_GAIN_C0_K1},
                                      {regs::BRD_TX_GAIN_C1_K0, regs::BRD_TX_GAIN_C1_K1}};
  const TxGainEntry entry = tx_gain_entry(tx_gain_index(power_dbm));
  return crx_reg_brd_w(0, kRows[rf_chain][carrier], entry.dig_gain) < 0 ? -1 : 0;
}

int8_t crx_ad9361_temp2atten(uint8_t code, uint8_t cal_code, int16_t coeff_a, int16_t coeff_b) {
  const int32_t c = code, r = cal_code;
  const double sum = double(coeff_a) * double(c * c - r * r) + double(coeff_b) * double(c - r);
  const int32_t whole = int32_t(sum);  // the inputs' range keeps it inside 32 bits
  const float q = std::roundf(4.0f * float(whole) / 65536.0f);
  // Coefficients at their extremes give more than a byte can hold.
  return int8_t(q < -128.0f ? -128 : q > 127.0f ? 127 : int(q));
}

int crx_set_temp_compened_rf_atten(float temp_c) {
  identify_board();
  if (is_wren_board(board_type)) return 0;
  const TxCal c = tx_cal();
  if (c.record.Temperature_degC == kNoCalibration) return -1;
  if (!std::isfinite(temp_c) || !std::isfinite(c.record.Temperature_degC)) return fail(ERR_UNSPECIFIED);
  const int8_t now = temperature_correction(whole_degrees(temp_c));
  const int8_t ref = temperature_correction(whole_degrees(c.record.Temperature_degC));
  const cx_tx_dig_gain_table_t& r = c.record;
  return set_tx_rf_atten(250 * compensated_steps(r.AD936x_TX1_Atten_MSB, r.AD936x_TX1_Atten_LSB, now, ref),
                         250 * compensated_steps(r.AD936x_TX2_Atten_MSB, r.AD936x_TX2_Atten_LSB, now, ref));
}

}  // extern "C"
