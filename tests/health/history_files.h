// History files as bytes: made by the tests, and taken apart again.
#pragma once

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "crx.h"
#include "health/pkt_stats.h"

namespace health_test {

using crx::health::StatRecord;

inline std::string history_file(uint32_t magic, const std::vector<StatRecord>& records, uint16_t count = 0) {
  std::string bytes(8, '\0');
  const uint16_t version = 1;
  if (count == 0) count = uint16_t(records.size());
  std::memcpy(bytes.data(), &magic, 4);
  std::memcpy(bytes.data() + 4, &version, 2);
  std::memcpy(bytes.data() + 6, &count, 2);
  bytes.append(reinterpret_cast<const char*>(records.data()), records.size() * sizeof(StatRecord));
  return bytes;
}

// The records after the header (as many whole ones as there are).
inline std::vector<StatRecord> records_of(const std::string& file) {
  std::vector<StatRecord> out;
  if (file.size() < 8) return out;
  out.resize((file.size() - 8) / sizeof(StatRecord));
  std::memcpy(static_cast<void*>(out.data()), file.data() + 8, out.size() * sizeof(StatRecord));
  return out;
}

inline bool operator==(const StatRecord& a, const StatRecord& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A record whose every count says which record of a file it is.
inline StatRecord marked_record(uint32_t mark) {
  StatRecord r{};
  for (int c = 0; c < crx::health::kChannels; ++c)
    r.chan[c] = {mark, 2 * mark, 868100000u + uint32_t(c) * 200000u + mark, 125000};
  for (int s = 0; s < crx::health::kSfEntries; ++s) r.sf[s] = {mark + 1, mark + 2, uint8_t(2 << s), {}};
  return r;
}

inline crx_rx_pkt_t packet(uint8_t if_chain, uint32_t freq_hz, uint32_t status, uint32_t datarate,
                           uint32_t bandwidth = BW_125KHZ) {
  crx_rx_pkt_t p{};
  p.if_chain = if_chain;
  p.freq_hz = freq_hz;
  p.status = status;
  p.datarate = datarate;
  p.bandwidth = bandwidth;
  p.modulation = 1;
  return p;
}

// A UTC calendar time.
inline time_t utc(int year, int month, int day, int hour, int minute, int second = 0) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return ::timegm(&t);
}

}  // namespace health_test
