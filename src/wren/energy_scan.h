// The Wren spectral scan as the generic scan entry hands it over, and the
// claim that keeps scans of one process from overlapping.
#pragma once

#include "crx.h"

namespace crx {

// One scan at a time per process, whichever board family: taken before
// anything of a scan happens and given back when it has ended. The
// exported progress byte cannot serve: it reads 0 during the first channel.
bool scan_claim();
void scan_release();

}  // namespace crx

namespace crx::wren {

// ostra_wren_spec_scan for a caller that already holds the scan claim.
int spec_scan_claimed(ostra_wren_spec_scan_req_t* req);

}  // namespace crx::wren
