// libFuzzer target: the Wren TX gain file parser on arbitrary bytes, with
// and without the listen-time part. Whatever the input, the table keeps at
// most 16 entries and the board's LBT table keeps its count.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "fuzz_sandbox.h"
#include "wren/tx_lut.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  crx::fuzz::sandbox();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (uint8_t listen_times : {0, 1}) {
    ostra_indoor_db_config.lbt_status = listen_times;
    crx::brd_cfg_priv.lbt.count = 3;
    const int result = crx::wren::parse_txlut_text(text, "/etc/default/tx_lut.json");
    if (result != 0 && result != -1) std::abort();
    if (crx::wren::tx_lut.size > crx::wren::kTxLutMaxEntries) std::abort();
    if (crx::brd_cfg_priv.lbt.count != 3) std::abort();
  }
  crx::fuzz::sandbox().clear_logs();
  return 0;
}
