#include "gateway.h"

#include "downlink.h"

#include <sys/time.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace simgw {

namespace {

constexpr uint32_t kRx1DelayUs = 1000000;      // class A first window
constexpr uint32_t kJoinAcceptDelayUs = 5000000;
constexpr int32_t kHandOverLeadUs = 40000;     // crx_send this long before the frame is due

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint64_t le64(const uint8_t* p) { return le32(p) | uint64_t(le32(p + 4)) << 32; }

const char* crc_text(uint32_t status) {
  switch (status) {
    case STAT_CRC_OK: return "ok ";
    case STAT_CRC_BAD: return "BAD";
    case STAT_NO_CRC: return "no ";
    default: return "?  ";
  }
}

// RX1 of the device's region: in the US 915 MHz band the downlink channel
// of the uplink's channel group at 500 kHz, elsewhere the uplink channel.
void rx1_channel(const crx_rx_pkt_t& up, crx_tx_pkt_t& down) {
  if (up.freq_hz >= 902000000 && up.freq_hz <= 915000000) {
    const bool wide = up.bandwidth == BW_500KHZ;
    const uint32_t n = wide ? (up.freq_hz - 903000000) / 1600000 : (up.freq_hz - 902300000) / 200000;
    down.freq_hz = 923300000 + (n % 8) * 600000;
    down.bandwidth = BW_500KHZ;
    down.datarate = wide ? uint32_t(DR_LORA_SF7) : up.datarate;
    down.rf_power = 20;
  } else {
    down.freq_hz = up.freq_hz;
    down.bandwidth = up.bandwidth;
    down.datarate = up.datarate;
    down.rf_power = 14;
  }
}

// RX2: 923.3 MHz SF12 at 500 kHz in the US band, else the EU868 window
// (869.525 MHz SF9) or, outside that band, the uplink channel at SF10.
void rx2_channel(const crx_rx_pkt_t& up, crx_tx_pkt_t& down) {
  if (up.freq_hz >= 902000000 && up.freq_hz <= 928000000 && up.freq_hz < 920000000) {
    down.freq_hz = 923300000;
    down.bandwidth = BW_500KHZ;
    down.datarate = DR_LORA_SF12;
  } else if (up.freq_hz >= 863000000 && up.freq_hz <= 870000000) {
    down.freq_hz = 869525000;
    down.bandwidth = BW_125KHZ;
    down.datarate = DR_LORA_SF9;
  } else {
    down.bandwidth = BW_125KHZ;
    down.datarate = DR_LORA_SF10;
  }
}

}  // namespace

Loop::Loop(Gateway& gw, std::vector<crx::sim::Receiver> plan, crx::sim::TrafficOptions traffic, bool quiet)
    : gw_(gw),
      traffic_(crx::sim::TrafficBoard{[&gw] { return gw.now_us(); },
                                      [&gw](int c) -> crx::sim::Sx1301Chip& { return gw.chip(c); }},
               std::move(plan), traffic),
      quiet_(quiet) {
  for (int k = 0; k < 2; ++k) {
    // The Wren's one chip drives both chains.
    tx_chips_[k] = gw.is_wren() ? 0 : crx_tx_path2chip(uint8_t(k), 0);
    tx_seen_[k] = gw_.chip(tx_chips_[k] % gw_.chip_count()).transmissions().size();
  }
  start_ = std::chrono::steady_clock::now();
}

double Loop::elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Loop::run(double seconds) {
  while (elapsed() < seconds) {
    traffic_.run_until(gw_.now_us());
    receive();
    fetch_locations();
    send_due();
    watch_tx();
  }
  // What is already with the transmitter goes out before the stop.
  auto busy = [](int s) { return s == TX_SCHEDULED || s == TX_EMITTING || s == TX_STATUS_UNKNOWN; };
  while (busy(tx_state_[0]) || busy(tx_state_[1])) {
    struct timeval tv = {0, 5000};
    select(0, nullptr, nullptr, nullptr, &tv);
    watch_tx();
    if (elapsed() > seconds + 6) break;
  }
}

void Loop::receive() {
  crx_rx_pkt_t pkts[16];
  uint8_t nb = 0;
  const struct timeval wait = {0, 5000};
  if (crx_fetch_v2(pkts, 16, &nb, &wait) != 0) {
    if (crx_errno != 68 && fetch_errors_++ == 0) std::printf("crx_fetch_v2 failed: crx_errno %d\n", crx_errno);
    return;
  }
  for (uint8_t i = 0; i < nb; ++i) {
    const crx_rx_pkt_t& p = pkts[i];
    ++received_;
    if (p.status == STAT_CRC_OK) ++crc_ok_;
    if (p.status == STAT_CRC_BAD) ++crc_bad_;
    if (p.rsig[0].valid && p.rsig[1].valid) ++merged_;
    fine_ += p.rsig[0].fine_ts_flag + p.rsig[1].fine_ts_flag;
    if (!quiet_) print_packet(p);
    if (p.status == STAT_CRC_OK) answer(p);
  }
}

// Thread mode: results come through the shared queue, as they would to
// another process of the gateway.
void Loop::fetch_locations() {
  if (!is_loc_enabled() || !loc_use_thread) return;
  crx_loc_result_t r;
  const struct timeval now = {0, 0};
  while (crx_loc_fetch(&r, &now) == 0) {
    ++fine_;
    if (quiet_) continue;
    std::printf("%7.3f s  LOC %08x FCnt %u  %.1f MHz SF%u antenna %u  GPS %u.%09u +-%.0f ns  %+d Hz +-%.0f Hz\n",
                elapsed(), r.dev_addr, r.fcnt, r.freq_hz / 1e6, r.sf, r.antenna, r.gps_sec, r.gps_nsec,
                double(r.time_accuracy_ns), r.freq_offset_hz, double(r.freq_accuracy_hz));
  }
}

void Loop::print_packet(const crx_rx_pkt_t& p) {
  const crx_rsig_t& r = p.rsig[0].valid ? p.rsig[0] : p.rsig[1];
  // UTC once the time reference has been sampled at a PPS.
  struct timespec utc {};
  crx_tref_t ref{};
  if (crx_cnt2utc(ref, p.count_us, &utc) == 0) {
    struct tm t {};
    gmtime_r(&utc.tv_sec, &t);
    std::printf("%02d:%02d:%02d.%03ld UTC  ", t.tm_hour, t.tm_min, t.tm_sec, utc.tv_nsec / 1000000);
    struct timespec gps {};
    if (crx_cnt2gps(p.count_us, &gps) == 0) std::printf("GPS %ld.%03ld  ", long(gps.tv_sec), gps.tv_nsec / 1000000);
  }
  std::printf("%7.3f s  tmst %10u  chip %u ch %2u  SF%-2d %3u kHz  RSSI %4.0f", elapsed(), p.count_us,
              p.if_chain / 10, r.chan, crx_sf_enum2nb(crx_sf_t(p.datarate)),
              p.bandwidth == BW_500KHZ ? 500 : p.bandwidth == BW_250KHZ ? 250 : 125, double(r.rssi));
  if (p.rsig[0].valid && p.rsig[1].valid) std::printf("/%4.0f", double(p.rsig[1].rssi));
  std::printf(" SNR %5.1f  CRC %s", double(r.snr), crc_text(p.status));
  for (int a = 0; a < 2; ++a) {
    const crx_rsig_t& f = p.rsig[a];
    if (f.valid && f.fine_ts_flag)
      std::printf("  fine[%d] GPS %u.%09u +-%.0f ns %+d Hz", a, f.fine_ts_gps_s, f.fine_ts_ns,
                  double(f.time_accuracy_ns), f.freq_offset_hz);
  }
  const uint8_t mtype = p.size ? p.payload[0] >> 5 : 7;
  if (mtype == 0 && p.size >= 23) {
    std::printf("  join    DevEUI %016llx\n", static_cast<unsigned long long>(le64(p.payload + 9)));
  } else if ((mtype == 2 || mtype == 4) && p.size >= 12) {
    std::printf("  %s %08x FCnt %u\n", mtype == 4 ? "conf up" : "up     ", le32(p.payload + 1),
                unsigned(p.payload[6] | p.payload[7] << 8));
  } else {
    std::printf("  %u bytes\n", p.size);
  }
}

void Loop::answer(const crx_rx_pkt_t& p) {
  const uint8_t mtype = p.size ? p.payload[0] >> 5 : 7;
  if (mtype == 4 && p.size >= 12) {
    // An acknowledgement: unconfirmed data down, FCtrl ACK, no payload.
    const uint32_t addr = le32(p.payload + 1);
    const uint16_t fcnt = down_fcnt_[addr]++;
    std::vector<uint8_t> f = {0x60, p.payload[1], p.payload[2], p.payload[3], p.payload[4], 0x20, uint8_t(fcnt),
                              uint8_t(fcnt >> 8), 0x11, 0x22, 0x33, 0x44};
    char what[40];
    std::snprintf(what, sizeof what, "ACK to %08x", addr);
    queue_downlink(p, kRx1DelayUs, f, what, 0);
  } else if (mtype == 0 && p.size >= 23) {
    // A join accept: the network's answer, as it travels encrypted.
    const uint64_t eui = le64(p.payload + 9);
    std::vector<uint8_t> f(17);
    f[0] = 0x20;
    for (size_t i = 1; i < f.size(); ++i) f[i] = uint8_t(eui >> (i % 8 * 8)) ^ uint8_t(0x5A + i);
    char what[48];
    std::snprintf(what, sizeof what, "join accept to %016llx", static_cast<unsigned long long>(eui));
    queue_downlink(p, kJoinAcceptDelayUs, f, what, eui);
  }
}

void Loop::queue_downlink(const crx_rx_pkt_t& up, uint32_t delay_us, std::vector<uint8_t> payload,
                          std::string what, uint64_t dev_eui) {
  crxfwd::JitItem item;
  crx_tx_pkt_t& p = item.pkt;
  crx_init_tx_pkt(&p);
  p.tx_mode = TX_TIMESTAMPED;
  p.count_us = up.count_us + delay_us;
  p.modulation = MOD_LORA;
  p.coderate = CR_LORA_4_5;
  p.preamble = 8;
  p.invert_pol = true;
  p.no_crc = true;
  rx1_channel(up, p);
  // The board's rules, as the forwarder applies them: the split band's
  // chain, and a power the listen-before-talk table allows.
  p.rf_chain = crxfwd::choose_rf_chain(board_type, p.freq_hz, 0);
  crx_lbt_cfg_t lbt{};
  if (crx_get_lbt_configuration(&lbt) == 0 && lbt.enabled == 1 && crx_get_lbt_LUT_index(p.freq_hz, int(p.rf_power)) < 0) {
    const int i = crx_get_lbt_LUT_index(p.freq_hz, -128);
    if (i >= 0) p.rf_power = float(std::min<int32_t>(int32_t(p.rf_power), lbt.entries[i].max_tx_power_dbm));
  }
  p.size = uint8_t(std::min<size_t>(payload.size(), CRX_PAYLOAD_MAX));
  std::copy_n(payload.begin(), p.size, p.payload);
  item.start = p.count_us;
  item.airtime_us = (crx_time_on_air(&p) + 1) * 1000;
  item.token = ++next_token_;
  uint32_t now = 0;
  if (crx_get_instcnt(0, 0, &now) != 0) return;
  crxfwd::TxError e = queue_.admit(item, now);
  if (e == crxfwd::TxError::kCollisionPacket) {
    // As a network server does: the second receive window, a second later
    // on the region's RX2 channel.
    rx2_channel(up, p);
    p.count_us += 1000000;
    item.start = p.count_us;
    item.airtime_us = (crx_time_on_air(&p) + 1) * 1000;
    p.rf_chain = crxfwd::choose_rf_chain(board_type, p.freq_hz, 0);
    e = queue_.admit(item, now);
    if (e == crxfwd::TxError::kNone) what += " (RX2)";
  }
  if (e != crxfwd::TxError::kNone) {
    std::printf("%7.3f s  TX  %s refused: %s\n", elapsed(), what.c_str(), crxfwd::tx_error_name(e));
    if (e == crxfwd::TxError::kCollisionPacket) ++collisions_;
    else if (e == crxfwd::TxError::kTooLate) ++too_late_;
    else ++refused_;
    return;
  }
  waiting_[item.token] = Downlink{std::move(what), dev_eui};
}

void Loop::send_due() {
  uint32_t now = 0;
  if (crx_get_instcnt(0, 0, &now) != 0) return;
  while (auto item = queue_.take_due(now)) {
    const auto w = waiting_.find(item->token);
    const Downlink d = w != waiting_.end() ? w->second : Downlink{};
    if (w != waiting_.end()) waiting_.erase(w);
    const int rc = crx_send(0, &item->pkt);
    if (rc == 0) {
      ++sent_;
      last_tx_freq_ = item->pkt.freq_hz;
      if (d.dev_eui) traffic_.joined(d.dev_eui);
      std::printf("%7.3f s  TX  %s: crx_send at tmst %u for tmst %u, %.1f MHz SF%d, chain %u\n", elapsed(),
                  d.what.c_str(), now, item->pkt.count_us, item->pkt.freq_hz / 1e6,
                  crx_sf_enum2nb(crx_sf_t(item->pkt.datarate)), unsigned(item->pkt.rf_chain));
      tx_state_[item->pkt.rf_chain & 1] = TX_STATUS_UNKNOWN;  // the next look prints what the chip says
    } else if (rc == -1 && crx_errno == ERR_TOO_LATE) {
      ++too_late_;
      std::printf("%7.3f s  TX  %s too late\n", elapsed(), d.what.c_str());
    } else {
      ++refused_;
      std::printf("%7.3f s  TX  %s refused: %d (crx_errno %d)\n", elapsed(), d.what.c_str(), rc, crx_errno);
    }
  }
}

void Loop::watch_tx() {
  for (int k = 0; k < 2; ++k) {
    const uint8_t chip = tx_chips_[k];
    // The Wren's one chip drives both chains: watch it once.
    if (chip >= gw_.chip_count() || (k == 1 && chip == tx_chips_[0])) continue;
    int s = 0;
    if (crx_tx_status(0, chip, &s) != 0) continue;
    if (s != tx_state_[k]) {
      const char* name = s == TX_FREE ? "free" : s == TX_SCHEDULED ? "scheduled" : s == TX_EMITTING ? "emitting" : "off";
      if (!quiet_) std::printf("%7.3f s  TX  chip %u %s\n", elapsed(), chip, name);
      tx_state_[k] = s;
    }
    // What the simulated chip took from its TX buffer.
    const auto sent = gw_.chip(chip).transmissions();
    for (; tx_seen_[k] < sent.size(); ++tx_seen_[k]) {
      const auto& t = sent[tx_seen_[k]];
      if (quiet_) continue;
      std::printf("%7.3f s  TX  chip %u buffer: %.3f MHz SF%u BW %u kHz power index %u, %zu bytes, %s %u\n",
                  elapsed(), chip, frequency_hz(t) / 1e6, t.sf, t.bandwidth_hz() / 1000, t.power_index,
                  t.payload.size(),
                  t.trigger == crx::sim::Transmission::Trigger::kTimestamped ? "at count" : "armed at",
                  t.trigger == crx::sim::Transmission::Trigger::kTimestamped ? t.trigger_count : t.armed_at);
    }
  }
}

// The Wren SX1301 takes the frequency in its radios' PLL terms (an SX1257
// on the simulated boards).
double Loop::frequency_hz(const crx::sim::Transmission& t) const {
  return gw_.is_wren() ? t.radio_frequency_hz(2, last_tx_freq_) : t.frequency_hz(last_tx_freq_);
}

void Loop::print_summary() const {
  const auto& t = traffic_.counts();
  std::printf("\nTraffic: %llu frames (%llu join requests, %llu confirmed), %llu copies received by the chips, "
              "%llu of them with a wrong CRC\n",
              static_cast<unsigned long long>(t.frames), static_cast<unsigned long long>(t.joins),
              static_cast<unsigned long long>(t.confirmed), static_cast<unsigned long long>(t.copies),
              static_cast<unsigned long long>(t.bad_copies));
  std::printf("Fetched: %llu packets, %llu CRC ok, %llu CRC bad, %llu heard on both chains\n",
              static_cast<unsigned long long>(received_), static_cast<unsigned long long>(crc_ok_),
              static_cast<unsigned long long>(crc_bad_), static_cast<unsigned long long>(merged_));
  if (is_loc_enabled()) std::printf("Fine timestamps: %llu\n", static_cast<unsigned long long>(fine_));
  std::printf("Sent: %llu downlinks, %llu refused, %llu too late, %llu collisions\n",
              static_cast<unsigned long long>(sent_), static_cast<unsigned long long>(refused_),
              static_cast<unsigned long long>(too_late_), static_cast<unsigned long long>(collisions_));
  counters c{};
  crx_get_packet_counters(&c);
  std::printf("Packet counters: uplink %u, CRC ok %u, CRC error %u, downlink %u\n", c.uplink, c.crc_ok, c.crc_err,
              c.downlink);
}

}  // namespace simgw
