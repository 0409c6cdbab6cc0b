// The receive thread's side of localization: which packets go to the
// engine, and, in direct mode, the one packet held back until the block
// has measured it.
#pragma once

#include <optional>
#include <vector>

#include "crx.h"
#include "crx_hal/dedup.h"
#include "loc/loc_engine.h"

namespace crx::rx {

// Owned by the receive thread; nothing here is shared.
class LocFeed {
 public:
  // Queues the batch's packets in order, each first offered to the engine
  // when localization is on; direct mode may hold one back.
  void queue_batch(const Batch& batch);
  // The interrupt line to wait on while a direct-mode request is in
  // flight, else -1.
  int irq_fd() const;
  // The line fired: the held packet gets its fine timestamp (with
  // diversity the second antenna is measured before it is queued).
  void on_irq();
  // A request the block did not answer in time: the block is reset and
  // the packet queued without a fine timestamp.
  void check_expiry();
  // At the thread's end: a held packet is queued as it is.
  void abandon();

 private:
  void submit_all(const Batch& batch);
  void schedule_one(const Batch& batch);
  void release();

  std::optional<crx_rx_pkt_t> held_;
  loc::Request req_{};
  bool second_antenna_ = false;
  // Scratch of the direct-mode choice, kept to spare an allocation per batch.
  std::vector<loc::FrameHeader> frames_;
  std::vector<crx_rx_pkt_t> pkts_;
};

}  // namespace crx::rx
