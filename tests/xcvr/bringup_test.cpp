// The transceiver's board-level bring-up: each step's effect on the chip
// and the FPGA, and each failing step's code and line.
#include <gmock/gmock.h>

#include "xcvr_fixture.h"

namespace {

using crx::rfRegionInfo;
using crx::test::XcvrTest;

class Bringup : public XcvrTest {
 public:
  int start(uint32_t band = 1, uint32_t rx_freq = 868500000, uint32_t type = CRX_BOARD_CONDOR_NA) {
    return ad9361_start(0, type, rx_freq, 0, 1, 3, band);
  }
  // A region record as the database of a version-4 unit gives it.
  void region_record(float rx_bw_mhz, float tx_lo_mhz, float rx_lo_mhz, float max_power = 27.0f) {
    rfRegionInfo.Version = 4;
    rfRegionInfo.Max_DL_Power_dBm = max_power;
    rfRegionInfo.Rx_Bandwidth_MHz = rx_bw_mhz;
    rfRegionInfo.Tx_Bandwidth_MHz = 99.0f;  // never used: both filters follow the receive bandwidth
    rfRegionInfo.Tx_LO_MHz = tx_lo_mhz;
    rfRegionInfo.Rx_LO_MHz = rx_lo_mhz;
  }
};

TEST_F(Bringup, UncalibratedUnitOnABandPlan) {
  ASSERT_EQ(start(1, 868500000), 0) << syslog_dump();
  EXPECT_TRUE(logged("BrvDBG: ad9361_start - AD9361 ID = 10, tx_en: 3, rx_en: 1"));
  EXPECT_TRUE(crx::xcvr_running());
  // The chip in FDD with both synthesizers on the plan's and the board's LO.
  EXPECT_EQ(chip().peek(0x013) & 1, 1);
  EXPECT_NEAR(double(chip().tx_lo_hz()), 866400000.0, 10.0);
  EXPECT_NEAR(double(chip().rx_lo_hz()), 868500000.0, 10.0);
  EXPECT_EQ(crx::xcvr_tx_lo(), 866400000u);
  // Without a record: 10250 mdB on both outputs, fixed corrections.
  EXPECT_TRUE(logged("read_cal_table E R R O R Failed to obtain tx attenuation values"));
  EXPECT_EQ(atten_steps(0), 41);
  EXPECT_EQ(atten_steps(1), 41);
  EXPECT_EQ(chip().peek(0x109) & 0x7F, 33);
  EXPECT_EQ(chip().peek(0x10C) & 0x7F, 33);
  const uint8_t fallback[8] = {252, 252, 252, 252, 249, 15, 249, 15};  // 0x08E..0x095
  for (int k = 0; k < 8; ++k) EXPECT_EQ(chip().peek(uint16_t(0x08E + k)), fallback[k]) << k;
  EXPECT_EQ(chip().peek(0x0A0), 255);
  EXPECT_EQ(chip().peek(0x026), 63);
  // FPGA PLL released and locked; the datapath reset pulsed and left low.
  EXPECT_EQ(port().peek(8, 0xFF, 0x185, 1)[0] & 1, 0);
  EXPECT_EQ(board_reg(78), 1);
  EXPECT_EQ(board_reg(230), 0);
  // No region record read: the power table stays as loaded.
  EXPECT_FALSE(logged("tx gain table:"));
  EXPECT_FLOAT_EQ(crx::txpower::tx_gain_entry(28).power_dbm, 14.0f);
}

TEST_F(Bringup, CalibratedUnitWithARegionRecord) {
  calibrate(0, 40, 0, 44, 25.0);
  region_record(0.5f, 0.0f, 915.0f, 27.0f);
  ASSERT_EQ(start(3, 868500000), 0) << syslog_dump();
  // TX LO from the band when the record has none, RX LO from the record.
  EXPECT_NEAR(double(chip().tx_lo_hz()), 915000000.0, 10.0);
  EXPECT_NEAR(double(chip().rx_lo_hz()), 915000000.0, 10.0);
  EXPECT_TRUE(logged("BrvDBG: ad9361_start Tx1 Atten: 0x0, 0x28"));
  EXPECT_TRUE(logged("BrvDBG: ad9361_start Tx2 Atten: 0x0, 0x2c"));
  EXPECT_EQ(atten_steps(0), 40);
  EXPECT_EQ(atten_steps(1), 44);
  // The record's corrections, low bytes, TX1 phase/gain/I/Q then TX2.
  const uint8_t recorded[8] = {11, 12, 21, 22, uint8_t(-13), 14, 23, uint8_t(-24)};
  for (int k = 0; k < 8; ++k) EXPECT_EQ(chip().peek(uint16_t(0x08E + k)), recorded[k]) << k;
  // Powers rescaled to the record's maximum.
  EXPECT_EQ(count_logged("tx gain table: "), 61u);
  EXPECT_TRUE(logged("tx gain table: 0, pwr: -3.000000"));
  EXPECT_TRUE(logged("tx gain table: 60, pwr: 27.000000"));
}

TEST_F(Bringup, BoardType5ProgramsItsIfOffsets) {
  board_type = CRX_BOARD_OPAL;
  ASSERT_EQ(start(3, 915000000, CRX_BOARD_OPAL), 0) << syslog_dump();
  EXPECT_EQ(board_reg(252), -1536);
  EXPECT_EQ(board_reg(257), 0);
  EXPECT_EQ(board_reg(262), 1536);
}

TEST_F(Bringup, OtherBoardsLeaveTheIfOffsets) {
  ASSERT_EQ(start(3, 915000000), 0);
  EXPECT_EQ(board_reg(252), 0);
  EXPECT_EQ(board_reg(262), 0);
}

struct Failure {
  const char* name;
  void (*arrange)(Bringup&);
  uint32_t band;
  int code;
  const char* line;
};

void PrintTo(const Failure& f, std::ostream* os) { *os << f.name; }

class BringupFailure : public Bringup, public ::testing::WithParamInterface<Failure> {};

TEST_P(BringupFailure, GivesItsCodeAndLineAndHoldsNothing) {
  const Failure& f = GetParam();
  f.arrange(*this);
  EXPECT_FAILS_WITH(start(f.band), f.code);
  EXPECT_TRUE(logged(f.line)) << syslog_dump();
  EXPECT_FALSE(crx::xcvr_running());
  EXPECT_EQ(crx::xcvr_tx_lo(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, BringupFailure,
    ::testing::Values(
        Failure{"WrongProduct", [](Bringup& t) { t.chip().set_product_id(0x1A); }, 1, 39, "Failed on xcvr start"},
        Failure{"BasebandDcCalHangs", [](Bringup& t) { t.chip().set_hanging_calibrations(0x01); }, 1, 39,
                "Failed on xcvr start"},
        Failure{"UnknownBand", [](Bringup&) {}, 9, 54, "unknown frequency band"},
        Failure{"RecordWithoutTxLoAndUnknownBand", [](Bringup& t) { t.region_record(10.0f, 0.0f, 915.0f); }, 9, 54,
                "unknown frequency band"},
        Failure{"RxFilterHangs", [](Bringup& t) { t.chip().set_hanging_calibrations(0x80); }, 1, 44,
                "Failed to setup rx bandwidth"},
        Failure{"RecordBandwidthTooNarrow", [](Bringup& t) { t.region_record(0.1f, 925.0f, 915.0f); }, 1, 44,
                "Failed to setup rx bandwidth"},
        Failure{"TxFilterHangs", [](Bringup& t) { t.chip().set_hanging_calibrations(0x40); }, 1, 45,
                "Failed to setup the tx bandwidth"},
        Failure{"TxSynthNeverLocks", [](Bringup& t) { t.chip().set_tx_synth_locks(false); }, 1, 43,
                "Failed to setup the Tx lo"},
        Failure{"RxSynthNeverLocks", [](Bringup& t) { t.chip().set_rx_synth_locks(false); }, 1, 42,
                "Failed to setup the rx lo"},
        Failure{"AttenuationOutOfRange", [](Bringup& t) { t.calibrate(2, 0, 0, 0, 25.0); }, 1, 39,
                "Failed to setup the tx atten"},
        Failure{"FpgaPllNeverLocks", [](Bringup& t) { t.port().set_fpga_pll_locks(false); }, 1, 27,
                "FPGA PLL not locked"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Bringup, RefusesAnotherBoardBeforeAnyTraffic) {
  EXPECT_FAILS_WITH(ad9361_start(1, CRX_BOARD_CONDOR_NA, 868500000, 0, 1, 3, 1), ERR_BAD_BOARD_NB);
  EXPECT_TRUE(port().accesses().empty());
}

TEST_F(Bringup, StartAfterAFailedStartWorks) {
  chip().set_tx_synth_locks(false);
  EXPECT_FAILS_WITH(start(), ERR_AD9361_TXPLL_LOCK);
  chip().set_tx_synth_locks(true);
  ASSERT_EQ(start(), 0);
  EXPECT_EQ(ad9361_stop(), 0);
  EXPECT_FALSE(crx::xcvr_running());
  EXPECT_EQ(ad9361_stop(), 0);
}

}  // namespace
