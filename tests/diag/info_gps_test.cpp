// crxdiag info and gps against prepared databases, devices and GPS files.
#include <gmock/gmock.h>

#include "diag_fixture.h"
#include "sim/ublox.h"

using ::testing::HasSubstr;

namespace diag_test {
namespace {

using Info = DiagTest;

TEST_F(Info, FullDatabaseAndBoard) {
  database(condor_na_db());
  const std::string before = sandbox().read_file("/tmp/commissioning.db");
  const Json d = run_json({"info"});
  EXPECT_EQ(d["status"], 0) << d.dump(2);
  EXPECT_EQ(d["board"]["type"], 1);
  EXPECT_EQ(d["board"]["name"], "Condor NA");
  EXPECT_EQ(d["board"]["chips"], 8);
  EXPECT_EQ(d["board"]["identified_from"], "database");
  EXPECT_EQ(d["database"]["version"], 6);
  EXPECT_EQ(d["module"]["name"], "Ostra Condor");
  EXPECT_EQ(d["module"]["serial"], "MS-0042");
  EXPECT_EQ(d["module"]["gateway_id"], "00800000A0001234");
  EXPECT_EQ(d["pcba"]["product_code"], "Q7000101");
  EXPECT_EQ(d["pcba"]["serial"], "PS-777");
  EXPECT_EQ(d["pcba"]["mac"], "0002F7A1B2C3");
  EXPECT_EQ(d["region"]["band"], "US915");
  EXPECT_EQ(d["region"]["uplink_mhz"], Json::array({902.0, 928.0}));
  EXPECT_EQ(d["region"]["downlink_mhz"], Json::array({923.0, 928.0}));
  EXPECT_DOUBLE_EQ(d["region"]["rx_lo_mhz"].get<double>(), 908.6);
  EXPECT_FALSE(d["region"]["lbt"].is_null());
  EXPECT_EQ(d["library"]["version"], "4.0.4");
  ASSERT_EQ(d["library"]["firmware"].size(), 2u);
  EXPECT_EQ(d["library"]["firmware"][0]["image"], "AGC");
  EXPECT_EQ(d["library"]["firmware"][0]["version"], 9);
  EXPECT_EQ(d["library"]["firmware"][1]["version"], 1);
  EXPECT_EQ(d["library"]["firmware"][0]["size"], 8192);
  EXPECT_EQ(d["fpga"]["version"], 48);
  for (const auto& dev : d["devices"]) EXPECT_TRUE(dev["present"].get<bool>()) << dev;
  EXPECT_EQ(d["gpio"]["lines"].size(), 8u);
  EXPECT_EQ(d["gpio"]["lines"][7]["line"], 114);
  EXPECT_TRUE(d["missing"].empty());
  EXPECT_EQ(sandbox().read_file("/tmp/commissioning.db"), before);

  const Outcome o = run({"info"});
  EXPECT_THAT(o.out, HasSubstr("Board:                 Condor NA (type 1), 8 SX1301 chips, identified from the database\n"));
  EXPECT_THAT(o.out, HasSubstr("MAC:                   0002F7A1B2C3\n"));
  EXPECT_THAT(o.out, HasSubstr("Gateway id:            00800000A0001234\n"));
  EXPECT_THAT(o.out, HasSubstr("FPGA:                  version 48\n"));
  EXPECT_THAT(o.out, HasSubstr("STAND-IN"));
}

TEST_F(Info, OlderDatabaseLacksTheVersionFourColumns) {
  database(condor_na_db(3));
  const Json d = run_json({"info"});
  EXPECT_EQ(d["status"], 0);
  EXPECT_EQ(d["database"]["version"], 3);
  EXPECT_THAT(d["database"]["note"].get<std::string>(), HasSubstr("came with version 4"));
  EXPECT_EQ(d["region"]["band"], "US915");
  EXPECT_TRUE(d["region"]["rx_lo_mhz"].is_null());
  EXPECT_TRUE(d["region"]["lbt"].is_null());
  EXPECT_EQ(d["module"]["serial"], "MS-0042");
  EXPECT_THAT(run({"info"}).out, HasSubstr("LBT:                 not in this database"));
}

TEST_F(Info, NoDatabaseNamesItAndShowsTheRest) {
  const Json d = run_json({"info"});
  EXPECT_EQ(d["status"], 3);
  EXPECT_THAT(d["database"]["problem"].get<std::string>(), HasSubstr("no commissioning database"));
  EXPECT_THAT(d["board"]["identified_from"].get<std::string>(), HasSubstr("assumes a Condor NA"));
  EXPECT_TRUE(d["module"].is_null());
  EXPECT_TRUE(d["region"].is_null());
  EXPECT_EQ(d["library"]["version"], "4.0.4");
  EXPECT_EQ(d["fpga"]["version"], 48);
  const Outcome o = run({"info"});
  EXPECT_THAT(o.out, HasSubstr("MISSING: no commissioning database: /tmp/commissioning.db is missing"));
  EXPECT_THAT(o.out, HasSubstr("Library:               4.0.4"));
}

TEST_F(Info, MissingDevicesAreListed) {
  database(condor_na_db());
  const Json d = run_json({"info"}, {{"CRX_SIM_BOARD", "none"}});
  EXPECT_EQ(d["status"], 3);
  for (const auto& dev : d["devices"]) EXPECT_FALSE(dev["present"].get<bool>()) << dev;
  EXPECT_FALSE(d["gpio"]["sysfs"].get<bool>());
  EXPECT_TRUE(d["fpga"]["version"].is_null());
  EXPECT_THAT(d["fpga"]["why"].get<std::string>(), HasSubstr("/dev/spifpga32766.1 is missing"));
  EXPECT_EQ(d["board"]["name"], "Condor NA");  // from the database, still
  const Outcome o = run({"info"}, {{"CRX_SIM_BOARD", "none"}});
  EXPECT_THAT(o.out, HasSubstr("MISSING: device /dev/spifpga32766.1 (FPGA port (FPGA, SX1301 chips, AD9361)) is missing\n"));
  EXPECT_THAT(o.out, HasSubstr("MISSING: sysfs GPIO (/sys/class/gpio/export) is missing\n"));
}

TEST_F(Info, BoardInUseElsewhereIsNotTouched) {
  database(condor_na_db());
  const int id = segment(crxdiag::kPacketStatsKey, crxdiag::kPacketStatsSize);
  void* attached = ::shmat(id, nullptr, 0);
  const Json d = run_json({"info"});
  EXPECT_TRUE(d["fpga"]["version"].is_null());
  EXPECT_THAT(d["fpga"]["why"].get<std::string>(), HasSubstr("another process has the concentrator started"));
  ::shmdt(attached);
}

using Gps = DiagTest;

TEST_F(Gps, LockedFixAndTaiOffset) {
  crx::sim::write_position_file(sandbox(), true, 45.4642, 9.19, 120);
  const Json d = run_json({"gps"});
  EXPECT_EQ(d["status"], 0);
  EXPECT_TRUE(d["fix"]["locked"].get<bool>());
  EXPECT_NEAR(d["fix"]["latitude"].get<double>(), 45.4642, 1e-4);
  EXPECT_NEAR(d["fix"]["longitude"].get<double>(), 9.19, 1e-4);
  EXPECT_EQ(d["fix"]["altitude_m"], 120);
  EXPECT_EQ(d["clock"]["tai_offset_s"], 37);
  EXPECT_EQ(d["clock"]["tai_offset"], "set");
  EXPECT_FALSE(d["time_reference"]["valid"].get<bool>());
  EXPECT_THAT(d["counter"]["why"].get<std::string>(), HasSubstr("not running in this process"));
  EXPECT_THAT(run({"gps"}).out, HasSubstr("GPS:            locked, 45.464200 9.190000, altitude 120 m"));
}

TEST_F(Gps, NoFixGivesStatusTwo) {
  crx::sim::write_position_file(sandbox(), false, 0, 0, 0);
  const Json d = run_json({"gps"});
  EXPECT_EQ(d["status"], 2);
  EXPECT_FALSE(d["fix"]["locked"].get<bool>());
  EXPECT_THAT(run({"gps"}).out, HasSubstr("GPS:            NOT LOCKED"));
}

TEST_F(Gps, NoPositionFileIsMissing) {
  const Json d = run_json({"gps"});
  EXPECT_EQ(d["status"], 3);
  EXPECT_THAT(d["fix"]["problem"].get<std::string>(), HasSubstr("no position file /tmp/position"));
  EXPECT_FALSE(d["clock"]["utc"].is_null());  // the rest still comes
}

}  // namespace
}  // namespace diag_test
