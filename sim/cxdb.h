// Commissioning databases for tests, built with SQLite itself.
//
// CxDatabase starts as the database a factory would write for one unit at a
// given version (1 to 6): tables "Configuration", "Tx", "Rx" and "Lbt" with
// the columns that version carries and plausible values, user_version and
// every table's "Version" set to the version. Tests then change what they
// need and place the image where the library looks for it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace crx::sim {

class Sandbox;
class SpiNorFlash;
class MtdPartition;

// One SQL value, written as a literal.
struct CxValue {
  CxValue(int v);
  CxValue(double v);
  CxValue(const char* text);
  CxValue(const std::string& text);
  static CxValue null();
  std::string literal;

 private:
  CxValue() = default;
};

// One listen-before-talk sub-band row of table "Lbt".
struct CxLbtRow {
  std::string band;
  int max_tx_power_dbm;
  double min_freq_mhz;
  double max_freq_mhz;
  int max_talk_time_ms;
  int listen_time_us;
  int threshold_dbm;
};

// PCBA and module product codes of one board of the family.
struct CxBoardCodes {
  const char* name;
  const char* pcba;
  const char* module;
};
// Every board of the family, one entry per PCBA code (the Condor and Heron
// TDD PCBAs appear once per module variant).
const std::vector<CxBoardCodes>& cx_board_codes();

class CxDatabase {
 public:
  explicit CxDatabase(int version = 6);

  // PRAGMA user_version (the database version).
  CxDatabase& user_version(int v);
  // Sets a column of one row (the first by default), adding the column to
  // the table when it has none of that name.
  CxDatabase& set(const std::string& table, const std::string& column, const CxValue& value, size_t row = 0);
  CxDatabase& table_version(const std::string& table, int version) { return set(table, "Version", version); }
  CxDatabase& drop_column(const std::string& table, const std::string& column);
  // Appends a copy of the table's last row (or a row of NULLs).
  CxDatabase& add_row(const std::string& table);
  CxDatabase& clear_rows(const std::string& table);
  CxDatabase& drop_table(const std::string& table);
  CxDatabase& add_lbt(const CxLbtRow& row);
  // Product codes; an empty module code leaves the module code as it is.
  CxDatabase& board(const std::string& pcba, const std::string& module = "");
  // Any further SQL, run after the tables are filled.
  CxDatabase& extra_sql(const std::string& sql);

  std::string sql() const;
  std::vector<uint8_t> image() const;

 private:
  struct Table {
    std::string name;
    std::vector<std::pair<std::string, std::string>> columns;  // name, declared type
    std::vector<std::vector<std::string>> rows;                // literals
  };
  Table& table(const std::string& name);
  void column(const std::string& table, const std::string& name, const std::string& type, const CxValue& value);

  int user_version_;
  std::vector<Table> tables_;
  std::string extra_;
};

// Runs `sql` on a new database file and returns the file's bytes.
std::vector<uint8_t> cx_build_image(const std::string& sql);

// Where the library finds the image: the raw chip from byte 0x300000, the
// start of the MTD partition, or the file already copied to
// "/tmp/commissioning.db".
void cx_put_in_raw_flash(SpiNorFlash& chip, const std::vector<uint8_t>& image);
void cx_put_in_mtd(MtdPartition& part, const std::vector<uint8_t>& image);
void cx_put_file(Sandbox& sandbox, const std::vector<uint8_t>& image);

}  // namespace crx::sim
