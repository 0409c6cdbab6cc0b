// UBX framing and the exchange with the receiver's byte interface: bytes
// waiting in registers 0xFD/0xFE, the data stream in register 0xFF.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "gps/gps_internal.h"
#include "log.h"

namespace crx::gps {
namespace {

constexpr uint8_t kRegBytesWaiting = 0xFD;
constexpr uint8_t kRegStream = 0xFF;
constexpr uint8_t kClassAck = 0x05;
constexpr uint8_t kIdAckAck = 0x01;
constexpr uint8_t kIdAckNak = 0x00;
constexpr unsigned kPollWaitUs = 100;
constexpr int kPollWaits = 100;  // 10 ms of waiting per pass
constexpr int kPasses = 2;
constexpr size_t kReadChunk = 256;
// At most this much is drained per poll, so a module that claims more
// cannot hold the caller beyond the waiting budget for long.
constexpr size_t kDrainMax = 4096;

// Bytes the receive path holds at once: one read plus the start of a frame
// left over from the previous one (at most a whole frame that fits the
// record, less one byte).
constexpr size_t kCarryMax = kUbxMaxPayload + kUbxOverhead - 1;
constexpr size_t kRxBuffer = kReadChunk + kCarryMax;
// Longer than any message a u-blox receiver sends on its own: such a length
// is taken for noise rather than skipped, so it cannot swallow the answer.
constexpr size_t kUbxPlausibleMax = 1024;

void checksum(const uint8_t* from, size_t len, uint8_t* ck_a, uint8_t* ck_b) {
  crx_calculate_fletcher_checksum(from, static_cast<unsigned>(len), ck_a, ck_b);
}

// What one pass of the receive path has seen so far.
struct Seen {
  bool message = false;
  bool ack = false;
  bool nak = false;
};

// The bytes the module holds for us, asked twice 100 us apart until both
// answers agree on a non-zero count; 0 when the wait budget runs out, -1
// when the read function fails.
int bytes_waiting(int* budget) {
  const crx_gps_cfg_t& cfg = gps_cfg();
  while (*budget > 0) {
    uint8_t first[2] = {}, second[2] = {};
    if (cfg.read(cfg.dev, kRegBytesWaiting, first, 2) < 0) return -1;
    crx_wait_us(kPollWaitUs);
    --*budget;
    if (cfg.read(cfg.dev, kRegBytesWaiting, second, 2) < 0) return -1;
    const int n = first[0] * 256 + first[1];
    if (n != 0 && n == second[0] * 256 + second[1]) return n;
  }
  return 0;
}

void note_frame(const UbxMessage& frame, uint8_t msg_class, uint8_t msg_id, UbxMessage* out, Seen* seen) {
  if (frame.msg_class == msg_class && frame.msg_id == msg_id) {
    if (out) *out = frame;
    seen->message = true;
  }
  if (frame.msg_class == kClassAck && frame.length >= 2 && frame.payload[0] == msg_class &&
      frame.payload[1] == msg_id) {
    if (frame.msg_id == kIdAckAck) seen->ack = true;
    if (frame.msg_id == kIdAckNak) seen->nak = true;
  }
}

int decide(uint8_t mode, const Seen& seen) {
  const bool acked = seen.ack || seen.nak;
  const int ack_result = seen.nak ? kUbxNak : kUbxOk;
  switch (mode) {
    case kWaitMessage: return seen.message ? kUbxOk : kUbxNothing;
    case kWaitAck: return acked ? ack_result : kUbxNothing;
    default: return (seen.message && acked) ? ack_result : kUbxNothing;
  }
}

// Reassembles frames from the byte stream: what is not a frame (NMEA text
// the module still sends, noise, frames with a bad checksum) is skipped,
// the start of a frame waits for the rest, and frames too long for the
// record are skipped whole, their remaining bytes included.
class FrameAssembler {
 public:
  // Room for the next read.
  size_t room() const { return buf_.size() - used_; }
  uint8_t* tail() { return buf_.data() + used_; }

  template <typename OnFrame>
  void feed(size_t added, OnFrame&& on_frame) {
    used_ += added;
    size_t pos = 0;
    while (pos < used_) {
      if (skip_ > 0) {
        const size_t n = std::min(skip_, used_ - pos);
        skip_ -= n;
        pos += n;
        continue;
      }
      if (buf_[pos] != kUbxSync1) {
        ++pos;
        continue;
      }
      const size_t left = used_ - pos;
      if (left < 2) break;  // a lone first sync byte: wait for the next
      if (buf_[pos + 1] != kUbxSync2) {
        ++pos;
        continue;
      }
      if (left < 6) break;  // the length is not here yet
      const size_t length = buf_[pos + 4] | size_t(buf_[pos + 5]) << 8;
      if (length > kUbxPlausibleMax) {
        pos += 2;  // no receiver message is this long: noise that looks like a header
        continue;
      }
      if (length > kUbxMaxPayload) {
        skip_ = length + kUbxOverhead;
        continue;
      }
      if (left < length + kUbxOverhead) break;
      UbxMessage frame{};
      uint16_t consumed = 0;
      if (get_ubx_frame(&buf_[pos], static_cast<uint16_t>(length + kUbxOverhead), &consumed, &frame) == 1) {
        on_frame(frame);
        pos += length + kUbxOverhead;
      } else {
        pos += 2;  // a bad checksum: look for the next sync inside it
      }
    }
    std::memmove(buf_.data(), buf_.data() + pos, used_ - pos);
    used_ -= pos;
  }

 private:
  std::array<uint8_t, kRxBuffer> buf_{};
  size_t used_ = 0;
  size_t skip_ = 0;
};

}  // namespace

size_t ubx_build_frame(const UbxMessage& msg, std::span<uint8_t> out) {
  const size_t total = size_t(msg.length) + kUbxOverhead;
  if (msg.length > kUbxMaxPayload || out.size() < total) return 0;
  out[0] = kUbxSync1;
  out[1] = kUbxSync2;
  out[2] = msg.msg_class;
  out[3] = msg.msg_id;
  out[4] = static_cast<uint8_t>(msg.length);
  out[5] = static_cast<uint8_t>(msg.length >> 8);
  if (msg.length) std::memcpy(&out[6], msg.payload, msg.length);
  checksum(&out[2], size_t(msg.length) + 4, &out[6 + msg.length], &out[7 + msg.length]);
  return total;
}

int get_ubx_frame(const uint8_t* buf, uint16_t len, uint16_t* consumed, UbxMessage* msg) {
  uint16_t used = len;
  int found = 0;
  if (buf && len >= kUbxOverhead) {
    size_t at = 0;
    while (at + 1 < len && !(buf[at] == kUbxSync1 && buf[at + 1] == kUbxSync2)) ++at;
    used = static_cast<uint16_t>(std::min<size_t>(at + 2, len));
    if (at + 1 < len && at + 6 <= len) {
      const size_t length = buf[at + 4] | size_t(buf[at + 5]) << 8;
      const size_t total = length + kUbxOverhead;
      if (at + total <= len) {
        uint8_t ck_a = 0, ck_b = 0;
        checksum(&buf[at + 2], length + 4, &ck_a, &ck_b);
        if (ck_a == buf[at + 6 + length] && ck_b == buf[at + 7 + length]) {
          used = static_cast<uint16_t>(at + total);
          // A frame longer than the record is refused whole, not cut.
          if (length <= kUbxMaxPayload && msg) {
            msg->msg_class = buf[at + 2];
            msg->msg_id = buf[at + 3];
            msg->length = static_cast<uint16_t>(length);
            std::memcpy(msg->payload, &buf[at + 6], length);
            found = 1;
          }
        }
      }
    }
  }
  if (consumed) *consumed = used;
  return found;
}

int send_ubx_command(const UbxMessage* msg) {
  if (!msg || msg->length > kUbxMaxPayload) {
    log_line("ERROR: wrong parameter - %s", __func__);
    return -1;
  }
  const crx_gps_cfg_t& cfg = gps_cfg();
  const size_t total = size_t(msg->length) + kUbxOverhead;
  std::unique_ptr<uint8_t[]> frame(new (std::nothrow) uint8_t[total]);
  if (!frame) {
    log_line("ERROR: failed to allocate memory");
    return -1;
  }
  ubx_build_frame(*msg, std::span<uint8_t>(frame.get(), total));
  if (!cfg.write || cfg.write(cfg.dev, frame.get(), static_cast<uint16_t>(total)) < 0) {
    log_line("ERROR: failed to write to I2C device ");
    return -1;
  }
  return 0;
}

int get_ubx_response(uint8_t msg_class, uint8_t msg_id, uint8_t mode, UbxMessage* out) {
  const crx_gps_cfg_t& cfg = gps_cfg();
  if (!cfg.read) return kUbxReadFailed;
  FrameAssembler frames;
  Seen seen;
  for (int pass = 0; pass < kPasses; ++pass) {
    int budget = kPollWaits;
    // Drain what the module holds, batch by batch, until the answer is
    // complete or this pass's waiting time is spent.
    while (budget > 0) {
      const int waiting = bytes_waiting(&budget);
      if (waiting < 0) return kUbxReadFailed;
      if (waiting == 0) break;
      size_t left = std::min(static_cast<size_t>(waiting), kDrainMax);
      while (left > 0) {
        const size_t n = std::min({left, kReadChunk, frames.room()});
        std::memset(frames.tail(), 0, n);
        if (cfg.read(cfg.dev, kRegStream, frames.tail(), static_cast<uint16_t>(n)) < 0) return kUbxReadFailed;
        frames.feed(n, [&](const UbxMessage& f) { note_frame(f, msg_class, msg_id, out, &seen); });
        left -= n;
      }
      const int result = decide(mode, seen);
      if (result != kUbxNothing) return result;
    }
  }
  return kUbxNothing;
}

}  // namespace crx::gps
