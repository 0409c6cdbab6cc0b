// The SCM board's meter receiver: field extraction (pure) and the
// process-wide reception counters that crx_cg_fetch keeps.
#pragma once

#include <cstdint>
#include <span>

#include "crx.h"

namespace crx::meter {

inline constexpr size_t kScmFrameLength = 10;
inline constexpr size_t kScmPlusFrameLength = 14;
inline constexpr size_t kTimestampLength = 4;
inline constexpr uint8_t kScmPlusProtocolId = 0x1E;

// Reception counters: never reset, single caller, no lock.
struct CgStatistics {
  uint32_t frames;
  uint32_t scm;
  uint32_t scm_plus;
  uint32_t bch_failures;
  uint32_t bch_one;
  uint32_t bch_two;
  uint32_t bch_three_or_more;
  uint32_t parity_errors;
  uint32_t crc_errors;
  uint64_t calls;
  uint64_t empty_polls;
};
const CgStatistics& cg_statistics();

// Field extraction from corrected frame bytes into a record.
void extract_scm(std::span<const uint8_t, kScmFrameLength> frame, crx_cg_pkt_t& pkt);
void extract_scm_plus(std::span<const uint8_t, kScmPlusFrameLength> frame, crx_cg_pkt_t& pkt);

}  // namespace crx::meter
