#include "crx_hal/rx_loc.h"

#include <atomic>

#include "crx_hal/rx_queue.h"

namespace crx::rx {

namespace {

// The duplicate key's frame counter mixes in the byte after the counter
// (harmless for telling copies apart); a result names the uplink to the
// network, so it carries the frame's own 16-bit counter.
loc::FrameHeader header_of(const RxEntry& e) {
  uint16_t fcnt = e.keys.fcnt;
  if (e.keys.mtype != 0 && e.pkt.size >= 8) fcnt = uint16_t(e.pkt.payload[6] | e.pkt.payload[7] << 8);
  return {e.keys.mtype, fcnt, e.keys.dev_id};
}

void queue_all(const Batch& batch) {
  for (size_t i = 0; i < batch.n; ++i) rxq::push(batch.e[i].pkt);
}

}  // namespace

void LocFeed::queue_batch(const Batch& batch) {
  if (batch.n == 0) return;
  // Enabling is another process's call, so it is asked once per batch.
  if (!loc::engine_running() || !is_loc_enabled()) return queue_all(batch);
  if (std::atomic_ref(loc_use_thread).load(std::memory_order_relaxed)) return submit_all(batch);
  schedule_one(batch);
}

void LocFeed::submit_all(const Batch& batch) {
  for (size_t i = 0; i < batch.n; ++i) {
    const RxEntry& e = batch.e[i];
    const loc::FrameHeader frame = header_of(e);
    if (loc::loc_pkt_eligible(frame, e.pkt)) {
      loc::Request req{};
      loc::loc_init_req(req, frame, e.pkt, 1);
      loc::loc_process_pkt(req);  // a request already too old is refused there
    }
    rxq::push(e.pkt);
  }
}

// The block measures one packet at a time: while one is in flight the
// batch goes straight to the queue.
void LocFeed::schedule_one(const Batch& batch) {
  int chosen = -1;
  if (!held_) {
    frames_.clear();
    pkts_.clear();
    for (size_t i = 0; i < batch.n; ++i) {
      frames_.push_back(header_of(batch.e[i]));
      pkts_.push_back(batch.e[i].pkt);
    }
    chosen = loc::loc_schedule_pkt(frames_, pkts_, req_);
    if (chosen >= 0) {
      uint16_t wait_ms = 0;
      loc::loc_get_wait_time(req_.sf, &wait_ms);
      if (loc::loc_process_pkt_direct(req_, wait_ms, 0) == 0) {
        held_ = batch.e[size_t(chosen)].pkt;
        second_antenna_ = false;
      } else {
        chosen = -1;
      }
    }
  }
  for (size_t i = 0; i < batch.n; ++i)
    if (int(i) != chosen) rxq::push(batch.e[i].pkt);
}

int LocFeed::irq_fd() const { return held_ ? loc::loc_get_int_fd() : -1; }

void LocFeed::on_irq() {
  if (!held_) return;
  loc::loc_pkt_direct_finished();
  loc::loc_fetch_loc_info(req_, *held_);
  if (!second_antenna_ && req_.diversity && loc::loc_is_pkt_valid(req_)) {
    req_.antenna ^= 1;
    uint16_t wait_ms = 0;
    loc::loc_get_wait_time(req_.sf, &wait_ms);
    if (loc::loc_process_pkt_direct(req_, wait_ms, 1) == 0) {
      second_antenna_ = true;
      return;
    }
  }
  release();
}

void LocFeed::check_expiry() {
  if (!held_ || !loc::loc_get_fpga_expire_status()) return;
  loc::loc_reset_fpga();
  loc::loc_pkt_direct_finished();
  release();
}

void LocFeed::abandon() {
  if (!held_) return;
  loc::loc_pkt_direct_finished();
  release();
}

void LocFeed::release() {
  rxq::push(*held_);
  held_.reset();
}

}  // namespace crx::rx
