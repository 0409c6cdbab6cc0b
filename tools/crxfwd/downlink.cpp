#include "downlink.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace crxfwd {

namespace {

std::string format(const char* fmt, auto... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

constexpr uint32_t kCalderSplitHz = 900000000;
constexpr uint32_t kPloverSplitHz = 920000000;

}  // namespace

bool LibraryRadio::counter(uint32_t& now) { return crx_get_instcnt(0, 0, &now) == 0; }

int LibraryRadio::send(crx_tx_pkt_t& pkt, int& error) {
  const int rc = crx_send(0, &pkt);
  error = rc < 0 ? int(crx_errno) : 0;
  return rc;
}

bool LibraryRadio::gps_to_counter(uint64_t gps_ms, uint32_t& count) {
  uint32_t synced = 0;
  if (crx_get_sync_status(&synced) != 0 || synced != 1) return false;
  struct timespec t {};
  t.tv_sec = time_t(gps_ms / 1000);
  t.tv_nsec = long(gps_ms % 1000) * 1000000L;
  return crx_gps2cnt(t, &count) == 0;
}

uint32_t LibraryRadio::board() { return board_type; }

bool LibraryRadio::tx_range(uint32_t& min_hz, uint32_t& max_hz) { return crx_get_tx_freq(&min_hz, &max_hz) == 0; }

float LibraryRadio::max_power() {
  float p = 27.0f;
  if (crx_mc_max_tx_pwr(&p) != 0) return 27.0f;
  return p;
}

bool LibraryRadio::lbt(crx_lbt_cfg_t& cfg) { return crx_get_lbt_configuration(&cfg) == 0 && cfg.enabled == 1; }

int LibraryRadio::lbt_index(uint32_t freq_hz, int power_dbm) { return crx_get_lbt_LUT_index(freq_hz, power_dbm); }

uint8_t choose_rf_chain(uint32_t board, uint32_t freq_hz, uint8_t hint) {
  uint32_t split = 0;
  if (board == CRX_BOARD_CALDER_CONDOR) split = kCalderSplitHz;
  else if (board == CRX_BOARD_PLOVER) split = kPloverSplitHz;
  else return hint;
  if (freq_hz > split) return 0;
  if (freq_hz < split) return 1;
  return hint;  // the split itself is accepted on either chain
}

TxError lbt_error(int result, bool frequency_covered) {
  switch (result) {
    case 62: return TxError::kCollisionPacket;
    case 63: return TxError::kTxPower;
    case 64: return frequency_covered ? TxError::kTxPower : TxError::kTxFreq;
    default: return TxError::kNone;
  }
}

Downlink::Downlink(Radio& radio, uint64_t gateway_eui, int32_t lead_us, LogSink log)
    : radio_(radio), eui_(gateway_eui), queue_(lead_us), log_(std::move(log)) {}

Downlink::Event Downlink::on_datagram(std::span<const uint8_t> d, uint16_t pull_token,
                                      std::vector<std::vector<uint8_t>>& replies) {
  const auto h = parse_header(d);
  if (!h) {
    log(format("downstream: datagram of %zu bytes dropped: shorter than a header", d.size()));
    ++counters_.dropped;
    return Event::kDropped;
  }
  if (h->version != kProtocolVersion) {
    log(format("downstream: datagram of protocol version %u dropped", unsigned(h->version)));
    ++counters_.dropped;
    return Event::kDropped;
  }
  if (h->type == uint8_t(Type::kPullAck)) {
    if (h->token == pull_token && d.size() == 4) return Event::kPullAck;
    log(format("downstream: PULL_ACK with token %04x dropped (expected %04x)", h->token, pull_token));
    ++counters_.dropped;
    return Event::kDropped;
  }
  if (h->type != uint8_t(Type::kPullResp)) {
    log(format("downstream: datagram of type 0x%02x dropped", unsigned(h->type)));
    ++counters_.dropped;
    return Event::kDropped;
  }
  ++counters_.pull_resp;
  TxRequest req;
  TxParseError err;
  if (!parse_txpk(d.subspan(4), req, err)) {
    if (err.error == TxError::kNone) {
      log("downstream: PULL_RESP dropped: " + err.reason);
      ++counters_.dropped;
      return Event::kDropped;
    }
    log(format("downstream: PULL_RESP %04x refused with %s: field \"%s\" %s", h->token, tx_error_name(err.error),
               err.field.c_str(), err.reason.c_str()));
    ++counters_.refused;
    replies.push_back(make_datagram(Type::kTxAck, h->token, eui_, tx_ack_json(err.error)));
    return Event::kPullResp;
  }
  const TxError e = admit(req, h->token);
  if (e == TxError::kNone) ++counters_.accepted;
  else ++counters_.refused;
  replies.push_back(make_datagram(Type::kTxAck, h->token, eui_, tx_ack_json(e)));
  // Sent now rather than at the next wake-up: nothing to wait for.
  if (req.timing == Timing::kImmediate && e == TxError::kNone) hand_over(replies);
  return Event::kPullResp;
}

TxError Downlink::check_lbt(const crx_tx_pkt_t& pkt, std::string& note) {
  crx_lbt_cfg_t cfg{};
  if (!radio_.lbt(cfg)) return TxError::kNone;
  const int power = int(std::lround(pkt.rf_power));
  const int i = radio_.lbt_index(pkt.freq_hz, power);
  if (i < 0 || i >= cfg.count) {
    const bool covered = radio_.lbt_index(pkt.freq_hz, -128) >= 0;
    note = format("no listen-before-talk entry for %u Hz at %d dBm", pkt.freq_hz, power);
    return lbt_error(64, covered);
  }
  const crx_lbt_entry_t& e = cfg.entries[i];
  const uint32_t toa = crx_time_on_air(&pkt);
  if (int64_t(toa) > e.max_talk_time_ms) {
    note = format("%u ms on air exceeds listen-before-talk entry %d (%u-%u Hz, up to %d dBm, %d ms)", toa, i,
                  e.min_freq_hz, e.max_freq_hz, e.max_tx_power_dbm, e.max_talk_time_ms);
    return lbt_error(63, true);
  }
  return TxError::kNone;
}

TxError Downlink::admit(TxRequest& req, uint16_t token) {
  crx_tx_pkt_t& p = req.pkt;
  JitItem item;
  item.token = token;
  uint32_t now = 0;
  if (!radio_.counter(now)) {
    log(format("downstream: PULL_RESP %04x refused with TOO_LATE: the concentrator counter cannot be read", token));
    return TxError::kTooLate;
  }
  switch (req.timing) {
    case Timing::kImmediate:
      item.immediate = true;
      p.tx_mode = TX_IMMEDIATE;
      break;
    case Timing::kCounter:
      item.start = req.tmst;
      p.tx_mode = TX_TIMESTAMPED;
      break;
    case Timing::kGps:
      if (!radio_.gps_to_counter(req.tmms, item.start)) {
        log(format("downstream: PULL_RESP %04x refused with GPS_UNLOCKED: no time reference for tmms %llu", token,
                   static_cast<unsigned long long>(req.tmms)));
        return TxError::kGpsUnlocked;
      }
      p.tx_mode = TX_TIMESTAMPED;
      break;
  }
  const uint8_t chain = choose_rf_chain(radio_.board(), p.freq_hz, uint8_t(req.rfch));
  if (chain != p.rf_chain) {
    log(format("downstream: %.6f MHz goes out on RF chain %u (the server asked for %u)", p.freq_hz / 1e6,
               unsigned(chain), unsigned(p.rf_chain)));
    p.rf_chain = chain;
  }
  uint32_t lo = 0, hi = 0;
  if (radio_.tx_range(lo, hi) && (p.freq_hz < lo || p.freq_hz > hi)) {
    log(format("downstream: PULL_RESP %04x refused with TX_FREQ: %u Hz outside %u-%u Hz", token, p.freq_hz, lo, hi));
    return TxError::kTxFreq;
  }
  const float max_power = radio_.max_power();
  if (p.rf_power > max_power) {
    log(format("downstream: PULL_RESP %04x refused with TX_POWER: %.0f dBm above the board's %.0f dBm", token,
               double(p.rf_power), double(max_power)));
    return TxError::kTxPower;
  }
  std::string note;
  if (const TxError e = check_lbt(p, note); e != TxError::kNone) {
    log(format("downstream: PULL_RESP %04x refused with %s: %s", token, tx_error_name(e), note.c_str()));
    return e;
  }
  const uint32_t toa_ms = crx_time_on_air(&p);
  item.airtime_us = (toa_ms + 1) * 1000;
  item.pkt = p;
  if (!item.immediate) item.pkt.count_us = item.start;
  const TxError e = queue_.admit(item, now);
  if (e != TxError::kNone) {
    log(format("downstream: PULL_RESP %04x refused with %s: start %u, counter now %u, %u ms on air, %zu queued",
               token, tx_error_name(e), item.start, now, toa_ms, queue_.size()));
  }
  return e;
}

void Downlink::hand_over(std::vector<std::vector<uint8_t>>& replies) {
  for (;;) {
    uint32_t now = 0;
    if (!radio_.counter(now)) return;
    auto item = queue_.take_due(now);
    if (!item) return;
    int error = 0;
    const int rc = radio_.send(item->pkt, error);
    if (rc == 0) {
      ++counters_.sent;
      continue;
    }
    ++counters_.send_failed;
    TxError e = TxError::kNone;
    if (rc >= 62 && rc <= 64) {
      crx_lbt_cfg_t cfg{};
      radio_.lbt(cfg);
      const int i = radio_.lbt_index(item->pkt.freq_hz, int(std::lround(item->pkt.rf_power)));
      e = lbt_error(rc, radio_.lbt_index(item->pkt.freq_hz, -128) >= 0);
      std::string entry = "no entry";
      if (i >= 0 && i < cfg.count && i < CRX_LBT_MAX_ENTRIES)
        entry = format("entry %d (%u-%u Hz, up to %d dBm, %d ms, threshold %d dBm)", i, cfg.entries[i].min_freq_hz,
                       cfg.entries[i].max_freq_hz, cfg.entries[i].max_tx_power_dbm,
                       cfg.entries[i].max_talk_time_ms, cfg.entries[i].threshold_dbm);
      log(format("downstream: downlink %04x at %u Hz refused by listen-before-talk (%d: %s), %s; TX_ACK %s",
                 item->token, item->pkt.freq_hz, rc,
                 rc == 62 ? "channel busy" : rc == 63 ? "too long" : "no entry", entry.c_str(), tx_error_name(e)));
    } else if (rc == -1 && error == ERR_TOO_LATE) {
      e = TxError::kTooLate;
      log(format("downstream: downlink %04x handed over too late for counter %u", item->token, item->pkt.count_us));
    } else if (rc == -1 && error == ERR_FREQ_OUT_OF_BAND) {
      e = TxError::kTxFreq;
      log(format("downstream: downlink %04x at %u Hz refused: out of band", item->token, item->pkt.freq_hz));
    } else {
      log(format("downstream: downlink %04x refused by crx_send: result %d, %s", item->token, rc,
                 rc < 0 ? crx_err_message(error) : "unexpected result"));
    }
    if (e != TxError::kNone) replies.push_back(make_datagram(Type::kTxAck, item->token, eui_, tx_ack_json(e)));
  }
}

int64_t Downlink::until_next() {
  if (queue_.empty()) return -1;
  uint32_t now = 0;
  if (!radio_.counter(now)) return 1000;
  return queue_.until_next(now);
}

}  // namespace crxfwd
