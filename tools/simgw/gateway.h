// The gateway loop of the demo: traffic in, packets fetched and printed,
// answers scheduled in the devices' first receive window and handed to the
// library shortly before they are due (one TX buffer per chip holds one
// frame), transmit states followed until the transmitter is free.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "crx.h"
#include "jit_queue.h"
#include "setup.h"
#include "sim/traffic.h"

namespace simgw {

class Loop {
 public:
  Loop(Gateway& gw, std::vector<crx::sim::Receiver> plan, crx::sim::TrafficOptions traffic, bool quiet);

  size_t channels() const { return traffic_.plan().size(); }
  void run(double seconds);
  void print_summary() const;

 private:
  struct Downlink {
    std::string what;
    uint64_t dev_eui = 0;  // a join accept's device, told to the traffic once sent
  };

  void receive();
  void fetch_locations();
  void print_packet(const crx_rx_pkt_t& p);
  void answer(const crx_rx_pkt_t& p);
  void queue_downlink(const crx_rx_pkt_t& up, uint32_t delay_us, std::vector<uint8_t> payload, std::string what,
                      uint64_t dev_eui);
  void send_due();
  void watch_tx();
  double frequency_hz(const crx::sim::Transmission& t) const;
  double elapsed() const;

  Gateway& gw_;
  crx::sim::TrafficGenerator traffic_;
  bool quiet_;
  uint8_t tx_chips_[2] = {0, 2};  // chain 0's and chain 1's
  std::chrono::steady_clock::time_point start_;
  // The forwarder's just-in-time queue: each downlink is handed over a
  // lead before it starts, several share a transmitter, overlaps on one
  // RF chain are refused as collisions. Keyed by the item's token.
  crxfwd::JitQueue queue_{40000};
  std::map<uint16_t, Downlink> waiting_;
  uint16_t next_token_ = 0;
  std::map<uint32_t, uint16_t> down_fcnt_;
  int tx_state_[2] = {TX_FREE, TX_FREE};
  size_t tx_seen_[2] = {0, 0};  // transmissions of the simulated chips already printed
  // The buffer holds the frequency within its 8 MHz step: read it near the
  // frequency last sent.
  uint32_t last_tx_freq_ = 0;

  // Tallies.
  uint64_t received_ = 0, crc_ok_ = 0, crc_bad_ = 0, merged_ = 0;
  uint64_t sent_ = 0, refused_ = 0, too_late_ = 0, collisions_ = 0;
  uint64_t fetch_errors_ = 0;
  uint64_t fine_ = 0;  // fine timestamps, in packets or fetched
};

}  // namespace simgw
