// The sync block's decision rules, apart from the bus so tests reach them.
#pragma once

#include <cstdint>

namespace crx::gps {

struct SyncDecision {
  enum Fault { kNone, kRaise, kClear };
  int status;  // 1 in sync, 0 not
  Fault fault;
};

// From the state (S) and flag (F) registers.
SyncDecision decide_sync(uint32_t state, uint32_t flags);

// The holdover register's value: seconds from block version 12 on, units
// of 64 s before.
uint16_t holdover_value(uint16_t seconds, uint32_t version);

}  // namespace crx::gps
