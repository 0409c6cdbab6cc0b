// Multi-carrier answers by board type.
#include <gtest/gtest.h>

#include <vector>

#include "crx.h"
#include "sim/testing.h"
#include "tests/support/checks.h"

namespace crx::test {
namespace {

class MultiCarrierTest : public sim::SandboxTest {
 protected:
  static crx_tx_pkt_t pkt(uint8_t chain, uint32_t freq, uint32_t dr = DR_LORA_SF9) {
    crx_tx_pkt_t p;
    crx_init_tx_pkt(&p);
    p.rf_chain = chain;
    p.freq_hz = freq;
    p.datarate = dr;
    return p;
  }
};

TEST_F(MultiCarrierTest, CapabilitiesByBoard) {
  struct Row {
    uint32_t type;
    int supported, mc_type, carriers, antennas;
    float max_pwr;
  };
  const Row rows[] = {
      {1, 1, 1, 2, 2, 27}, {2, 1, 1, 1, 2, 14},  {3, 1, 1, 1, 2, 14}, {4, 1, 1, 2, 2, 27},
      {5, 1, 1, 1, 1, 14}, {6, 1, 0, 2, 2, 27},  {7, 1, 1, 2, 1, 27}, {8, 1, 1, 1, 1, 14},
      {9, 1, 1, 1, 1, 14}, {10, 1, 1, 2, 1, 27}, {12, 0, 0, 1, 1, 14}, {13, 0, 0, 1, 2, 14},
      {14, 1, 1, 1, 2, 14}, {15, 0, 0, 1, 1, 14},
  };
  for (const Row& r : rows) {
    board_type = r.type;
    num_sx1301_chips = 1;
    uint8_t n = 0;
    float p = 0;
    EXPECT_EQ(crx_mc_supported(), r.supported) << r.type;
    EXPECT_EQ(crx_get_mc_type(), r.mc_type) << r.type;
    EXPECT_EQ(crx_get_max_carriers(&n), 0);
    EXPECT_EQ(n, r.carriers) << r.type;
    EXPECT_EQ(crx_get_num_antennas(&n), 0);
    EXPECT_EQ(n, r.antennas) << r.type;
    EXPECT_EQ(crx_mc_max_tx_pwr(&p), 0);
    EXPECT_FLOAT_EQ(p, r.max_pwr) << r.type;
    crx_tx_pkt_t loud = pkt(0, 0);
    loud.rf_power = 30.0f;
    EXPECT_EQ(crx_mc_adj_tx_pwr(&loud), 0);
    const bool lowered = r.type == 1 || r.type == 4 || r.type == 7 || r.type == 10;
    EXPECT_FLOAT_EQ(loud.rf_power, lowered ? 27.0f : 30.0f) << r.type;
  }
  board_type = CRX_BOARD_HERON_RAIL;
  uint8_t n = 9;
  EXPECT_EQ(crx_get_max_carriers(&n), -1);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(crx_get_num_antennas(&n), -1);
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(sandbox().syslog_contains("crx_get_max_carriers: Unknown board type."));
  EXPECT_FAILS_WITH(crx_get_max_carriers(nullptr), ERR_NULL_PTR);
  EXPECT_FAILS_WITH(crx_get_num_antennas(nullptr), ERR_NULL_PTR);
  EXPECT_FAILS_WITH(crx_mc_max_tx_pwr(nullptr), ERR_NULL_PTR);
  EXPECT_FAILS_WITH(crx_mc_adj_tx_pwr(nullptr), ERR_NULL_PTR);
}

TEST_F(MultiCarrierTest, CollisionCheck) {
  const crx_tx_pkt_t a = pkt(0, 923300000);
  const crx_tx_pkt_t b_other_chain = pkt(1, 923300000);
  const crx_tx_pkt_t b_other_chain_freq = pkt(1, 925100000);
  const crx_tx_pkt_t b_other_chain_dr = pkt(1, 923300000, DR_LORA_SF10);
  const crx_tx_pkt_t b_same_chain_near = pkt(0, 925100000);
  const crx_tx_pkt_t b_same_chain_far = pkt(0, 925100001);
  const int x = 0;
  for (uint32_t type = 0; type <= 15; ++type) {
    board_type = type;
    num_sx1301_chips = 1;
    EXPECT_EQ(crx_mc_collision_check(&a, nullptr, nullptr, nullptr), 0) << type;
    EXPECT_EQ(crx_mc_collision_check(nullptr, nullptr, nullptr, nullptr), 0) << type;
    EXPECT_EQ(crx_mc_collision_check(&a, &b_other_chain_freq, &x, nullptr), 1) << type;
  }
  struct Row {
    uint32_t type;
    int same_everything, other_chain, other_chain_freq, other_chain_dr, near, far;
  };
  const Row rows[] = {
      {1, 1, 1, 0, 0, 1, 1}, {4, 1, 0, 0, 0, 1, 1},  {6, 0, 0, 0, 0, 0, 0},
      {7, 0, 0, 0, 0, 0, 1}, {10, 0, 0, 0, 0, 0, 1}, {2, 1, 1, 1, 1, 1, 1}, {15, 1, 1, 1, 1, 1, 1},
  };
  for (const Row& r : rows) {
    board_type = r.type;
    EXPECT_EQ(crx_mc_collision_check(&a, &a, nullptr, nullptr), r.same_everything) << r.type;
    EXPECT_EQ(crx_mc_collision_check(&a, &b_other_chain, nullptr, nullptr), r.other_chain) << r.type;
    EXPECT_EQ(crx_mc_collision_check(&a, &b_other_chain_freq, nullptr, nullptr), r.other_chain_freq) << r.type;
    EXPECT_EQ(crx_mc_collision_check(&a, &b_other_chain_dr, nullptr, nullptr), r.other_chain_dr) << r.type;
    EXPECT_EQ(crx_mc_collision_check(&a, &b_same_chain_near, nullptr, nullptr), r.near) << r.type;
    EXPECT_EQ(crx_mc_collision_check(&a, &b_same_chain_far, nullptr, nullptr), r.far) << r.type;
  }
  board_type = 6;
  EXPECT_EQ(crx_mc_collision_check(&a, &b_other_chain, &x, nullptr), 1);
  board_type = CRX_BOARD_HERON_RAIL;
  EXPECT_EQ(crx_mc_collision_check(&a, &b_other_chain, nullptr, nullptr), 1);
  EXPECT_TRUE(sandbox().syslog_contains("crx_mc_collision_check: Unknown board type."));
}

}  // namespace
}  // namespace crx::test
