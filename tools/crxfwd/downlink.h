// The downstream handler: every datagram that arrives on the down socket
// goes through on_datagram, which answers PULL_RESPs with their TX_ACK and
// fills the just-in-time queue; hand_over gives due downlinks to the
// transmitter. Board rules the server does not know (the split band's
// chain, listen-before-talk) are applied here. No socket of its own: the
// caller sends what it returns. Owned by the downstream thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "crx.h"
#include "jit_queue.h"
#include "protocol.h"

namespace crxfwd {

// What the handler needs of the board: the library's calls, or a stand-in
// (the fuzz target runs without a board).
class Radio {
 public:
  virtual ~Radio() = default;
  virtual bool counter(uint32_t& now) = 0;
  // crx_send's result; on -1 `error` gets crx_errno.
  virtual int send(crx_tx_pkt_t& pkt, int& error) = 0;
  virtual bool gps_to_counter(uint64_t gps_ms, uint32_t& count) = 0;
  virtual uint32_t board() = 0;
  virtual bool tx_range(uint32_t& min_hz, uint32_t& max_hz) = 0;
  virtual float max_power() = 0;
  // The active listen-before-talk table; false when LBT is off.
  virtual bool lbt(crx_lbt_cfg_t& cfg) = 0;
  virtual int lbt_index(uint32_t freq_hz, int power_dbm) = 0;
};

// The library on the running board.
class LibraryRadio : public Radio {
 public:
  bool counter(uint32_t& now) override;
  int send(crx_tx_pkt_t& pkt, int& error) override;
  bool gps_to_counter(uint64_t gps_ms, uint32_t& count) override;
  uint32_t board() override;
  bool tx_range(uint32_t& min_hz, uint32_t& max_hz) override;
  float max_power() override;
  bool lbt(crx_lbt_cfg_t& cfg) override;
  int lbt_index(uint32_t freq_hz, int power_dbm) override;
};

// The chain a downlink must use on a split-band board (the Calder Condor
// drives the band above 900 MHz from chain 0 and below it from chain 1, the
// Plover likewise around 920 MHz); elsewhere the server's.
uint8_t choose_rf_chain(uint32_t board, uint32_t freq_hz, uint8_t hint);

// crx_send's listen-before-talk results as TX_ACK errors: 62 (channel busy)
// COLLISION_PACKET, 63 (longer than the entry's talk time) TX_POWER, 64 (no
// entry) TX_FREQ when no entry covers the frequency at all, else TX_POWER.
TxError lbt_error(int result, bool frequency_covered);

using LogSink = std::function<void(const std::string&)>;

struct DownlinkCounters {
  std::atomic<uint32_t> pull_resp{0};   // PULL_RESP received
  std::atomic<uint32_t> accepted{0};    // admitted into the queue
  std::atomic<uint32_t> refused{0};     // answered with an error
  std::atomic<uint32_t> sent{0};        // handed over and taken by crx_send
  std::atomic<uint32_t> send_failed{0};
  std::atomic<uint32_t> dropped{0};     // datagrams dropped unanswered
};

class Downlink {
 public:
  // lead_us: the hand-over lead before a frame's start.
  Downlink(Radio& radio, uint64_t gateway_eui, int32_t lead_us, LogSink log);

  enum class Event { kDropped, kPullAck, kPullResp };

  // One datagram from the server. TX_ACKs to send go to `replies`.
  // `pull_token` is the token of the last PULL_DATA; a PULL_ACK with
  // another token is dropped.
  Event on_datagram(std::span<const uint8_t> datagram, uint16_t pull_token,
                    std::vector<std::vector<uint8_t>>& replies);

  // Hands every due downlink to the transmitter; late TX_ACKs (refusals at
  // hand-over) go to `replies`.
  void hand_over(std::vector<std::vector<uint8_t>>& replies);

  // µs until the next hand-over; -1 when nothing waits.
  int64_t until_next();

  const DownlinkCounters& counters() const { return counters_; }
  size_t queued() const { return queue_.size(); }

 private:
  TxError admit(TxRequest& req, uint16_t token);
  TxError check_lbt(const crx_tx_pkt_t& pkt, std::string& note);
  void log(const std::string& s) { if (log_) log_(s); }

  Radio& radio_;
  uint64_t eui_;
  JitQueue queue_;
  LogSink log_;
  DownlinkCounters counters_;
};

}  // namespace crxfwd
