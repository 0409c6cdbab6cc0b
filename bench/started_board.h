// An eight-chip Condor NA board on the simulator, configured from its
// example configuration and started (crx_start) with the real clock, for
// the benchmarks of the receive and transmit paths. One per program: the
// library's state is process-wide.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include <fcntl.h>

#include "crx.h"
#include "platform/os.h"
#include "sim/boards.h"
#include "sim/cxdb.h"
#include "sim/gpio.h"
#include "sim/rx_fifo.h"
#include "sim/traffic.h"

namespace crx::bench {

inline constexpr int kChips = 8;

// The board configured from the example file, not started.
class ConfiguredBoard {
 public:
  crx::sim::Sandbox sandbox;
  std::shared_ptr<crx::sim::FpgaBoardPort> port;
  std::shared_ptr<crx::sim::SysfsGpio> gpio;

  ConfiguredBoard() {
    sandbox.install();
    crx::sim::CxDatabase db(6);
    db.board("Q7000101")
        .set("Configuration", "Operating_Band", "US915")
        .set("Configuration", "Min_UL_Frequency_MHz", 902.0)
        .set("Configuration", "Max_UL_Frequency_MHz", 928.0)
        .set("Configuration", "Min_DL_Frequency_MHz", 902.0)
        .set("Configuration", "Max_DL_Frequency_MHz", 928.0)
        .set("Configuration", "Rx_LO_MHz", 908.6)
        .set("Configuration", "Num_of_SX1301s", kChips);
    crx::sim::cx_put_file(sandbox, db.image());
    port = crx::sim::install_fpga_board(sandbox, kChips);
    gpio = crx::sim::SysfsGpio::install(sandbox);
    std::ifstream in(CRX_BENCH_CONFIG);
    std::stringstream text;
    text << in.rdbuf();
    sandbox.write_file("/etc/default/config.json", text.str());
    if (!crx_read_cfg_json(nullptr)) std::abort();
  }
  ~ConfiguredBoard() {
    crx_stop(0);
    crx_reg_close();
    sandbox.uninstall();
  }
};

class StartedBoard : public ConfiguredBoard {
 public:
  StartedBoard() {
    if (crx_start(0) != 0) std::abort();
    // Nothing in these programs reads the access record; it would only grow.
    port->set_recording(false);
  }

  // The chips' receive-status outputs drive their GPIO lines (or stop doing
  // so: the lines keep their level and the receive thread leaves the FIFOs
  // alone while they are low).
  void wire_rx_lines() { crx::sim::wire_rx_status(*port, gpio, crx::sim::kLargeBoardRxLines); }
  void unwire_rx_lines() {
    for (int c = 0; c < kChips; ++c) port->chip(c).on_rx_status(nullptr);
  }

  // The edge setting of every receive-status line ("rising" as start leaves
  // it, "none" to leave the receive thread with its periodic poll alone).
  bool set_rx_edges(const char* edge) {
    for (int line : crx::sim::kLargeBoardRxLines) {
      const std::string path = "/sys/class/gpio/gpio" + std::to_string(line) + "/edge";
      const int fd = crx::os::open(path.c_str(), O_WRONLY, 0);
      if (fd < 0) return false;
      const ssize_t n = crx::os::write(fd, edge, std::char_traits<char>::length(edge));
      crx::os::close(fd);
      if (n < 0) return false;
    }
    return true;
  }

  // Takes whatever the queue holds.
  static void drain_queue() {
    std::vector<crx_rx_pkt_t> out(CRX_MAX_PKT_NB);
    uint8_t nb = 0;
    do nb = 0;
    while (crx_fetch(0, out.data(), CRX_MAX_PKT_NB, &nb) == 0 && nb > 0);
  }
};

// A LoRaWAN unconfirmed data uplink that no other uplink of a run matches
// (device `dev`, frame counter `fcnt`), on IF channel `if_chan` of the chip
// that hears it, with a `payload_bytes`-byte frame.
inline crx::sim::Uplink unique_uplink(uint32_t dev, uint16_t fcnt, uint8_t if_chan, uint32_t count_us,
                                      size_t payload_bytes = 24) {
  // Header (1) + FHDR (7) + FPort (1) + MIC (4) around the application data.
  const size_t overhead = 13;
  const size_t data = payload_bytes > overhead ? payload_bytes - overhead : 0;
  crx::sim::Uplink u;
  u.payload = crx::sim::lorawan_data_frame(false, 0x26010000u + dev, fcnt, 1, std::vector<uint8_t>(data, 0x5A));
  u.if_chan = if_chan;
  u.sf = uint8_t(7 + fcnt % 4);
  u.cr = 1;
  u.crc_state = crx::sim::Uplink::kCrcOk;
  u.raw_rssi = 90;
  u.snr = 6.5f;
  u.snr_min = 4.0f;
  u.snr_max = 8.25f;
  u.count_us = count_us;
  u.crc = uint16_t(dev * 31 + fcnt);
  return u;
}

}  // namespace crx::bench
