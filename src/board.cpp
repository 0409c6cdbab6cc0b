// Board identification: which board of the family this process runs on,
// from the PCBA (and for two PCBA codes the module) product code in the
// commissioning database.
#include "board.h"

#include <cstdio>
#include <cstring>

#include "crx.h"
#include "errors.h"
#include "log.h"

uint32_t board_type = CRX_BOARD_UNKNOWN;
int32_t num_sx1301_chips = 8;

using crx::log_line;

namespace {

// Product codes are compared on their first eight characters, so a code
// with a suffix selects the same board.
constexpr size_t kCodeLength = 8;

struct BoardRow {
  const char* codes[6];
  crx_board_type_t type;
  const char* line;
};

// In the order the codes are tried. The two rows with a zero type decide
// on the module code (see module_variant).
constexpr BoardRow kBoards[] = {
    {{"Q7000101"}, CRX_BOARD_CONDOR_NA, "Ostra Condor NA board"},
    {{"Q7000102"}, CRX_BOARD_UNKNOWN, nullptr},
    {{"Q7000103"}, CRX_BOARD_PLOVER, "Plover board"},
    {{"Q7000104", "Q7000105"}, CRX_BOARD_OPAL, "OPAL board"},
    {{"Q7000106", "Q7000107"}, CRX_BOARD_HERON_FDD, "Ostra Heron FDD"},
    {{"Q7000108", "Q7000109"}, CRX_BOARD_UNKNOWN, nullptr},
    {{"Q7000110"}, CRX_BOARD_HERON_PLOVER_NORVIK, "Heron Plover Norvik"},
    {{"Q7000111"}, CRX_BOARD_HERON_CALDER, "Heron Calder"},
    {{"Q7000112", "Q7000113", "Q7000114", "Q7000115", "Q7000116", "Q7000117"}, CRX_BOARD_WREN_TDD,
     "Ostra Wren TDD"},
    {{"Q7000118", "Q7000119"}, CRX_BOARD_WREN_OUTDOOR, "Ostra Wren Outdoor"},
    {{"Q7000120"}, CRX_BOARD_CALDER_CONDOR, "Calder condor board"},
    {{"Q7000000"}, CRX_BOARD_SCM, "SCM board"},
    {{"Q7000121"}, CRX_BOARD_TAMAR, "Tamar board"},
};

// Copies a string cut to fit `size` bytes with its terminator.
template <size_t N>
void copy_cut(char (&dst)[N], const char* src) {
  const size_t n = strnlen(src, N - 1);
  std::memcpy(dst, src, n);
  dst[n] = '\0';
}

bool same_code(const char* a, const char* b) { return std::strncmp(a, b, kCodeLength) == 0; }

// A PCBA shared by two products: the module code tells them apart.
crx_board_type_t module_variant(const char* pcba) {
  const bool condor = same_code(pcba, "Q7000102");
  const crx_board_type_t base = condor ? CRX_BOARD_CONDOR_EU : CRX_BOARD_HERON_TDD;
  const crx_board_type_t special = condor ? CRX_BOARD_CONDOR_JP : CRX_BOARD_HERON_RAIL;
  const char* special_module = condor ? "Q7000122" : "Q7000123";

  cx_module_id_t module{};
  if (!CxGetModuleId(&module)) {
    log_line(condor ? "BrvDBG-HAL %s warning - no module, use default Condor EU board."
                    : "BrvDBG-HAL %s warning - no module, use default Heron TDD board.",
             "get_board_type");
    return base;
  }
  log_line("Module ID: %s", module.Module_Product_Code);
  const bool is_special = same_code(module.Module_Product_Code, special_module);
  const crx_board_type_t type = is_special ? special : base;
  if (condor) log_line("%s", is_special ? "Condor Japan board" : "Condor Europe board");
  else log_line("%s", is_special ? "Ostra Heron Rail" : "Ostra Heron TDD");
  return type;
}

}  // namespace

namespace crx {

void identify_board() {
  if (board_type != CRX_BOARD_UNKNOWN) return;
  const crx_board_type_t type = get_board_type();
  board_type = type;
  num_sx1301_chips = get_num_chips(type);
}

}  // namespace crx

extern "C" {

crx_board_type_t get_board_type(void) {
  char code[18] = {};
  if (!CxGetPcbaCode(code, sizeof code)) {
    log_line("BrvDBG-HAL %s warning - no PCBA code, use default Condor NA board.", "get_board_type");
    return CRX_BOARD_CONDOR_NA;
  }
  log_line("PCBA code read: %s", code);
  for (const BoardRow& row : kBoards) {
    for (const char* candidate : row.codes) {
      if (!candidate || !same_code(code, candidate)) continue;
      if (row.type == CRX_BOARD_UNKNOWN) return module_variant(code);
      log_line("%s", row.line);
      return row.type;
    }
  }
  log_line("Unknown PCBA number, default to NA.");
  return CRX_BOARD_CONDOR_NA;
}

int get_num_chips(crx_board_type_t type) {
  int chips = 0;
  if (CxGetNumofChips(&chips)) {
    log_line("BrvDBG-HAL %s Number of chips from database: %d.", "get_num_chips", chips);
    return chips;  // the database wins over the board type, even with 0
  }
  log_line("BrvDBG-HAL %s no number of chips from database, try to detect from board type.", "get_num_chips");
  const char* line = "BrvDBG-HAL %s warning - unknown board type, use default 8 chips.";
  chips = 8;
  switch (type) {
    case CRX_BOARD_CONDOR_NA: line = "BrvDBG-HAL %s Condor NA, 8 chips."; break;
    case CRX_BOARD_CONDOR_EU: line = "BrvDBG-HAL %s Condor european board, 4 chips."; chips = 4; break;
    case CRX_BOARD_CONDOR_JP: line = "BrvDBG-HAL %s Condor Japanese board, 4 chips."; chips = 4; break;
    case CRX_BOARD_PLOVER: line = "BrvDBG-HAL %s PLOVER board, 8 chips."; break;
    case CRX_BOARD_HERON_FDD:
    case CRX_BOARD_HERON_TDD:
    case CRX_BOARD_HERON_PLOVER_NORVIK:
    case CRX_BOARD_HERON_CALDER: line = "BrvDBG-HAL %s Heron board, 2 chips."; chips = 2; break;
    case CRX_BOARD_WREN_TDD: line = "BrvDBG-HAL %s Wren board, 1 chips."; chips = 1; break;
    case CRX_BOARD_SCM: line = "BrvDBG-HAL %s SCM board, 0 chips."; chips = 0; break;
    case CRX_BOARD_TAMAR: line = "BrvDBG-HAL %s Tamar, 4 chips."; chips = 4; break;
    default: break;
  }
  log_line(line, "get_num_chips");
  return chips;
}

int crx_get_module_id(crx_module_id_t* out) {
  crx::identify_board();
  // The Wren boards keep their identity in the Wren driver's database snapshot.
  if (crx::is_wren_board(board_type)) return ostra_wren_get_module_id(out);
  if (!out) return crx::fail(ERR_NULL_PTR);
  cx_module_id_t module{};
  if (!CxGetModuleId(&module)) return crx::fail(ERR_UNSPECIFIED);
  copy_cut(out->module_name, module.Module_Name);
  copy_cut(out->module_product_code, module.Module_Product_Code);
  copy_cut(out->module_revision, module.Module_Revision);
  copy_cut(out->module_serial_number, module.Module_Serial_Number);
  copy_cut(out->gateway_id, module.Customer_Gateway_ID);
  return 0;
}

}  // extern "C"
