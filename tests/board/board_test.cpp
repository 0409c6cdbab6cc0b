// Which board this is, from the product codes in the commissioning database.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "board.h"
#include "crx.h"
#include "sim/cxdb.h"
#include "sim/testing.h"
#include "tests/support/checks.h"

namespace {

using crx::sim::CxDatabase;

struct Expected {
  crx_board_type_t type;
  const char* line;
};

// By the name of each board fixture of the simulator.
const std::map<std::string, Expected> kExpected = {
    {"Condor NA", {CRX_BOARD_CONDOR_NA, "Ostra Condor NA board"}},
    {"Condor EU", {CRX_BOARD_CONDOR_EU, "Condor Europe board"}},
    {"Condor JP", {CRX_BOARD_CONDOR_JP, "Condor Japan board"}},
    {"Calder Condor", {CRX_BOARD_CALDER_CONDOR, "Calder condor board"}},
    {"OPAL 104", {CRX_BOARD_OPAL, "OPAL board"}},
    {"OPAL 105", {CRX_BOARD_OPAL, "OPAL board"}},
    {"Plover", {CRX_BOARD_PLOVER, "Plover board"}},
    {"Heron FDD 106", {CRX_BOARD_HERON_FDD, "Ostra Heron FDD"}},
    {"Heron FDD 107", {CRX_BOARD_HERON_FDD, "Ostra Heron FDD"}},
    {"Heron TDD 108", {CRX_BOARD_HERON_TDD, "Ostra Heron TDD"}},
    {"Heron TDD 109", {CRX_BOARD_HERON_TDD, "Ostra Heron TDD"}},
    {"Heron Plover Norvik", {CRX_BOARD_HERON_PLOVER_NORVIK, "Heron Plover Norvik"}},
    {"Heron Calder", {CRX_BOARD_HERON_CALDER, "Heron Calder"}},
    {"Heron Rail 108", {CRX_BOARD_HERON_RAIL, "Ostra Heron Rail"}},
    {"Heron Rail 109", {CRX_BOARD_HERON_RAIL, "Ostra Heron Rail"}},
    {"Wren TDD 112", {CRX_BOARD_WREN_TDD, "Ostra Wren TDD"}},
    {"Wren TDD 113", {CRX_BOARD_WREN_TDD, "Ostra Wren TDD"}},
    {"Wren TDD 114", {CRX_BOARD_WREN_TDD, "Ostra Wren TDD"}},
    {"Wren TDD 115", {CRX_BOARD_WREN_TDD, "Ostra Wren TDD"}},
    {"Wren TDD 116", {CRX_BOARD_WREN_TDD, "Ostra Wren TDD"}},
    {"Wren TDD 117", {CRX_BOARD_WREN_TDD, "Ostra Wren TDD"}},
    {"SCM", {CRX_BOARD_SCM, "SCM board"}},
    {"Tamar", {CRX_BOARD_TAMAR, "Tamar board"}},
    {"Wren Outdoor 118", {CRX_BOARD_WREN_OUTDOOR, "Ostra Wren Outdoor"}},
    {"Wren Outdoor 119", {CRX_BOARD_WREN_OUTDOOR, "Ostra Wren Outdoor"}},
};

class Board : public crx::sim::SandboxTest {
 protected:
  void database(const CxDatabase& db) { crx::sim::cx_put_file(sandbox(), db.image()); }
  bool logged(const std::string& text) { return sandbox().syslog_contains(text); }
};

TEST_F(Board, EveryProductCodeSelectsItsBoard) {
  std::map<crx_board_type_t, int> seen;
  for (const auto& codes : crx::sim::cx_board_codes()) {
    SCOPED_TRACE(codes.name);
    const auto& want = kExpected.at(codes.name);
    database(CxDatabase(6).board(codes.pcba, codes.module));
    sandbox().clear_logs();
    EXPECT_EQ(get_board_type(), want.type);
    EXPECT_TRUE(logged(std::string("PCBA code read: ") + codes.pcba));
    EXPECT_EQ(sandbox().syslog_texts().back(), want.line) << syslog_dump();
    const bool by_module = std::string(codes.pcba) == "Q7000102" || std::string(codes.pcba) == "Q7000108" ||
                           std::string(codes.pcba) == "Q7000109";
    EXPECT_EQ(logged(std::string("Module ID: ") + codes.module), by_module);
    ++seen[want.type];
  }
  EXPECT_EQ(seen.size(), 15u);  // every board type but "unknown"
}

TEST_F(Board, CodesAreComparedOnTheirFirstEightCharacters) {
  database(CxDatabase(6).board("Q7000103-REV-C"));
  EXPECT_EQ(get_board_type(), CRX_BOARD_PLOVER);
  database(CxDatabase(6).board("Q7000102", "Q7000122/JP"));
  EXPECT_EQ(get_board_type(), CRX_BOARD_CONDOR_JP);
  database(CxDatabase(6).board("Q7000109", "Q7000123X"));
  EXPECT_EQ(get_board_type(), CRX_BOARD_HERON_RAIL);
}

TEST_F(Board, UnlistedCodesAreCondorNorthAmerica) {
  for (const char* code : {"Q7999999", "Q70001", "", "q7000102"}) {
    SCOPED_TRACE(code);
    database(CxDatabase(6).board(code));
    sandbox().clear_logs();
    EXPECT_EQ(get_board_type(), CRX_BOARD_CONDOR_NA);
    EXPECT_TRUE(logged("Unknown PCBA number, default to NA."));
  }
}

TEST_F(Board, UnreadableModuleGivesTheBaseBoardOfTheSharedPcba) {
  database(CxDatabase(6).board("Q7000102", "Q7000122").drop_column("Configuration", "Module_Revision"));
  EXPECT_EQ(get_board_type(), CRX_BOARD_CONDOR_EU);
  EXPECT_TRUE(logged("BrvDBG-HAL get_board_type warning - no module, use default Condor EU board."));
  EXPECT_FALSE(logged("Module ID:"));
  CxCleanup();  // a failed getter leaves the database open

  database(CxDatabase(6).board("Q7000108", "Q7000123").drop_column("Configuration", "Module_Serial_Number"));
  EXPECT_EQ(get_board_type(), CRX_BOARD_HERON_TDD);
  EXPECT_TRUE(logged("BrvDBG-HAL get_board_type warning - no module, use default Heron TDD board."));
  EXPECT_FALSE(logged("Module ID:"));
}

TEST_F(Board, MissingDatabaseIdentifiesCondorNorthAmericaWithEightChips) {
  crx::identify_board();
  EXPECT_EQ(std::tuple(board_type, num_sx1301_chips), std::tuple(CRX_BOARD_CONDOR_NA, 8));
  EXPECT_TRUE(logged("BrvDBG-HAL get_board_type warning - no PCBA code, use default Condor NA board."));
  EXPECT_TRUE(logged("BrvDBG-HAL get_num_chips no number of chips from database, try to detect from board type."));
  EXPECT_TRUE(logged("BrvDBG-HAL get_num_chips Condor NA, 8 chips."));
}

TEST_F(Board, ChipCountFromTheDatabaseWinsEvenWhenZero) {
  database(CxDatabase(4).board("Q7000101").set("Configuration", "Num_of_SX1301s", 0));
  crx::identify_board();
  EXPECT_EQ(std::tuple(board_type, num_sx1301_chips), std::tuple(CRX_BOARD_CONDOR_NA, 0));
  EXPECT_TRUE(logged("BrvDBG-HAL get_num_chips Number of chips from database: 0."));
}

TEST_F(Board, ChipCountFallsBackToTheBoardType) {
  database(CxDatabase(3));  // too old to carry a chip count
  struct {
    uint32_t type;
    int chips;
    const char* line;
  } const rows[] = {
      {0, 8, "warning - unknown board type, use default 8 chips."},
      {1, 8, "Condor NA, 8 chips."},
      {2, 4, "Condor european board, 4 chips."},
      {3, 4, "Condor Japanese board, 4 chips."},
      {4, 8, "warning - unknown board type, use default 8 chips."},
      {5, 8, "warning - unknown board type, use default 8 chips."},
      {6, 8, "PLOVER board, 8 chips."},
      {7, 2, "Heron board, 2 chips."},
      {8, 2, "Heron board, 2 chips."},
      {9, 2, "Heron board, 2 chips."},
      {10, 2, "Heron board, 2 chips."},
      {11, 8, "warning - unknown board type, use default 8 chips."},
      {12, 1, "Wren board, 1 chips."},
      {13, 0, "SCM board, 0 chips."},
      {14, 4, "Tamar, 4 chips."},
      {15, 8, "warning - unknown board type, use default 8 chips."},
      {99, 8, "warning - unknown board type, use default 8 chips."},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.type);
    sandbox().clear_logs();
    EXPECT_EQ(get_num_chips(static_cast<crx_board_type_t>(r.type)), r.chips);
    EXPECT_EQ(sandbox().syslog_texts().back(), std::string("BrvDBG-HAL get_num_chips ") + r.line);
  }
}

TEST_F(Board, IdentificationHappensOncePerProcess) {
  database(CxDatabase(6).board("Q7000121").set("Configuration", "Num_of_SX1301s", 4));
  crx::identify_board();
  EXPECT_EQ(std::tuple(board_type, num_sx1301_chips), std::tuple(CRX_BOARD_TAMAR, 4));
  database(CxDatabase(6).board("Q7000106"));
  sandbox().clear_logs();
  crx::identify_board();
  EXPECT_EQ(board_type, static_cast<uint32_t>(CRX_BOARD_TAMAR));
  EXPECT_FALSE(logged("PCBA code read"));
}

TEST_F(Board, ModuleIdentityIsCutToTheExportedFields) {
  database(CxDatabase(6)
               .board("Q7000103")
               .set("Configuration", "Module_Name", "A-very-long-module-name")
               .set("Configuration", "Module_Revision", "R12")
               .set("Configuration", "Customer_Gateway_ID", "0123456789ABCDEFG"));
  crx_module_id_t id;
  ASSERT_EQ(crx_get_module_id(&id), 0);
  EXPECT_EQ(board_type, static_cast<uint32_t>(CRX_BOARD_PLOVER));  // identified on the way
  EXPECT_EQ(
      std::tuple(std::string(id.module_name), std::string(id.module_product_code), std::string(id.module_revision),
                 std::string(id.module_serial_number), std::string(id.gateway_id)),
      std::tuple("A-very-long-modu", "Q7000201", "R1", "MS0000123", "0123456789ABCDEF"));
  EXPECT_FAILS_WITH(crx_get_module_id(nullptr), ERR_NULL_PTR);
}

TEST_F(Board, ModuleIdentityFailsWithoutDatabase) {
  crx_module_id_t id;
  EXPECT_FAILS_WITH(crx_get_module_id(&id), ERR_UNSPECIFIED);
  EXPECT_EQ(board_type, static_cast<uint32_t>(CRX_BOARD_CONDOR_NA));
}

}  // namespace
