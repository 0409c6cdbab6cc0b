// crxdiag on a simulated board: it joins the sandbox whose root the caller
// names in CRX_SIM_ROOT (files, keys and semaphores are the sandbox's) and
// builds the board's devices in its own process:
//   CRX_SIM_BOARD   fpga (default): FPGA, SX1301 chips, AD9361, temperature
//                   sensor, sync block and sysfs GPIO; none: no device at all
//   CRX_SIM_CHIPS   SX1301 chips fitted (8)
//   CRX_SIM_FAULT   firmware | transceiver | pll | counter: the step of
//                   crx_start that fails (chip 0 refuses its firmware, the RX
//                   synthesizer never locks, the FPGA PLL never locks, the
//                   counters cannot be read once the offset measurement begins)
//   CRX_SIM_UPLINKS uplinks the chips hear once the board has started (6)
//   CRX_SIM_TAI_OFFSET  the kernel's TAI offset (37)
// Gateway paths given on the command line (-c FILE) are sandbox paths.
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diag.h"
#include "sim/boards.h"
#include "sim/sync_block.h"
#include "sim/traffic.h"

namespace {

std::string env(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

double steady_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

class SimSandbox : public crx::sim::Sandbox {
 public:
  using Sandbox::Sandbox;

  void console(const char* fmt, va_list ap) override {
    va_list copy;
    va_copy(copy, ap);
    char small[512];
    const int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    std::string text = n < 0 ? std::string() : std::string(small, std::min<size_t>(size_t(n), sizeof small - 1));
    {
      std::lock_guard lock(tap_mutex_);
      if (capturing_) lines_.push_back({steady_now(), text});
    }
    // The counter-offset measurement follows this line at once: from here
    // its transfers fail.
    if (fail_after_diversity_ && text.find("Diversity enabled") != std::string::npos && board_) board_->fail_next(1000);
    Sandbox::console(fmt, ap);
  }

  void capture(bool on) {
    std::lock_guard lock(tap_mutex_);
    capturing_ = on;
  }
  std::vector<crxdiag::LogLine> take() {
    std::lock_guard lock(tap_mutex_);
    std::vector<crxdiag::LogLine> out;
    out.swap(lines_);
    return out;
  }

  std::shared_ptr<crx::sim::FpgaBoardPort> board_;
  bool fail_after_diversity_ = false;

 private:
  std::mutex tap_mutex_;  // guards capturing_ and lines_
  bool capturing_ = false;
  std::vector<crxdiag::LogLine> lines_;
};

class SimHost : public crxdiag::Host {
 public:
  explicit SimHost(SimSandbox& sandbox) : sandbox_(sandbox) {}

  std::string locate(const std::string& path) const override { return sandbox_.host_path(path); }
  key_t ipc_key(key_t key) const override { return sandbox_.ipc_key(key); }
  int tai_offset() const override { return sandbox_.tai_offset(); }
  void capture_log(bool on) override { sandbox_.capture(on); }
  std::vector<crxdiag::LogLine> take_log() override { return sandbox_.take(); }
  double monotonic() const override { return steady_now(); }
  time_t now() const override { return sandbox_.now(); }
  void sleep_ms(int ms) const override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

  // Bring-up waits pass at once; the receiving runs in real time.
  void board_started() override {
    sandbox_.set_fast_clock(false);
    if (!sandbox_.board_) return;
    auto& board = *sandbox_.board_;
    const int uplinks = std::atoi(env("CRX_SIM_UPLINKS", "6").c_str());
    const int chips = std::max(1, board.chip_count());
    for (int i = 0; i < uplinks; ++i) {
      crx::sim::Uplink u;
      u.payload = crx::sim::lorawan_data_frame(false, 0x26011000u + uint32_t(i), uint16_t(i), 1, {uint8_t(i), 0x42});
      u.if_chan = uint8_t(i % 8);
      u.sf = uint8_t(7 + i % 6);
      u.crc_state = i % 4 == 3 ? crx::sim::Uplink::kCrcBad : crx::sim::Uplink::kCrcOk;
      u.raw_rssi = uint8_t(100 + i);
      u.snr = 7.5f - float(i);
      u.snr_min = u.snr - 1;
      u.snr_max = u.snr + 1;
      const int chip = i % chips;
      u.count_us = board.chip(chip).count();
      board.chip(chip).push_uplink(u);
    }
  }
  void board_stopping() override { sandbox_.set_fast_clock(true); }

 private:
  SimSandbox& sandbox_;
};

}  // namespace

int main(int argc, char** argv) {
  const char* root = std::getenv("CRX_SIM_ROOT");
  if (!root || !*root) {
    std::fputs("CRX_SIM_ROOT names no sandbox\n", stderr);
    return crxdiag::kExitUsage;
  }
  // The sandbox's owner removes it, with everything in it; this program
  // only joins it and never tears it down (the pointer stays reachable).
  static SimSandbox* const sandbox = new SimSandbox(std::string(root));
  sandbox->install();
  sandbox->set_fast_clock(true);
  sandbox->set_tai_offset(std::atoi(env("CRX_SIM_TAI_OFFSET", "37").c_str()));
  // The devices are made anew for each run: sysfs lines a previous run
  // exported belonged to its models, not to these.
  std::error_code ignored;
  for (const auto& e : std::filesystem::directory_iterator(sandbox->host_path("/sys/class/gpio"), ignored))
    std::filesystem::remove_all(e.path(), ignored);
  if (env("CRX_SIM_BOARD", "fpga") == "fpga") {
    auto board = crx::sim::install_fpga_board(*sandbox, std::atoi(env("CRX_SIM_CHIPS", "8").c_str()));
    auto gpio = crx::sim::SysfsGpio::install(*sandbox);
    crx::sim::wire_rx_status(*board, gpio, crx::sim::kLargeBoardRxLines);
    crx::sim::install_sync_block(*sandbox);
    crx::sim::set_fpga_sync_block(*board, crx::sim::kSyncStateLocked, 0);
    const std::string fault = env("CRX_SIM_FAULT", "");
    if (fault == "firmware") board->chip(0).set_mcu_fault(crx::sim::McuFault::kRefuseLoad);
    if (fault == "transceiver") board->ad9361().set_rx_synth_locks(false);
    if (fault == "pll") board->set_fpga_pll_locks(false);
    if (fault == "counter") sandbox->fail_after_diversity_ = true;
    sandbox->board_ = board;
  }
  SimHost host(*sandbox);
  const int status = crxdiag::run(std::vector<std::string>(argv + 1, argv + argc), host, stdout, stderr);
  std::fflush(stdout);
  sandbox->uninstall();
  return status;
}
