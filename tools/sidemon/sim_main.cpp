// The program on a simulated Wren board: it joins the sandbox whose root
// the test hands over in CRX_SIM_ROOT (the test has put the commissioning
// database and any configuration there), builds the board's devices in
// this process, and runs with the sandbox's files and clocks. The library's
// console lines are printed as the installed program prints them.
//
// The board, from the environment:
//   CRX_SIM_FAST_CLOCK=1         sleeps return at once and advance the clocks
//   CRX_SIM_SIDE_RADIO=sx1276    the side radio's identity (sx1272 by
//                                default; sx126x for an SX126x board)
//   CRX_SIM_RSSI_DBM=-97.5       the level at the side radio's antenna
//   CRX_SIM_RSSI_READS=3o2x1o    reads of the RSSI register: 3 answered,
//                                2 failed, 1 answered, then answered again
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sidemon.h"
#include "sim/boards.h"
#include "sim/sandbox.h"

namespace {

class EchoingSandbox : public crx::sim::Sandbox {
 public:
  using Sandbox::Sandbox;
  void console(const char* fmt, va_list ap) override {
    va_list copy;
    va_copy(copy, ap);
    std::vprintf(fmt, copy);
    va_end(copy);
    Sandbox::console(fmt, ap);
  }
};

class SandboxEnv : public sidemon::Env {
 public:
  explicit SandboxEnv(crx::sim::Sandbox& sandbox) : sandbox_(sandbox) {}
  std::string locate(const char* path) const override { return sandbox_.host_path(path); }
  time_t now() const override { return sandbox_.now(); }
  struct timespec realtime() const override { return sandbox_.realtime(); }

 private:
  crx::sim::Sandbox& sandbox_;
};

// An SX127x whose RSSI register reads follow a script of answered ('o')
// and failed ('x') reads, each letter after its count.
class ScriptedSx127x : public crx::sim::Sx127xRadio {
 public:
  explicit ScriptedSx127x(const char* script) {
    if (!script) return;
    const char* p = script;
    while (*p) {
      char* end = nullptr;
      const long n = std::strtol(p, &end, 10);
      if (end == p || (*end != 'o' && *end != 'x')) break;
      for (long i = 0; i < n; ++i) script_.push_back(*end == 'x');
      p = end + 1;
    }
  }

 protected:
  int message(std::span<crx::sim::SpiTransfer> transfers) override {
    const std::vector<uint8_t> sent = crx::sim::gather(transfers);
    if (!sent.empty() && sent[0] == 0x11 && next_ < script_.size() && script_[next_++]) {
      errno = EIO;
      return -1;
    }
    return Sx127xRadio::message(transfers);
  }

 private:
  std::vector<bool> script_;  // true: the read fails
  size_t next_ = 0;           // the one caller is the program's main thread
};

}  // namespace

int main(int argc, char** argv) {
  const char* root = std::getenv("CRX_SIM_ROOT");
  if (!root || !*root) {
    std::fputs("CRX_SIM_ROOT names no sandbox\n", stderr);
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  EchoingSandbox sandbox{std::string(root)};
  sandbox.install();
  // Fast and held: the clock moves only by the program's own one-second
  // waits, so an hour of readings is an hour however busy the machine is.
  if (const char* fast = std::getenv("CRX_SIM_FAST_CLOCK"); fast && *fast == '1') {
    sandbox.set_fast_clock(true);
    sandbox.hold_clock(true);
  }

  const std::string side = std::getenv("CRX_SIM_SIDE_RADIO") ? std::getenv("CRX_SIM_SIDE_RADIO") : "sx1272";
  auto gpio = crx::sim::SysfsGpio::install(sandbox);
  auto board = crx::sim::install_wren_board(
      sandbox, side == "sx126x" ? crx::sim::WrenSideRadio::kSx126x : crx::sim::WrenSideRadio::kSx127x);
  crx::sim::wire_wren_rx_status(board, gpio);
  crx::sim::wire_sx126x_busy(board, gpio);
  for (const auto& port : {std::static_pointer_cast<crx::sim::SpidevDevice>(board.sx1301),
                           std::static_pointer_cast<crx::sim::SpidevDevice>(board.gpio_fpga)})
    port->set_recording(false);
  if (side != "sx126x") {
    auto radio = std::make_shared<ScriptedSx127x>(std::getenv("CRX_SIM_RSSI_READS"));
    if (side == "sx1276") radio->set_chip(crx::sim::Sx127xRadio::Chip::kSx1276);
    if (const char* dbm = std::getenv("CRX_SIM_RSSI_DBM")) radio->set_rssi_dbm(std::atof(dbm));
    radio->set_recording(false);
    sandbox.remove_device("/dev/spidev32766.4");
    sandbox.add_device("/dev/spidev32766.4", radio);
    board.side_radio = radio;
  }

  const int status = sidemon::run(argc, argv, SandboxEnv(sandbox));
  std::fflush(stdout);
  sandbox.uninstall();
  return status;
}
