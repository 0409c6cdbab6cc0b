// crx_conf_chip and crx_conf_chan on the large boards: refusals with their
// codes and texts, fields stored before a later check refused, the IF
// limits and the modem settings of each channel kind.
#include <gtest/gtest.h>

#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "tests/conf/board_fixture.h"

namespace {

using crx::brd_cfg_priv;
using crx::sim::CxDatabase;

class ConfChip : public crx::test::BoardTest {
 protected:
  // An EU868 board at 866 MHz, from the band table (7 MHz chip IF limit).
  void eu_board(const char* pcba = "Q7000101") {
    fpga_board(CxDatabase(3).board(pcba));
    crx_board_cfg_t cfg = board_cfg(FREQ_BAND_EU868, 866000000);
    ASSERT_EQ(crx_conf_board(0, &cfg), 0) << syslog_dump();
  }
};

TEST_F(ConfChip, RecordRefusalsWithTheirCodesAndTexts) {
  eu_board("Q7000102");  // Condor EU: four chips
  crx_chip_cfg_t cfg = chip_cfg(true, 866000000);
  EXPECT_FAILS_WITH(crx_conf_chip(1, 0, &cfg), ERR_BAD_BOARD_NB);
  EXPECT_TRUE(logged("BrvDBG-HAL crx_conf_chip  ERR_BAD_BOARD_NB  1"));
  EXPECT_FAILS_WITH(crx_conf_chip(0, 4, &cfg), ERR_BAD_CHIP_NB);
  EXPECT_TRUE(logged("BrvDBG-HAL crx_conf_chip  ERR_BAD_CHIP_NB chip 4"));
  EXPECT_EQ(crx_conf_chip(0, 3, &cfg), 0);

  cfg.freq_hz = 9999999;
  EXPECT_FAILS_WITH(crx_conf_chip(0, 1, &cfg), ERR_BAD_CONFIG);
  EXPECT_TRUE(logged("BrvDBG-HAL crx_conf_chip  ERR_BAD_CHIP_NB cfg->freq_hz 9999999 vs 10000000"));
  EXPECT_FALSE(brd_cfg_priv.chip_enable[1]);

  cfg = chip_cfg(true, 866000000, 2);
  EXPECT_FAILS_WITH(crx_conf_chip(0, 1, &cfg), ERR_BAD_RFCHAIN_NB);
  EXPECT_TRUE(logged("BrvDBG-HAL crx_conf_chip  ERR_BAD_RFCHAIN_NB rf_chain 2"));

  EXPECT_FAILS_WITH(crx_conf_chip(0, 1, nullptr), ERR_NULL_PTR);
}

TEST_F(ConfChip, ChipBoundNeverExceedsTheRecordWhateverTheDatabaseClaims) {
  fpga_board(CxDatabase(6).set("Configuration", "Num_of_SX1301s", 200));
  crx_board_cfg_t board = board_cfg(2, 915000000);
  ASSERT_EQ(crx_conf_board(0, &board), 0) << syslog_dump();
  ASSERT_EQ(num_sx1301_chips, 200);
  crx_chip_cfg_t cfg = chip_cfg(true, 915000000);
  EXPECT_EQ(crx_conf_chip(0, 7, &cfg), 0);
  for (uint8_t chip : {8, 9, 199, 255}) {
    SCOPED_TRACE(int{chip});
    EXPECT_FAILS_WITH(crx_conf_chip(0, chip, &cfg), ERR_BAD_CHIP_NB);
  }
}

TEST_F(ConfChip, DisabledChipIsStoredWithoutFrequencyChecks) {
  eu_board();
  brd_cfg_priv.chip_enable[2] = true;
  crx_chip_cfg_t cfg = chip_cfg(false, 5, 1);
  EXPECT_EQ(crx_conf_chip(0, 2, &cfg), 0);
  EXPECT_FALSE(brd_cfg_priv.chip_enable[2]);
  EXPECT_EQ(std::pair(int{brd_cfg_priv.chip_rf_chain[2]}, brd_cfg_priv.chip_freq[2]), std::pair(1, 0u));
}

TEST_F(ConfChip, OutOfBandAndIfRefusalsLeaveEnableAndChainStored) {
  eu_board();
  crx_chip_cfg_t cfg = chip_cfg(true, 871000000, 1);
  EXPECT_FAILS_WITH(crx_conf_chip(0, 0, &cfg), ERR_FREQ_OUT_OF_BAND);
  EXPECT_TRUE(brd_cfg_priv.chip_enable[0]);
  EXPECT_EQ(std::pair(int{brd_cfg_priv.chip_rf_chain[0]}, brd_cfg_priv.chip_freq[0]), std::pair(1, 0u));
}

// The widest chip IF a board accepts, on either side of its receive LO.
struct IfLimit {
  const char* what;
  CxDatabase db;
  uint32_t band, rx_freq;  // the LO comes from the database when it has one
  int64_t lo, limit;
};

void PrintTo(const IfLimit& c, std::ostream* os) { *os << c.what; }

class ChipIf : public ConfChip, public ::testing::WithParamInterface<IfLimit> {};

TEST_P(ChipIf, TheLimitIsTheLastAcceptedOffset) {
  const IfLimit& c = GetParam();
  fpga_board(c.db);
  crx_board_cfg_t board = board_cfg(c.band, c.rx_freq);
  ASSERT_EQ(crx_conf_board(0, &board), 0) << syslog_dump();
  crx_chip_cfg_t cfg = chip_cfg(true, uint32_t(c.lo + c.limit));
  EXPECT_EQ(crx_conf_chip(0, 0, &cfg), 0) << syslog_dump();
  EXPECT_EQ(brd_cfg_priv.chip_freq[0], cfg.freq_hz);
  cfg.freq_hz = uint32_t(c.lo - c.limit);
  EXPECT_EQ(crx_conf_chip(0, 1, &cfg), 0);
  const std::string line =
      "BrvDBG-HAL crx_conf_chip E R R O R  if_freq = " + std::to_string(c.limit + 1) + " > " + std::to_string(c.limit);
  for (int64_t freq : {c.lo + c.limit + 1, c.lo - c.limit - 1}) {
    sandbox().clear_logs();
    cfg.freq_hz = uint32_t(freq);
    EXPECT_FAILS_WITH(crx_conf_chip(0, 2, &cfg), ERR_MAX_IF);
    EXPECT_TRUE(logged(line)) << freq << syslog_dump();
  }
  EXPECT_EQ(brd_cfg_priv.chip_freq[2], 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Boards, ChipIf,
    ::testing::Values(IfLimit{"SevenMegahertz", CxDatabase(3), FREQ_BAND_US_FULL_ISM, 915000000, 915000000, 7000000},
                      IfLimit{"OpalThirteenMegahertz", CxDatabase(3).board("Q7000104"), FREQ_BAND_AS923_J, 915000000,
                              915000000, 13000000},
                      IfLimit{"DatabaseReceiveBandwidth", CxDatabase(4).set("Configuration", "Rx_Bandwidth_MHz", 2.5),
                              0, 20000000, 915000000, 2500000}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(ConfChip, RunningBoardIsRefusedSilently) {
  eu_board();
  brd_cfg_priv.running = true;
  sandbox().clear_logs();
  crx_chip_cfg_t cfg = chip_cfg(true, 866000000);
  EXPECT_FAILS_WITH(crx_conf_chip(0, 0, &cfg), ERR_BOARD_RUNNING);
  EXPECT_FALSE(brd_cfg_priv.chip_enable[0]);
  EXPECT_TRUE(sandbox().syslog_texts().empty());
}

class ConfChan : public ConfChip {
 protected:
  // Chips 0 and 6 enabled at 866 MHz, chip 3 disabled.
  void SetUp() override {
    ConfChip::SetUp();
    eu_board();
    crx_chip_cfg_t on = chip_cfg(true, 866000000);
    crx_chip_cfg_t off = chip_cfg(false, 0);
    ASSERT_EQ(crx_conf_chip(0, 0, &on), 0);
    ASSERT_EQ(crx_conf_chip(0, 6, &on), 0);
    ASSERT_EQ(crx_conf_chip(0, 3, &off), 0);
  }
  int chan(uint8_t id, const crx_chan_cfg_t& cfg) { return crx_conf_chan(0, id, &cfg); }
  // Chip 0's stand-alone modem as (bandwidth, SF) and its FSK modem as (bandwidth, bit rate).
  static std::pair<uint32_t, int> std_modem() { return {brd_cfg_priv.std_bandwidth[0], brd_cfg_priv.std_sf[0]}; }
  static std::pair<uint32_t, uint32_t> fsk_modem() {
    return {brd_cfg_priv.fsk_bandwidth[0], brd_cfg_priv.fsk_bitrate[0]};
  }
};

TEST_F(ConfChan, ChannelNumberAndRecordRefusals) {
  crx_chan_cfg_t cfg = chan_cfg(true, 866100000);
  EXPECT_FAILS_WITH(crx_conf_chan(1, 0x00, &cfg), ERR_BAD_BOARD_NB);
  EXPECT_TRUE(logged("BrvDBG-HAL crx_conf_chan E R R O R  CRX_MAX_BOARD_NB"));
  EXPECT_FAILS_WITH(chan(0x80, cfg), ERR_BAD_CHAN_NB);
  EXPECT_TRUE(logged("BrvDBG-HAL crx_conf_chan E R R O R  CRX_BOARD_CHIPS_NB"));
  EXPECT_FAILS_WITH(chan(0x0A, cfg), ERR_BAD_CHAN_NB);
  EXPECT_TRUE(logged("BrvDBG-HAL crx_conf_chan E R R O R  CRX_CHIP_CHAN_NB"));
  EXPECT_FAILS_WITH(chan(0xFF, cfg), ERR_BAD_CHAN_NB);

  cfg.freq_hz = 9999999;
  EXPECT_FAILS_WITH(chan(0x01, cfg), ERR_BAD_CONFIG);
  EXPECT_TRUE(logged("BrvDBG crx_conf_chan E R R O R  enable = true && freq_hz 9999999 < CRX_MIN_FREQ  10000000"));
  EXPECT_EQ(brd_cfg_priv.chan_enable[0][1], 0u);
  EXPECT_FAILS_WITH(crx_conf_chan(0, 0x01, nullptr), ERR_NULL_PTR);

  brd_cfg_priv.running = true;
  cfg.freq_hz = 866100000;
  EXPECT_FAILS_WITH(chan(0x01, cfg), ERR_BOARD_RUNNING);
  EXPECT_TRUE(logged("BrvDBG-HAL crx_conf_chan E R R O R  board already running"));
  EXPECT_EQ(brd_cfg_priv.chan_enable[0][1], 0u);
}

TEST_F(ConfChan, EnableIsStoredBeforeTheChipAndFrequencyChecks) {
  EXPECT_FAILS_WITH(chan(0x35, chan_cfg(true, 866100000)), ERR_CHIP_DISABLED);
  EXPECT_TRUE(logged("BrvDBG-HAL crx_conf_chan E R R O R chip is disabled"));
  EXPECT_EQ(brd_cfg_priv.chan_enable[3][5], 1u);

  EXPECT_FAILS_WITH(chan(0x02, chan_cfg(true, 862999999)), ERR_FREQ_OUT_OF_BAND);
  EXPECT_TRUE(logged("BrvDBG-HAL E R R O R freq_hz = 862999999 , < 863000000 > 870000000"));
  EXPECT_EQ(brd_cfg_priv.chan_enable[0][2], 1u);
  EXPECT_EQ(brd_cfg_priv.chan_freq[0][2], 0u);

  // A disabled channel is stored and needs nothing else.
  EXPECT_EQ(chan(0x02, chan_cfg(false, 1)), 0);
  EXPECT_EQ(brd_cfg_priv.chan_enable[0][2], 0u);
}

TEST_F(ConfChan, ChannelIfLimitAppliesToChipsZeroToFiveOnly) {
  EXPECT_EQ(chan(0x00, chan_cfg(true, 867500000)), 0);
  EXPECT_EQ(chan(0x01, chan_cfg(true, 864500000)), 0);
  EXPECT_FAILS_WITH(chan(0x02, chan_cfg(true, 867500001)), ERR_MAX_IF);
  EXPECT_TRUE(logged("BrvDBG-HAL crx_conf_chan E R R O R  if_freq = 1500001 > 1500000"));
  EXPECT_EQ(brd_cfg_priv.chan_freq[0][2], 0u);

  EXPECT_EQ(chan(0x60, chan_cfg(true, 868000000)), 0) << syslog_dump();
  EXPECT_EQ(brd_cfg_priv.chan_freq[6][0], 868000000u);
  EXPECT_TRUE(logged("BrvDBG-HAL: chan_freq[6][0] =868000000"));
  crx_chip_cfg_t on = chip_cfg(true, 866000000);
  ASSERT_EQ(crx_conf_chip(0, 7, &on), 0);
  EXPECT_EQ(chan(0x70, chan_cfg(true, 863000000)), 0) << syslog_dump();
  EXPECT_EQ(brd_cfg_priv.chan_freq[7][0], 863000000u);
}

TEST_F(ConfChan, MultiSfChannelsTakeA125KilohertzMaskOfSpreadingFactors) {
  EXPECT_EQ(chan(0x00, chan_cfg(true, 866100000, 0, 0)), 0);
  EXPECT_EQ(brd_cfg_priv.multisf_mask[0][0], 0x1E);
  EXPECT_TRUE(logged("BrvDBG-HAL: crx_conf_chan LoRa multi-SF channel"));
  EXPECT_EQ(chan(0x01, chan_cfg(true, 866100000, 0x7E, BW_125KHZ)), 0);
  EXPECT_EQ(brd_cfg_priv.multisf_mask[0][1], 0x7E);
  EXPECT_EQ(chan(0x07, chan_cfg(true, 866100000, DR_LORA_SF12, 0)), 0);
  EXPECT_EQ(brd_cfg_priv.multisf_mask[0][7], 0x40);

  EXPECT_FAILS_WITH(chan(0x02, chan_cfg(true, 866100000, 0x80, 0)), ERR_BAD_SF);
  EXPECT_TRUE(logged("BrvDBG-HAL: crx_conf_chan E R R O R  modrate 128 != MR_UNDEFINED 0"));
  EXPECT_FAILS_WITH(chan(0x02, chan_cfg(true, 866100000, 0x03, 0)), ERR_BAD_SF);
  EXPECT_FAILS_WITH(chan(0x02, chan_cfg(true, 866100000, 0, BW_250KHZ)), ERR_BAD_BW);
  EXPECT_TRUE(logged("BrvDBG-HAL: crx_conf_chan E R R O R  bandwidth = 2 != 3"));
  EXPECT_EQ(brd_cfg_priv.chan_freq[0][2], 866100000u) << "the frequency was stored before";
  EXPECT_EQ(brd_cfg_priv.multisf_mask[0][2], 0);
}

TEST_F(ConfChan, StandAloneChannelTakesOneSpreadingFactorAndUpTo500Kilohertz) {
  EXPECT_EQ(chan(0x08, chan_cfg(true, 866500000, 0, 0)), 0);
  EXPECT_EQ(std_modem(), std::pair(3u, 10));
  EXPECT_TRUE(logged("BrvDBG-HAL: crx_conf_chan LoRa stand-alone channel"));
  EXPECT_EQ(chan(0x08, chan_cfg(true, 866500000, DR_LORA_SF7, BW_500KHZ)), 0);
  EXPECT_EQ(std_modem(), std::pair(1u, 7));

  EXPECT_FAILS_WITH(chan(0x08, chan_cfg(true, 866500000, DR_LORA_SF8 | DR_LORA_SF9, BW_250KHZ)), ERR_BAD_SF);
  EXPECT_FAILS_WITH(chan(0x08, chan_cfg(true, 866500000, 0x80, BW_250KHZ)), ERR_BAD_SF);
  EXPECT_FAILS_WITH(chan(0x08, chan_cfg(true, 866500000, DR_LORA_SF9, BW_62K5HZ)), ERR_BAD_BW);
  EXPECT_TRUE(logged("BrvDBG-HAL crx_conf_chan E R R O R  bandwidth = 4 != 3"));
  EXPECT_EQ(std_modem(), std::pair(1u, 7)) << "a refused record leaves the modem as it was";
}

TEST_F(ConfChan, FskChannelBitRateAndBandwidthLimits) {
  EXPECT_EQ(chan(0x09, chan_cfg(true, 866300000, 0, 0)), 0);
  EXPECT_EQ(fsk_modem(), std::pair(3u, 64000u));
  EXPECT_EQ(chan(0x09, chan_cfg(true, 866300000, 300, BW_7K8HZ)), 0);
  EXPECT_EQ(fsk_modem(), std::pair(7u, 300u));
  EXPECT_EQ(chan(0x09, chan_cfg(true, 866300000, 250000, 0)), 0);
  EXPECT_EQ(fsk_modem(), std::pair(3u, 250000u));

  for (uint32_t bitrate : {299u, 250001u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(bitrate);
    EXPECT_FAILS_WITH(chan(0x09, chan_cfg(true, 866300000, bitrate, 0)), ERR_BAD_BITRATE);
  }
  EXPECT_FAILS_WITH(chan(0x09, chan_cfg(true, 866300000, 50000, 8)), ERR_BAD_BW);
  EXPECT_EQ(brd_cfg_priv.fsk_bitrate[0], 250000u);
}

}  // namespace
