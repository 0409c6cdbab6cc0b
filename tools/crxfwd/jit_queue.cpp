#include "jit_queue.h"

#include <algorithm>

namespace crxfwd {

namespace {

int32_t diff(uint32_t a, uint32_t b) { return int32_t(a - b); }

}  // namespace

bool JitQueue::overlaps(const JitItem& a, const JitItem& b) const {
  if (a.pkt.rf_chain != b.pkt.rf_chain) return false;
  // a busy over [a.start - lead, a.start + airtime), likewise b; measured
  // from a's start so the wrap does not matter.
  const int64_t b_from = int64_t(diff(b.start, a.start)) - lead_us_;
  const int64_t b_to = int64_t(diff(b.start, a.start)) + b.airtime_us;
  const int64_t a_from = -int64_t(lead_us_);
  const int64_t a_to = a.airtime_us;
  return b_from < a_to && a_from < b_to;
}

TxError JitQueue::admit(JitItem item, uint32_t now) {
  if (item.immediate) item.start = now + uint32_t(lead_us_);
  const int32_t ahead = diff(item.start, now);
  if (!item.immediate && ahead < lead_us_) return TxError::kTooLate;
  if (ahead > kMaxAheadUs) return TxError::kTooEarly;
  for (const JitItem& q : items_)
    if (overlaps(q, item)) return TxError::kCollisionPacket;
  if (items_.size() >= kCapacity) {
    // Full: one that would start after all the others may come again
    // later; one among them is told it collides.
    const bool last = std::all_of(items_.begin(), items_.end(),
                                  [&](const JitItem& q) { return diff(item.start, q.start) > 0; });
    return last ? TxError::kTooEarly : TxError::kCollisionPacket;
  }
  const auto at = std::find_if(items_.begin(), items_.end(), [&](const JitItem& q) {
    return diff(q.start, now) > diff(item.start, now);
  });
  items_.insert(at, item);
  return TxError::kNone;
}

std::optional<JitItem> JitQueue::take_due(uint32_t now) {
  if (items_.empty() || diff(items_.front().start, now) > lead_us_) return std::nullopt;
  JitItem item = items_.front();
  items_.erase(items_.begin());
  return item;
}

int64_t JitQueue::until_next(uint32_t now) const {
  if (items_.empty()) return -1;
  const int64_t t = int64_t(diff(items_.front().start, now)) - lead_us_;
  return t > 0 ? t : 0;
}

}  // namespace crxfwd
