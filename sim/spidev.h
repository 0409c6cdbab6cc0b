// A spidev character device as the kernel presents it: mode, speed, bit
// order and word size requests, and full-duplex transfer messages. Models of
// the chips behind a spidev port derive from it and answer message().
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "sandbox.h"

namespace crx::sim {

// One transfer of a message, as the library handed it over. `tx` is null for
// a receive-only transfer (zeros are shifted out), `rx` null for a
// transmit-only one.
struct SpiTransfer {
  const uint8_t* tx;
  uint8_t* rx;
  uint32_t len;
  uint32_t speed_hz;
  bool cs_change;
};

// A message as one chip-select period: everything clocked out, in order
// (zeros for receive-only transfers).
std::vector<uint8_t> gather(std::span<SpiTransfer> transfers);
// Hands the bytes clocked in back to the transfers that receive; returns
// the message's length.
int scatter(std::span<SpiTransfer> transfers, const std::vector<uint8_t>& answer);

// What a test sees of a message afterwards: lengths, flags and the bytes
// that went out (zeros where nothing was transmitted).
struct RecordedTransfer {
  std::vector<uint8_t> tx;
  bool has_tx;
  bool has_rx;
  uint32_t len;
  uint32_t speed_hz;
  bool cs_change;
};
using RecordedMessage = std::vector<RecordedTransfer>;

class SpidevDevice : public Device {
 public:
  int ioctl(Handle& h, unsigned long request, void* arg) override;

  // Port settings as last written by the library.
  uint8_t mode() const;
  uint32_t max_speed_hz() const;
  uint8_t lsb_first() const;
  uint8_t bits_per_word() const;

  std::vector<RecordedMessage> messages() const;
  size_t message_count() const;
  void clear_messages();
  // Messages since the device was made (recorded or not); the one whose
  // number (from 0) is `n` fails with EIO, -1 for none. Recording off keeps
  // long runs from growing the record.
  uint64_t message_total() const;
  void fail_message_at(int64_t n);
  void set_recording(bool on);
  // Setting requests fail (the message ioctl still works) while set.
  void fail_settings(bool fail);
  // The next `n` closes report an error (the descriptor is released all the
  // same, as the kernel does).
  void fail_next_close(int n);
  int close(Handle& h) override;

 protected:
  // Answers one message; returns the byte count the kernel would report, or
  // -1 with errno set. The default shifts in zeros.
  virtual int message(std::span<SpiTransfer> transfers);

 private:
  mutable std::mutex mutex_;  // guards the settings, the record and the counters below
  uint64_t total_ = 0;
  int64_t fail_at_ = -1;
  bool recording_ = true;
  uint8_t mode_ = 0;
  uint32_t speed_ = 500000;
  uint8_t lsb_ = 0;
  uint8_t bits_ = 8;
  bool fail_settings_ = false;
  int pending_close_faults_ = 0;
  std::vector<RecordedMessage> record_;
};

}  // namespace crx::sim
