#include "crx_hal/dedup.h"

#include <utility>

#include "crx_hal/brd_cfg.h"
#include "log.h"

namespace crx::rx {

namespace {

constexpr int32_t kSameWindowUs = 24;

bool same(const RxEntry& a, const RxEntry& b) {
  return same_packet(a.keys, a.pkt.count_us, a.pkt.datarate, b.keys, b.pkt.count_us, b.pkt.datarate);
}

uint8_t chain_of(const RxEntry& x) { return brd_cfg_priv.chip_rf_chain[(x.pkt.if_chain / 10) % kBoardChips]; }

void log_copy(const char* fmt, size_t i, const RxEntry& x) {
  log_line(fmt, int(i), x.pkt.count_us, crx_sf_enum2nb(crx_sf_t(x.pkt.datarate)), int(x.pkt.status),
           x.pkt.freq_hz, unsigned(x.sig.chan), double(x.sig.snr), double(x.sig.rssi),
           static_cast<unsigned long long>(x.keys.dev_id));
}

// k's reception goes into j's block of k's chain, localization included.
void merge_reception(RxEntry& j, const RxEntry& k) {
  const uint8_t chain = chain_of(k);
  if (chain >= kRfChains) return;
  crx_rsig_t& to = j.pkt.rsig[chain];
  const crx_rsig_t& from = k.pkt.rsig[chain];
  to = from;
  to.valid = true;
  to.chan = k.sig.chan;
  to.rssi = k.sig.rssi;
  to.snr = k.sig.snr;
  to.snr_min = k.sig.snr_min;
  to.snr_max = k.sig.snr_max;
}

}  // namespace

bool same_packet(const PacketKeys& a, uint32_t count_a, uint32_t dr_a, const PacketKeys& b, uint32_t count_b,
                 uint32_t dr_b) {
  if (a.mtype != b.mtype || dr_a != dr_b || a.dev_id != b.dev_id) return false;
  const int32_t diff = int32_t(count_a - count_b);  // the counter wraps
  if (diff > kSameWindowUs || diff < -kSameWindowUs) return false;
  return a.mtype == 0 || a.fcnt == b.fcnt;
}

void remove_ghosts(Batch& batch, const History& history) {
  size_t kept = 0;
  for (size_t i = 0; i < batch.n; ++i) {
    const RxEntry& x = batch.e[i];
    bool ghost = false;
    for (size_t h = 0; h < history.n && !ghost; ++h) {
      const HistoryEntry& y = history.e[h];
      const PacketKeys keys{y.mtype, y.fcnt, y.dev_id};
      ghost = same_packet(x.keys, x.pkt.count_us, x.pkt.datarate, keys, y.count_us, y.datarate) &&
              !(y.crc_bad && x.pkt.status == STAT_CRC_OK);
    }
    if (ghost) continue;
    if (kept != i) batch.e[kept] = batch.e[i];
    ++kept;
  }
  batch.n = kept;
}

void merge_duplicates(Batch& batch, bool diversity) {
  for (size_t j = 0; j < batch.n; ++j) {
    size_t k = j + 1;
    while (k < batch.n) {
      RxEntry& a = batch.e[j];
      RxEntry& b = batch.e[k];
      if (!same(a, b)) {
        ++k;
        continue;
      }
      log_copy(" j=%d: tmst=%u SF=%d CRC_status=%d freq=%u - rsig: chan=%u lsnr=%.1f rssi=%.1f dev_id=%llu", j, a);
      log_copy(" k=%d: tmst=%u SF=%d CRC_status=%d freq=%u - rsig: chan=%u lsnr=%.1f rssi=%.1f dev_id=%llu", k, b);
      if (a.pkt.status == STAT_CRC_BAD && b.pkt.status == STAT_CRC_OK) {
        log_line("duplicate found %d:%d (crc), swapping", int(j), int(k));
        std::swap(a, b);
      } else if (a.pkt.status == STAT_CRC_OK && b.pkt.status == STAT_CRC_BAD) {
        log_line("duplicate found %d:%d (crc)", int(j), int(k));
      } else if (a.sig.snr >= b.sig.snr) {
        log_line("duplicate found %d:%d (snr)", int(j), int(k));
      } else {
        std::swap(a, b);
      }
      if (diversity && chain_of(a) != chain_of(b) && a.pkt.freq_hz == b.pkt.freq_hz) merge_reception(a, b);
      batch.e[k] = batch.e[batch.n - 1];
      --batch.n;
    }
  }
}

void rebuild_history(History& history, const Batch& batch) {
  history.n = 0;
  for (size_t i = 0; i < batch.n && i < history.e.size(); ++i) {
    const RxEntry& x = batch.e[i];
    history.e[history.n++] =
        HistoryEntry{x.pkt.count_us, x.pkt.datarate, x.pkt.if_chain, x.keys.mtype,
                     x.keys.fcnt,    x.keys.dev_id,   x.pkt.status == STAT_CRC_BAD};
  }
}

}  // namespace crx::rx
