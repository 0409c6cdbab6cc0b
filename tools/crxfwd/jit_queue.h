// The just-in-time queue between the server's downlink requests and the
// transmitter. A chip's TX buffer holds one frame, so a downlink is handed
// to crx_send only a fixed lead before it starts; until then it waits here,
// and several downlinks seconds apart share one transmitter.
//
// Every time is a value of the concentrator's 32-bit µs counter, which
// wraps every 71.6 minutes: all comparisons are signed 32-bit differences,
// valid because nothing here lies more than 130 s from "now".
//
// Owned by one thread (the downstream thread); no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "crx.h"
#include "protocol.h"

namespace crxfwd {

struct JitItem {
  crx_tx_pkt_t pkt{};     // tx_mode and count_us set
  uint32_t start = 0;     // counter value at which the frame starts
  uint32_t airtime_us = 0;
  uint16_t token = 0;     // the PULL_RESP's, for a late TX_ACK
  bool immediate = false;
};

class JitQueue {
 public:
  static constexpr size_t kCapacity = 32;
  static constexpr int32_t kMaxAheadUs = 130000000;  // TOO_EARLY beyond

  // `lead_us`: how long before its start a frame is handed to crx_send.
  explicit JitQueue(int32_t lead_us) : lead_us_(lead_us) {}

  int32_t lead_us() const { return lead_us_; }

  // Admits a downlink at counter value `now`, or says why not. An
  // immediate one starts a lead from now.
  TxError admit(JitItem item, uint32_t now);

  // The next item due for hand-over at `now` (its start at most a lead
  // ahead, or already passed), taken out of the queue.
  std::optional<JitItem> take_due(uint32_t now);

  // µs from `now` until the next hand-over (0 when one is due; -1 when the
  // queue is empty).
  int64_t until_next(uint32_t now) const;

  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }

 private:
  // The span an item keeps its chain busy: from its hand-over (the buffer
  // is written then) to the end of its frame.
  bool overlaps(const JitItem& a, const JitItem& b) const;

  int32_t lead_us_;
  std::vector<JitItem> items_;  // by start, earliest first
};

}  // namespace crxfwd
