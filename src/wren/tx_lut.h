// The Wren TX gain table: the gain settings the transmit path chooses from,
// loaded from a JSON file at board configuration.
#pragma once

#include <cstdint>
#include <string_view>

namespace crx::wren {

inline constexpr int kTxLutMaxEntries = 16;

struct tx_gain_entry_t {
  uint8_t dig_gain;
  uint8_t pa_gain;
  uint8_t dac_gain;
  uint8_t mix_gain;
  int8_t rf_power;  // dBm
};

// Entries are expected in ascending RF power; `size` entries are valid.
struct tx_lut_t {
  tx_gain_entry_t lut[kTxLutMaxEntries];
  uint8_t size;
};

// Process-wide; written only by a successful parse.
extern tx_lut_t tx_lut;

// Parses `text` as the TX gain file `path` (named in messages) into tx_lut
// and, when the snapshot asks for it, the listen and talk times of the
// board's LBT entries. Either everything is taken or nothing: 0, or -1 with
// code 69.
int parse_txlut_text(std::string_view text, const char* path);

}  // namespace crx::wren
