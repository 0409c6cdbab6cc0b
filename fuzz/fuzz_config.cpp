// crx_read_cfg_json on whatever bytes a configuration file may hold, applied
// to a simulated board: a Condor NA (8 chips), or a Wren TDD when the
// environment sets CRX_FUZZ_BOARD=wren.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "crx.h"
#include "loc/loc_shm.h"
#include "sim/boards.h"
#include "sim/cxdb.h"
#include "fuzz_sandbox.h"

namespace {

constexpr const char* kWrenTxLut = R"({"txgain_lut": [
  {"dig_gain": 0, "pa_gain": 1, "dac_gain": 3, "mix_gain": 10, "rf_power": 14}]})";

void set_up() {
  crx::sim::Sandbox& box = crx::fuzz::sandbox();
  box.set_fast_clock(true);
  const char* which = std::getenv("CRX_FUZZ_BOARD");
  crx::sim::CxDatabase db(6);
  if (which && std::strcmp(which, "wren") == 0) {
    db.board("Q7000112").set("Configuration", "Num_of_SX1301s", 1);
    crx::sim::install_wren_board(box);
    box.write_file("/etc/default/tx_lut.json", kWrenTxLut);
  } else {
    crx::sim::install_fpga_board(box, 8);
  }
  crx::sim::cx_put_file(box, db.image());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  set_up();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  crx::fuzz::sandbox().write_file("/etc/default/config.json", std::string(reinterpret_cast<const char*>(data), size));
  // Each input starts from an empty filter list and no captured lines, so
  // that neither grows over the run.
  if (crx::loc::Segment* seg = crx::loc::segment()) {
    std::memset(seg->filter, 0, sizeof seg->filter);
    seg->filter_active = 0;
  }
  crx::fuzz::sandbox().clear_logs();
  crx::fuzz::sandbox().clear_sleeps();
  (void)crx_read_cfg_json(nullptr);
  return 0;
}
