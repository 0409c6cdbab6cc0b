// The planning runs in single precision where the arithmetic is a mean: the
// sums go in list order into a float and are divided by the count as a
// float. A float near 900 MHz is 64 Hz from its neighbours, coarser than
// the SX125x's 61 Hz fraction step, so the order and width of these sums
// decide the tuned frequency and must not change.
#include "wren/channel_plan.h"

#include <cstdlib>

#include "crx_hal/brd_cfg.h"
#include "log.h"

namespace crx::wren {

namespace {

constexpr const char* kAssign = "wren_assign_sx1301_channels_to_RF";
constexpr const char* kDetermine = "auto_determine_sx125x_freq";

float mean_frequency(const wren_chan_entry_t* list, int from, int to, bool multi_sf_only) {
  float sum = 0.0f;
  int count = 0;
  for (int i = from; i < to; ++i) {
    if (multi_sf_only && list[i].chan >= kMultiSfChannels) continue;
    sum += float(list[i].freq_hz);
    ++count;
  }
  return count ? sum / float(count) : 0.0f;
}

bool has_multi_sf(const wren_chan_entry_t* list, int from, int to) {
  for (int i = from; i < to; ++i)
    if (list[i].chan < kMultiSfChannels) return true;
  return false;
}

// A float centre as the radio is tuned to it: truncated to whole Hz.
uint32_t to_hz(float centre) { return centre <= 0.0f ? 0 : uint32_t(centre); }

double mhz(uint32_t hz) { return hz / 1e6; }

}  // namespace

uint32_t default_centre(int radio) {
  const ostra_wren_prv_cfg_t& p = ostra_wren_prv_cfg;
  if (radio == 0) return p.rx_freq_min + 375000;
  return uint32_t((uint64_t{p.rx_freq_min} + p.rx_freq_max) / 2);
}

uint32_t channel_bandwidth(uint8_t chip, int chan) {
  if (chan < kMultiSfChannels) return kMultiSfBandwidthHz;
  const uint32_t bw = chan == kLoraStdChannel ? brd_cfg_priv.std_bandwidth[chip] : brd_cfg_priv.fsk_bandwidth[chip];
  const int hz = crx_bw_enum2nb(crx_bw_t(bw));
  return hz > 0 ? uint32_t(hz) : 0;
}

}  // namespace crx::wren

using namespace crx;
using namespace crx::wren;

extern "C" {

void sort_channel_array(wren_chan_entry_t* list, int count) {
  if (!list) return;
  // Neighbours swap only when the left one is strictly higher, so equal
  // frequencies keep channel order.
  for (int pass = 0; pass + 1 < count; ++pass) {
    bool swapped = false;
    for (int i = 0; i + 1 < count - pass; ++i) {
      if (list[i].freq_hz > list[i + 1].freq_hz) {
        const wren_chan_entry_t t = list[i];
        list[i] = list[i + 1];
        list[i + 1] = t;
        swapped = true;
      }
    }
    if (!swapped) break;
  }
}

void auto_split_channels(wren_chan_entry_t* list, int n) {
  if (!list || n <= 0) return;
  const uint8_t chip = uint8_t(list[0].chip);
  auto half = [&](int i) { return int64_t{channel_bandwidth(chip, list[i].chan) / 2}; };
  const int64_t low = int64_t{list[0].freq_hz} - half(0);
  const int64_t high = int64_t{list[n - 1].freq_hz} + half(n - 1);
  float sum_low = 0.0f, sum_high = 0.0f;
  int n_low = 0, n_high = 0;
  for (int i = 0; i < n; ++i) {
    const int64_t upper_span = int64_t{list[i].freq_hz} + half(i) - low;
    const int64_t lower_span = high - (int64_t{list[i].freq_hz} - half(i));
    if (upper_span >= -kGroupWindowHz && upper_span <= kGroupWindowHz) {
      sum_low += float(list[i].freq_hz);
      ++n_low;
    }
    if (lower_span >= -kGroupWindowHz && lower_span <= kGroupWindowHz) {
      sum_high += float(list[i].freq_hz);
      ++n_high;
    }
  }
  // Entry 0 is always in the low group and entry n-1 in the high one: a
  // channel is narrower than the group window.
  const float avg_low = n_low ? sum_low / float(n_low) : 0.0f;
  const float avg_high = n_high ? sum_high / float(n_high) : 0.0f;
  for (int i = 0; i < n; ++i) {
    const int32_t d_low = int32_t(float(list[i].freq_hz) - avg_low);
    const int32_t d_high = int32_t(float(list[i].freq_hz) - avg_high);
    list[i].radio = std::abs(d_high) < std::abs(d_low) ? 1 : 0;
  }
}

int32_t adjust_avg_sx125x_frequency(uint32_t c, uint32_t f, uint32_t bw) {
  const int64_t h = bw / 2;
  const int64_t centre = c, freq = f;
  if (freq <= centre) {
    const int64_t edge = freq - h, limit = centre - kRadioHalfWindowHz;
    return edge < limit ? int32_t(edge - limit) : 0;
  }
  const int64_t edge = freq + h, limit = centre + kRadioHalfWindowHz;
  return edge > limit ? int32_t(edge - limit) : 0;
}

int auto_sx125x_count_ok_channels(uint8_t chip, uint32_t centre, const wren_chan_entry_t* list, uint8_t* flags,
                                  int from, int to) {
  if (!list) return 0;
  int ok = 0;
  for (int i = from; i < to; ++i) {
    const int64_t h = channel_bandwidth(chip, list[i].chan) / 2;
    const int64_t f = list[i].freq_hz;
    const int64_t edge = f > int64_t{centre} ? f + h : f - h;
    const int64_t offset = edge - int64_t{centre};
    const bool fits = offset >= -kRadioHalfWindowHz && offset <= kRadioHalfWindowHz;
    if (flags) flags[i] = fits ? 0 : 1;
    ok += fits ? 1 : 0;
  }
  return ok;
}

int auto_determine_sx125x_freq(uint8_t chip, uint32_t* out, const wren_chan_entry_t* list, int from, int to) {
  // Nothing planned on this radio: it keeps the centre it has.
  if (!out || !list || from >= to) return 0;
  // Without a multi-SF channel the mean of those is 0/0; the channels the
  // range does hold are the ones the radio must cover.
  const float avg = mean_frequency(list, from, to, has_multi_sf(list, from, to));
  float c_a = avg, c_b = avg, c_best = avg;
  int32_t adj_a = 0, adj_b = 0;
  for (int i = from; i < to; ++i) {
    if (list[i].chan == kLoraStdChannel) {
      adj_a = adjust_avg_sx125x_frequency(to_hz(avg), list[i].freq_hz, channel_bandwidth(chip, list[i].chan));
      c_a = avg + float(adj_a);
    } else if (list[i].chan == kFskChannel) {
      adj_b = adjust_avg_sx125x_frequency(to_hz(avg), list[i].freq_hz, channel_bandwidth(chip, list[i].chan));
      c_b = avg + float(adj_b);
    }
  }
  // Both shifts the same way: the larger one moves the centre for both.
  if ((adj_a >= 0 && adj_b >= 0) || (adj_a <= 0 && adj_b <= 0))
    c_best = std::abs(adj_b) < std::abs(adj_a) ? avg + float(adj_a) : avg + float(adj_b);

  auto count = [&](float c) { return auto_sx125x_count_ok_channels(chip, to_hz(c), list, nullptr, from, to); };
  const int n0 = count(avg);
  const int n_best = c_best == avg ? n0 : count(c_best);
  const int n_a = count(c_a);
  const int n_b = count(c_b);
  float chosen = avg;
  int best = n0;
  if (n_best >= best) chosen = c_best, best = n_best;
  if (n_a > best) chosen = c_a, best = n_a;
  if (n_b > best) chosen = c_b, best = n_b;
  *out = to_hz(chosen);

  if (best < to - from) {
    log_line("E R R O R %s - Could not select sx125x frequency to receive all channels in current channel plan.",
             kDetermine);
    uint8_t flags[kChipChannels] = {};
    // The list holds at most one entry per channel of the chip.
    const int span = to - from <= kChipChannels ? to - from : kChipChannels;
    auto_sx125x_count_ok_channels(chip, *out, list + from, flags, 0, span);
    for (int k = 0; k < span; ++k) {
      if (!flags[k]) continue;
      const wren_chan_entry_t& e = list[from + k];
      const double apart_khz = std::abs(int64_t{*out} - int64_t{e.freq_hz}) / 1e3;
      log_line("E R R O R %s - Channel %d: %.2f MHz can not be supported, %.2f kHz from %.2f MHz LO", kDetermine,
               int(e.chan), mhz(e.freq_hz), apart_khz, mhz(*out));
    }
  }
  return 0;
}

int wren_assign_sx1301_channels_to_RF(uint8_t chip) {
  if (chip >= 1) return 0;  // the Wren boards carry one SX1301
  ostra_wren_prv_cfg_t& p = ostra_wren_prv_cfg;
  wren_chan_entry_t list[kChipChannels];
  int n = 0;
  bool valid = true;
  for (int c = 0; c < kChipChannels; ++c) {
    if (!brd_cfg_priv.chan_enable[chip][c]) continue;
    const uint32_t f = brd_cfg_priv.chan_freq[chip][c];
    if (f < kMinFreqHz) valid = false;
    list[n++] = {chip, c, -1, f};
  }
  p.radio[0].freq_hz = default_centre(0);
  p.radio[1].freq_hz = default_centre(1);
  if (n == 0 || !valid) {
    log_line("BrvDBG-HAL %s WARNING - No valid Rx channels specified. Setting SX125x 0 to %f MHz, and SX125x 1 to "
             "%f MHz.",
             kAssign, mhz(p.radio[0].freq_hz), mhz(p.radio[1].freq_hz));
    return 0;
  }
  sort_channel_array(list, n);
  auto_split_channels(list, n);
  int split = n;
  for (int i = 0; i < n; ++i) {
    if (list[i].radio == 1) {
      split = i;
      break;
    }
  }
  auto_determine_sx125x_freq(chip, &p.radio[0].freq_hz, list, 0, split);
  auto_determine_sx125x_freq(chip, &p.radio[1].freq_hz, list, split, n);
  log_line("BrvDBG-HAL %s - SX125x 0 set to %.2f MHz.", kAssign, mhz(p.radio[0].freq_hz));
  log_line("BrvDBG-HAL %s - SX125x 1 set to %.2f MHz.", kAssign, mhz(p.radio[1].freq_hz));
  // Disabled channels are on no radio: a byte left from an earlier plan
  // would put them in the radio mask of the start.
  for (int c = 0; c < kChipChannels; ++c) p.chan_radio[c] = 0;
  for (int i = 0; i < n; ++i) p.chan_radio[list[i].chan] = list[i].radio == 1 ? 1 : 0;
  return 0;
}

}  // extern "C"
