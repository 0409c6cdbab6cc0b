// libFuzzer target: what crxdiag stats reads without the library's help.
// The first byte picks the source (0 hourly history file, 1 daily history
// file, 2 fault memory image, 3 packet-statistics memory image); the rest
// are its bytes. Whatever they hold, the parsers say what they found and
// the picture, the metrics and the reports are drawn from it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "diag.h"
#include "parse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 64 * 1024) return 0;
  const std::span<const uint8_t> bytes(data + 1, size - 1);
  crxdiag::StatsSources s;
  switch (data[0] % 4) {
    case 0:
    case 1: {
      const bool hourly = data[0] % 4 == 0;
      crxdiag::History h = crxdiag::parse_history(bytes, hourly);
      const size_t want = hourly ? crxdiag::kHourlyRecords : crxdiag::kDailyRecords;
      if (h.decoded != h.problem.empty()) std::abort();
      if (h.decoded && (h.records.size() != want || bytes.size() < 8 + want * crxdiag::kRecordSize)) std::abort();
      if (!h.decoded && !h.records.empty()) std::abort();
      (hourly ? s.hourly : s.daily) = std::move(h);
      break;
    }
    case 2:
      s.faults = crxdiag::parse_fault_memory(bytes);
      if (s.faults.decoded && (bytes.size() < crxdiag::kFaultMemorySize || s.faults.major != 1)) std::abort();
      for (int st : s.faults.fault)
        if (st < -1 || st > 255) std::abort();
      (void)crxdiag::dump(crxdiag::faults_json(s.faults));
      break;
    default:
      s.counters = crxdiag::parse_packet_counters(bytes);
      if (s.counters.decoded != (bytes.size() >= crxdiag::kPacketStatsSize)) std::abort();
      break;
  }
  const std::string svg = crxdiag::stats_svg(s);
  if (svg.rfind("<?xml", 0) != 0 || svg.find("</svg>") == std::string::npos) std::abort();
  (void)crxdiag::stats_prometheus(s);
  return 0;
}
