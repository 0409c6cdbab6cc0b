// LoRaWAN uplink traffic for demos and load tests.
//
// N devices send frames on the channels a gateway configuration enables:
// unconfirmed and confirmed data frames (DevAddr, FCnt, FPort, a payload
// and a MIC-sized tail) and, from the devices that start unjoined, join
// requests until their join is answered. Each device keeps a spreading
// factor that suits its link (a weak device uses a higher one), waits a
// randomised period between frames, and a frame ends its time on air
// before the chips report it. Every chip with a demodulator on the frame's
// frequency and data rate receives a copy (two chips on different RF
// chains see one frame twice, each with its own RSSI and SNR); a share of
// the copies arrive with a wrong CRC.
//
// Driven by the board's clock: run_until(board.now_us()) puts every frame
// that has ended by then into the chips' receive FIFOs.
//
//   auto plan = crx::sim::receivers_from_config(json_text);
//   crx::sim::TrafficGenerator gen(*port, plan, {.devices = 20});
//   for (;;) { gen.run_until(port->now_us()); ... }
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "fpga_board.h"

namespace crx::sim {

// One demodulator path: chip `chip`'s IF channel `if_chan` (0-7 multi-SF,
// 8 the stand-alone LoRa channel) on `freq_hz`.
struct Receiver {
  int chip = 0;
  uint8_t if_chan = 0;
  uint32_t freq_hz = 0;
  uint32_t bandwidth_hz = 125000;
  uint8_t sf_min = 7, sf_max = 12;
  uint8_t rf_chain = 0;
  float rssi_offset = -166.0f;  // the chain's, to turn dBm into the raw byte
};

// The LoRa receivers a configuration file enables ("crx_conf" element 0),
// comments allowed. Throws std::runtime_error on text that is not JSON or
// lacks the board element.
std::vector<Receiver> receivers_from_config(const std::string& json_text);

enum class FrameKind { kJoinRequest, kUnconfirmedUp, kConfirmedUp };

// A frame as the generator put it on the air.
struct AirFrame {
  FrameKind kind = FrameKind::kUnconfirmedUp;
  int device = 0;          // index of the sending device
  uint32_t dev_addr = 0;   // 0 for a join request
  uint64_t dev_eui = 0;
  uint16_t fcnt = 0;
  uint8_t fport = 0;
  uint32_t freq_hz = 0;
  uint32_t bandwidth_hz = 0;
  uint8_t sf = 0;
  uint32_t airtime_us = 0;
  int64_t end_us = 0;      // board time at the end of the frame
  std::vector<uint8_t> payload;
  int copies = 0;          // chips that received it
  int bad_copies = 0;      // of which with a wrong CRC
};

struct TrafficOptions {
  int devices = 20;
  double mean_period_s = 4.0;     // between two frames of one device
  double confirmed_share = 0.25;  // of the data frames
  double unjoined_share = 0.2;    // devices that start with join requests
  double crc_error_share = 0.05;  // of the copies
  uint32_t first_dev_addr = 0x26011000;
  uint32_t seed = 1;
  // Called on each frame once its payload is built (the MIC bytes a
  // checksum), to make it a real frame: encrypt and sign it with the
  // device's keys. Must keep the payload's length.
  std::function<void(AirFrame&)> seal;
};

struct TrafficCounts {
  uint64_t frames = 0, joins = 0, confirmed = 0, copies = 0, bad_copies = 0;
};

// What the traffic needs of a board: its time in µs and its chips.
struct TrafficBoard {
  std::function<int64_t()> now_us;
  std::function<Sx1301Chip&(int chip)> chip;
};

class TrafficGenerator {
 public:
  TrafficGenerator(FpgaBoardPort& board, std::vector<Receiver> plan, TrafficOptions options = {});
  // Any board: the Wren's one chip, for instance.
  TrafficGenerator(TrafficBoard board, std::vector<Receiver> plan, TrafficOptions options = {});

  // Every frame that ends by `board_us`, in order of its end, pushed into
  // the FIFOs of the chips that hear it.
  std::vector<AirFrame> run_until(int64_t board_us);
  // A device's join was answered: it sends data frames from now on.
  void joined(uint64_t dev_eui);

  const TrafficCounts& counts() const { return counts_; }
  const std::vector<Receiver>& plan() const { return plan_; }

 private:
  struct Device {
    uint32_t dev_addr;
    uint64_t dev_eui;
    bool joined;
    uint16_t fcnt = 0;
    uint16_t dev_nonce = 0;
    uint8_t sf;
    float rssi_dbm;
    float snr_db;
    AirFrame pending;  // made when the previous one ended
  };
  // A channel a device can use: frequency, bandwidth, SF range.
  struct Channel {
    uint32_t freq_hz, bandwidth_hz;
    uint8_t sf_min, sf_max;
  };

  AirFrame make_frame(Device& d, int index, int64_t start_us);
  void deliver(AirFrame& frame, const Device& d);
  int64_t next_period_us();

  TrafficBoard board_;
  std::vector<Receiver> plan_;
  std::vector<Channel> channels_;
  TrafficOptions options_;
  std::mt19937 rng_;
  std::vector<Device> devices_;
  TrafficCounts counts_;
};

// LoRaWAN frame helpers (little-endian fields, MIC bytes filled with a
// checksum: nothing here checks them).
std::vector<uint8_t> lorawan_data_frame(bool confirmed, uint32_t dev_addr, uint16_t fcnt, uint8_t fport,
                                        const std::vector<uint8_t>& frm_payload);
std::vector<uint8_t> lorawan_join_request(uint64_t join_eui, uint64_t dev_eui, uint16_t dev_nonce);

}  // namespace crx::sim
