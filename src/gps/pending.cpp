// Stand-ins for functions of modules that are not part of this tree yet:
// the fault memory and the trigger count of the runtime. Each is weak, so
// the real definition replaces it as soon as it is linked in.
#include <array>
#include <atomic>
#include <cstdint>

#include "board.h"
#include "crx.h"
#include "gps/gps_internal.h"

namespace {
// Fault status by fault id, in this process only.
std::array<std::atomic<uint8_t>, 11> g_faults{};

int fault_of(int code) {
  if (code == ERR_NOT_SYNCED) return 3;
  if (code >= 39 && code <= 57) return 2;
  if ((code >= 1 && code <= 2) || (code >= 9 && code <= 13) || (code >= 27 && code <= 38) || code == 69) return 1;
  return 0;
}
}  // namespace

extern "C" {

[[gnu::weak]] int raise_fault_alarms(int error_code) {
  if (error_code > 69) return -1;
  if (const int f = fault_of(error_code)) g_faults[size_t(f)] = 1;
  return 0;
}

[[gnu::weak]] int clear_fault_alarms(int error_code) {
  if (error_code > 69) return -1;
  if (const int f = fault_of(error_code)) g_faults[size_t(f)] = 0;
  return 0;
}

[[gnu::weak]] int crx_get_trigcnt(uint8_t board, uint32_t* count) {
  if (board != 0) {
    crx_errno = ERR_BAD_BOARD_NB;
    return -1;
  }
  if (!count) {
    crx_errno = ERR_NULL_PTR;
    return -1;
  }
  const int chip = crx::is_wren_board(board_type) ? 0 : 1;
  int32_t value = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (crx_reg_chip_r(0, chip, 289, &value) == 0) {
      *count = static_cast<uint32_t>(value);
      return 0;
    }
  }
  return -1;
}

[[gnu::weak]] int crx_get_fault_status(uint16_t fault_id) {
  return fault_id >= 1 && fault_id <= 10 ? int(g_faults[fault_id].load()) : 0;
}

}  // extern "C"
