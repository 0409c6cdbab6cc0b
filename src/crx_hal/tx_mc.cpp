// Multi-carrier capabilities by board type, for the application's
// downlink scheduler.
#include <initializer_list>

#include "board.h"
#include "crx.h"
#include "device/reg_access.h"
#include "errors.h"
#include "log.h"

using namespace crx;

namespace {

bool type_in(std::initializer_list<uint32_t> types) {
  regs::ensure_board_known();
  for (uint32_t t : types)
    if (board_type == t) return true;
  return false;
}

void unknown_type(const char* who) { log_line("%s: Unknown board type.", who); }

}  // namespace

extern "C" int crx_mc_supported(void) { return type_in({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 14}) ? 1 : 0; }

extern "C" int crx_get_mc_type(void) { return type_in({1, 2, 3, 4, 5, 7, 8, 9, 10, 14}) ? 1 : 0; }

extern "C" int crx_get_max_carriers(uint8_t* n) {
  if (!n) return fail(ERR_NULL_PTR);
  if (type_in({1, 4, 6, 7, 10})) *n = 2;
  else if (type_in({2, 3, 5, 8, 9, 12, 13, 14, 15})) *n = 1;
  else {
    unknown_type(__func__);
    *n = 1;
    return -1;
  }
  return 0;
}

extern "C" int crx_get_num_antennas(uint8_t* n) {
  if (!n) return fail(ERR_NULL_PTR);
  if (type_in({1, 2, 3, 4, 6, 13, 14})) *n = 2;
  else if (type_in({5, 7, 8, 9, 10, 12, 15})) *n = 1;
  else {
    unknown_type(__func__);
    *n = 0;
    return -1;
  }
  return 0;
}

extern "C" int crx_mc_max_tx_pwr(float* p) {
  if (!p) return fail(ERR_NULL_PTR);
  if (type_in({1, 4, 6, 7, 10})) *p = 27.0f;
  else if (type_in({2, 3, 5, 8, 9, 12, 13, 14, 15})) *p = 14.0f;
  else {
    unknown_type(__func__);
    return -1;
  }
  return 0;
}

extern "C" int crx_mc_adj_tx_pwr(crx_tx_pkt_t* pkt) {
  if (!pkt) return fail(ERR_NULL_PTR);
  if (type_in({1, 4, 7, 10}) && pkt->rf_power > 27.0f) pkt->rf_power = 27.0f;
  return 0;
}

extern "C" int crx_mc_collision_check(const crx_tx_pkt_t* a, const crx_tx_pkt_t* b, const void* c, const void* d) {
  const int n = (a != nullptr) + (b != nullptr) + (c != nullptr) + (d != nullptr);
  if (n <= 1) return 0;
  const bool two_packets = n == 2 && a && b;
  if (type_in({1})) {
    return two_packets && a->rf_chain != b->rf_chain && (a->freq_hz != b->freq_hz || a->datarate != b->datarate)
               ? 0
               : 1;
  }
  if (type_in({4})) return two_packets && a->rf_chain != b->rf_chain ? 0 : 1;
  if (type_in({6})) return n < 3 ? 0 : 1;
  if (type_in({7, 10})) {
    if (!two_packets) return 1;
    const uint32_t gap = a->freq_hz > b->freq_hz ? a->freq_hz - b->freq_hz : b->freq_hz - a->freq_hz;
    return a->rf_chain != b->rf_chain || gap <= 1800000 ? 0 : 1;
  }
  if (!type_in({2, 3, 5, 8, 9, 12, 13, 14, 15})) unknown_type(__func__);
  return 1;
}
