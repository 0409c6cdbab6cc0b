// The Wren driver's snapshot of the commissioning database (the exported
// ostra_indoor_db_config) and the helpers its consumers share.
#pragma once

#include "crx.h"

namespace crx::wren {

// Configuration tables of this version and later carry the frequency limits
// and the per-radio TX enables.
inline constexpr int kRegionVersion = 4;

// True when the snapshot is loaded (reading it now if needed). On failure
// logs "... Can't read the configuration database info." with `who` and
// sets code 69.
bool ensure_snapshot(const char* who);

// RSSI offset of an operating band, for databases too old to hold offsets.
float get_rssi_offset_from_table(const char* band);

}  // namespace crx::wren
