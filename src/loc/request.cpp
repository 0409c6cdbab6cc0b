// Which uplinks get localized, and the request each one becomes.
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "board.h"
#include "crx_hal/brd_cfg.h"
#include "crx_hal/hooks.h"
#include "loc/loc_engine.h"
#include "loc/loc_env.h"
#include "loc/loc_shm.h"
#include "log.h"

namespace crx::loc {
namespace {

bool listed(uint64_t dev) {
  SegmentUse seg;
  if (!seg || std::atomic_ref(seg->filter_active).load(std::memory_order_relaxed) == 0) return true;
  if (dev > UINT32_MAX) return false;
  for (size_t i = 0; i < kFilterLength; ++i) {
    const uint32_t a = std::atomic_ref(seg->filter[i]).load(std::memory_order_relaxed);
    if (a == 0) break;  // used entries are packed at the front
    if (a == dev) return true;
  }
  return false;
}

uint8_t sf_of(uint32_t datarate) {
  for (uint8_t sf = 7; sf <= 12; ++sf)
    if (datarate == (1u << (sf - 6))) return sf;
  return 0;
}

uint32_t word_of(float f) {
  uint32_t w;
  std::memcpy(&w, &f, sizeof w);
  return w;
}

bool antenna_zero_only(uint32_t type) { return type >= CRX_BOARD_HERON_FDD && type <= CRX_BOARD_HERON_CALDER; }

}  // namespace

bool loc_pkt_eligible(const FrameHeader& frame, const crx_rx_pkt_t& pkt) {
  if (pkt.status != STAT_CRC_OK || pkt.modulation != MOD_LORA || pkt.bandwidth != BW_125KHZ) return false;
  if (frame.msg_type != 2 && frame.msg_type != 4) return false;
  // The block correlates chirps of SF7 to SF12 only, and the duration
  // estimate has no meaning for any other datarate.
  switch (pkt.datarate) {
    case DR_LORA_SF7: case DR_LORA_SF8: case DR_LORA_SF9: case DR_LORA_SF10: case DR_LORA_SF11: case DR_LORA_SF12:
      break;
    default:
      return false;
  }
  if (geoloc_version() == 1 && (pkt.datarate == DR_LORA_SF11 || pkt.datarate == DR_LORA_SF12)) return false;
  return listed(frame.dev);
}

void loc_init_req(Request& req, const FrameHeader& frame, const crx_rx_pkt_t& pkt, uint8_t thread_mode) {
  req = Request{};
  req.count_us = pkt.count_us;
  req.freq_hz = pkt.freq_hz;
  req.rx_freq_hz = brd_cfg_priv.rx_freq;
  const int bw = crx_bw_enum2nb(static_cast<crx_bw_t>(pkt.bandwidth));
  req.bandwidth_hz = bw > 0 ? static_cast<uint32_t>(bw) : 0;
  req.dev_addr = static_cast<uint32_t>(frame.dev);
  // Short payloads give what they have; nothing before the payload is read.
  const size_t size = pkt.size;
  for (size_t k = 0; k < 4 && k < size; ++k)
    req.payload_tail |= static_cast<uint32_t>(pkt.payload[size - (size < 4 ? size : 4) + k]) << (8 * k);
  req.fcnt = frame.fcnt;
  req.sf = sf_of(pkt.datarate);
  req.cr = static_cast<uint8_t>(pkt.coderate);
  req.size = pkt.size;
  req.has_crc = (pkt.status == STAT_CRC_BAD || pkt.status == STAT_CRC_OK) ? 1 : 0;

  const bool on0 = pkt.rsig[0].valid, on1 = pkt.rsig[1].valid;
  if (antenna_zero_only(board_type)) {
    req.antenna = 0;
  } else if (on0 && on1) {
    req.antenna = 0;
    req.diversity = hooks::diversity() ? 1 : 0;
  } else {
    req.antenna = on1 && !on0 ? 1 : 0;
  }
  req.rssi_raw = word_of(pkt.rsig[req.antenna].rssi);
  req.snr_raw = word_of(pkt.rsig[req.antenna].snr);

  if (thread_mode) {
    req.up_peaks = thread_up_peaks();
    req.down_peaks = thread_down_peaks();
  } else {
    const uint32_t dr = pkt.datarate;
    const bool v2 = geoloc_version() == 2;
    uint8_t up = 2, down = 1;
    if (dr == DR_LORA_SF7 || dr == DR_LORA_SF8) up = 8, down = 2;
    else if (dr == DR_LORA_SF9) up = v2 ? 8 : 5, down = 2;
    else if (dr == DR_LORA_SF10 && v2) up = 5, down = 2;
    req.up_peaks = up;
    req.down_peaks = down;
  }
  req.duration_us = loc_estimate_pkt_len_us(req);
}

uint32_t loc_estimate_pkt_len_us(const Request& req) {
  if (req.bandwidth_hz == 0) return 0;
  const float sf = req.sf;
  const float ts = std::ldexp(1.0f, req.sf) / static_cast<float>(req.bandwidth_hz) * 1000000.0f;
  float n = 4.0f * (2.0f * static_cast<float>(req.size) - sf + 7.0f) + (req.has_crc ? 16.0f : 0.0f);
  n /= req.sf > 10 ? 4.0f * (sf - 2.0f) : 4.0f * sf;
  n = std::ceil(n) * (static_cast<float>(req.cr) + 4.0f);
  if (n < 0.0f) n = 0.0f;
  const float us = (n + 20.25f) * ts + 0.5f;
  return us > 0.0f ? static_cast<uint32_t>(us) : 0;
}

bool pkt_valid_at(const Request& req, uint32_t now_us, uint32_t version) {
  const uint32_t start = req.count_us - req.duration_us;
  const uint32_t age = now_us - start;  // unsigned: a wrap adds 2^32
  const double limit = version == 2 ? 2.048576 : 1.0;
  return static_cast<double>(age) / 1000000.0 < limit;
}

bool loc_is_pkt_valid(const Request& req) {
  uint32_t now = 0;
  if (environment().count_now(now) != 0) return false;
  return pkt_valid_at(req, now, geoloc_version());
}

void loc_get_wait_time(uint8_t sf, uint16_t* ms) {
  if (!ms) return;
  switch (sf) {
    case 7: *ms = 70; break;
    case 8: *ms = 110; break;
    case 9: *ms = 200; break;
    case 10: *ms = 400; break;
    default: *ms = 800; break;
  }
}

int loc_schedule_pkt(std::span<const FrameHeader> frames, std::span<const crx_rx_pkt_t> pkts, Request& req) {
  std::vector<size_t> untried;
  for (size_t i = 0; i < frames.size() && i < pkts.size(); ++i) untried.push_back(i);
  while (!untried.empty()) {
    const size_t pick = static_cast<size_t>(std::rand()) % untried.size();
    const size_t i = untried[pick];
    untried.erase(untried.begin() + static_cast<std::ptrdiff_t>(pick));
    if (!loc_pkt_eligible(frames[i], pkts[i])) continue;
    loc_init_req(req, frames[i], pkts[i], 0);
    if (loc_is_pkt_valid(req)) return static_cast<int>(i);
    log_line("BrvDBG/HAL: too late to trigger location");
  }
  return -1;
}

}  // namespace crx::loc
