#include "traffic.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "airtime.h"
#include "rx_fifo.h"

namespace crx::sim {

namespace {

using Json = nlohmann::json;

constexpr uint64_t kJoinEui = 0x70B3D57ED0000001ull;
constexpr uint64_t kFirstDevEui = 0x0004A30B00100000ull;

// Demodulation floor of each SF (SF7 to SF12), dB; devices keep 5 dB above.
constexpr float kSnrFloor[6] = {-7.5f, -10.0f, -12.5f, -15.0f, -17.5f, -20.0f};
constexpr float kLinkMargin = 5.0f;

void put_le(std::vector<uint8_t>& b, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

// Stands in for the MIC: four bytes that depend on the frame.
void put_check(std::vector<uint8_t>& b) {
  uint32_t h = 2166136261u;
  for (uint8_t x : b) h = (h ^ x) * 16777619u;
  put_le(b, h, 4);
}

uint16_t crc16(const std::vector<uint8_t>& b) {
  uint16_t crc = 0;
  for (uint8_t x : b) {
    crc ^= uint16_t(x << 8);
    for (int i = 0; i < 8; ++i) crc = uint16_t(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

// "7-10" or 8: the SF range of a channel entry.
void sf_range(const Json& entry, uint8_t def_min, uint8_t def_max, uint8_t& lo, uint8_t& hi) {
  lo = def_min;
  hi = def_max;
  const auto it = entry.find("spread_factor");
  if (it == entry.end()) return;
  if (it->is_number_integer()) {
    lo = hi = uint8_t(it->get<int>());
  } else if (it->is_string()) {
    const std::string s = it->get<std::string>();
    const auto dash = s.find('-');
    lo = uint8_t(std::stoi(s.substr(0, dash)));
    hi = dash == std::string::npos ? lo : uint8_t(std::stoi(s.substr(dash + 1)));
  }
  lo = std::clamp<uint8_t>(lo, 7, 12);
  hi = std::clamp<uint8_t>(hi, lo, 12);
}

}  // namespace

std::vector<Receiver> receivers_from_config(const std::string& text) {
  const Json doc = Json::parse(text, nullptr, true, true);
  const auto conf = doc.find("crx_conf");
  if (conf == doc.end() || !conf->is_array() || conf->empty()) throw std::runtime_error("no crx_conf element");
  const Json& board = conf->at(0);
  float offsets[2] = {-166.0f, -166.0f};
  if (const auto chains = board.find("rf_chain_conf"); chains != board.end() && chains->is_array())
    for (size_t i = 0; i < 2 && i < chains->size(); ++i)
      offsets[i] = (*chains)[i].value("rssi_offset", offsets[i]);

  std::vector<Receiver> plan;
  const auto chips = board.find("SX1301_conf");
  if (chips == board.end() || !chips->is_array()) return plan;
  for (size_t c = 0; c < chips->size(); ++c) {
    const Json& chip = (*chips)[c];
    if (!chip.value("chip_enable", false)) continue;
    const uint8_t chain = uint8_t(chip.value("chip_rf_chain", 0) & 1);
    auto add = [&](const Json& ch, uint8_t if_chan, uint32_t bw, uint8_t lo, uint8_t hi) {
      Receiver r;
      r.chip = int(c);
      r.if_chan = if_chan;
      r.freq_hz = ch.value("chan_rx_freq", 0u);
      r.bandwidth_hz = bw;
      r.sf_min = lo;
      r.sf_max = hi;
      r.rf_chain = chain;
      r.rssi_offset = offsets[chain];
      if (r.freq_hz && ch.value("enable", true)) plan.push_back(r);
    };
    for (uint8_t n = 0; n < 8; ++n) {
      const auto ch = chip.find("chan_multiSF_" + std::to_string(n));
      if (ch == chip.end() || !ch->is_object()) continue;
      uint8_t lo, hi;
      sf_range(*ch, 7, 12, lo, hi);
      add(*ch, n, 125000, lo, hi);
    }
    if (const auto ch = chip.find("chan_LoRa_std"); ch != chip.end() && ch->is_object()) {
      uint8_t lo, hi;
      sf_range(*ch, 7, 7, lo, hi);
      add(*ch, 8, ch->value("bandwidth", 250000u), lo, lo);
    }
  }
  return plan;
}

std::vector<uint8_t> lorawan_data_frame(bool confirmed, uint32_t dev_addr, uint16_t fcnt, uint8_t fport,
                                        const std::vector<uint8_t>& frm_payload) {
  std::vector<uint8_t> b{uint8_t(confirmed ? 0x80 : 0x40)};
  put_le(b, dev_addr, 4);
  b.push_back(0x80);  // FCtrl: ADR, no options
  put_le(b, fcnt, 2);
  b.push_back(fport);
  b.insert(b.end(), frm_payload.begin(), frm_payload.end());
  put_check(b);
  return b;
}

std::vector<uint8_t> lorawan_join_request(uint64_t join_eui, uint64_t dev_eui, uint16_t dev_nonce) {
  std::vector<uint8_t> b{0x00};
  put_le(b, join_eui, 8);
  put_le(b, dev_eui, 8);
  put_le(b, dev_nonce, 2);
  put_check(b);
  return b;
}

TrafficGenerator::TrafficGenerator(FpgaBoardPort& board, std::vector<Receiver> plan, TrafficOptions options)
    : TrafficGenerator(TrafficBoard{[&board] { return board.now_us(); },
                                    [&board](int chip) -> Sx1301Chip& { return board.chip(chip); }},
                       std::move(plan), options) {}

TrafficGenerator::TrafficGenerator(TrafficBoard board, std::vector<Receiver> plan, TrafficOptions options)
    : board_(std::move(board)), plan_(std::move(plan)), options_(options), rng_(options.seed) {
  for (const Receiver& r : plan_) {
    const bool known = std::any_of(channels_.begin(), channels_.end(), [&](const Channel& c) {
      return c.freq_hz == r.freq_hz && c.bandwidth_hz == r.bandwidth_hz;
    });
    if (!known) channels_.push_back({r.freq_hz, r.bandwidth_hz, r.sf_min, r.sf_max});
  }
  std::uniform_real_distribution<float> rssi(-130.0f, -70.0f);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const int64_t now = board_.now_us();
  const int64_t period = int64_t(options_.mean_period_s * 1e6);
  for (int i = 0; i < options_.devices; ++i) {
    Device d{};
    d.dev_addr = options_.first_dev_addr + uint32_t(i);
    d.dev_eui = kFirstDevEui + uint64_t(i);
    d.joined = unit(rng_) >= options_.unjoined_share;
    d.rssi_dbm = rssi(rng_);
    // A receiver noise floor near -112 dBm at 125 kHz.
    d.snr_db = std::clamp(d.rssi_dbm + 112.0f, -19.0f, 12.0f);
    d.sf = 12;
    for (int s = 0; s < 6; ++s)
      if (d.snr_db >= kSnrFloor[s] + kLinkMargin) {
        d.sf = uint8_t(7 + s);
        break;
      }
    devices_.push_back(d);
  }
  for (size_t i = 0; i < devices_.size(); ++i)
    devices_[i].pending = make_frame(devices_[i], int(i), now + int64_t(unit(rng_) * double(period)));
}

int64_t TrafficGenerator::next_period_us() {
  std::uniform_real_distribution<double> spread(0.5, 1.5);
  return int64_t(options_.mean_period_s * spread(rng_) * 1e6);
}

AirFrame TrafficGenerator::make_frame(Device& d, int index, int64_t start_us) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  AirFrame f;
  f.device = index;
  f.dev_eui = d.dev_eui;
  // Mostly the 125 kHz channels, now and then a wide one at its own SF.
  std::vector<const Channel*> narrow, wide;
  for (const Channel& c : channels_) (c.bandwidth_hz <= 125000 ? narrow : wide).push_back(&c);
  const Channel* ch = nullptr;
  if (!wide.empty() && (narrow.empty() || unit(rng_) < 0.1))
    ch = wide[size_t(unit(rng_) * double(wide.size())) % wide.size()];
  else if (!narrow.empty())
    ch = narrow[size_t(unit(rng_) * double(narrow.size())) % narrow.size()];
  if (!ch) return f;
  f.freq_hz = ch->freq_hz;
  f.bandwidth_hz = ch->bandwidth_hz;
  f.sf = std::clamp(d.sf, ch->sf_min, ch->sf_max);

  if (!d.joined) {
    f.kind = FrameKind::kJoinRequest;
    f.payload = lorawan_join_request(kJoinEui, d.dev_eui, d.dev_nonce++);
  } else {
    f.kind = unit(rng_) < options_.confirmed_share ? FrameKind::kConfirmedUp : FrameKind::kUnconfirmedUp;
    f.dev_addr = d.dev_addr;
    f.fcnt = d.fcnt++;
    f.fport = uint8_t(1 + int(unit(rng_) * 10));
    std::vector<uint8_t> app(4 + size_t(unit(rng_) * 16));
    for (auto& b : app) b = uint8_t(rng_());
    f.payload = lorawan_data_frame(f.kind == FrameKind::kConfirmedUp, d.dev_addr, f.fcnt, f.fport, app);
  }
  if (options_.seal) options_.seal(f);
  LoraFrame air;
  air.sf = f.sf;
  air.bandwidth_hz = f.bandwidth_hz;
  air.payload_bytes = uint32_t(f.payload.size());
  f.airtime_us = lora_airtime_us(air);
  f.end_us = start_us + f.airtime_us;
  return f;
}

void TrafficGenerator::deliver(AirFrame& f, const Device& d) {
  std::normal_distribution<float> fading(0.0f, 2.0f);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (const Receiver& r : plan_) {
    if (r.freq_hz != f.freq_hz || r.bandwidth_hz != f.bandwidth_hz || f.sf < r.sf_min || f.sf > r.sf_max) continue;
    Uplink u;
    u.payload = f.payload;
    u.crc = crc16(u.payload);
    u.if_chan = r.if_chan;
    u.sf = f.sf;
    u.cr = 1;
    const bool bad = unit(rng_) < options_.crc_error_share;
    if (bad && !u.payload.empty()) u.payload[size_t(unit(rng_) * double(u.payload.size())) % u.payload.size()] ^= 0x5A;
    u.crc_state = bad ? Uplink::kCrcBad : Uplink::kCrcOk;
    const float rssi = d.rssi_dbm + fading(rng_);
    u.raw_rssi = uint8_t(std::clamp(std::lround(rssi - r.rssi_offset), 0L, 255L));
    u.snr = std::clamp(d.snr_db + fading(rng_) / 2, -20.0f, 13.0f);
    u.snr_min = u.snr - 1.5f;
    u.snr_max = u.snr + 1.5f;
    u.count_us = board_.chip(r.chip).count_at(f.end_us);
    board_.chip(r.chip).push_uplink(u);
    ++f.copies;
    if (bad) ++f.bad_copies;
  }
  ++counts_.frames;
  if (f.kind == FrameKind::kJoinRequest) ++counts_.joins;
  if (f.kind == FrameKind::kConfirmedUp) ++counts_.confirmed;
  counts_.copies += uint64_t(f.copies);
  counts_.bad_copies += uint64_t(f.bad_copies);
}

std::vector<AirFrame> TrafficGenerator::run_until(int64_t board_us) {
  std::vector<AirFrame> out;
  for (;;) {
    // The device whose pending frame ends first.
    size_t next = devices_.size();
    for (size_t i = 0; i < devices_.size(); ++i) {
      const AirFrame& f = devices_[i].pending;
      if (f.freq_hz == 0 || f.end_us > board_us) continue;
      if (next == devices_.size() || f.end_us < devices_[next].pending.end_us) next = i;
    }
    if (next == devices_.size()) break;
    Device& d = devices_[next];
    AirFrame frame = std::move(d.pending);
    deliver(frame, d);
    d.pending = make_frame(d, int(next), frame.end_us + next_period_us());
    out.push_back(std::move(frame));
  }
  return out;
}

void TrafficGenerator::joined(uint64_t dev_eui) {
  for (size_t i = 0; i < devices_.size(); ++i) {
    Device& d = devices_[i];
    if (d.dev_eui != dev_eui || d.joined) continue;
    d.joined = true;
    d.fcnt = 0;
    // The join request waiting to go out is not sent any more.
    if (d.pending.kind == FrameKind::kJoinRequest)
      d.pending = make_frame(d, int(i), d.pending.end_us - d.pending.airtime_us);
  }
}

}  // namespace crx::sim
