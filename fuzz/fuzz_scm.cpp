// libFuzzer target: meter frames from the air through crx_cg_fetch on the
// simulated SCM board. Each 19-byte record of the input is one status word
// and the bytes the frame burst reads (14 for SCM, 18 for SCM+, zero
// padded). Whatever arrives, the call returns 0 or -1 and a delivered
// record keeps its fields in range.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "crx.h"
#include "sim/boards.h"
#include "sim/meter.h"
#include "fuzz_sandbox.h"

namespace {
std::shared_ptr<crx::sim::MeterReceiver> g_meter;
constexpr size_t kRecord = 19;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  crx::sim::Sandbox& sandbox = crx::fuzz::sandbox();
  board_type = CRX_BOARD_SCM;
  num_sx1301_chips = 1;
  static auto port = crx::sim::install_fpga_board(sandbox, 1);
  port->set_recording(false);
  g_meter = crx::sim::install_meter_receiver(*port);
  if (crx_reg_setup(0) != 0 || crx_cg_init() != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (size_t at = 0; at < size; at += kRecord) {
    const size_t n = std::min(kRecord, size - at);
    const uint8_t status = data[at];
    const size_t burst = (status & 0x02) ? 18 : 14;
    std::vector<uint8_t> bytes(burst, 0);
    std::copy(data + at + 1, data + at + std::min(n, burst + 1), bytes.begin());
    if (status & 0x01) g_meter->push_raw(status, bytes);
    crx_cg_pkt_t pkt;
    const int r = crx_cg_fetch(&pkt);
    if (r != 0 && r != -1) std::abort();
    if ((r == -1 || !(status & 0x01)) && pkt.valid) std::abort();
    if (pkt.valid && (pkt.chan > 63 || pkt.nb_err > 2 || pkt.type > 1)) std::abort();
    if (pkt.valid && pkt.type == 0 && (pkt.id >> 26 || pkt.consumption >> 24 || pkt.tamper & ~0xC3)) std::abort();
  }
  if (g_meter->waiting() != 0) std::abort();
  crx::fuzz::sandbox().clear_logs();
  return 0;
}
