// What the receive and transmit paths call in modules that live elsewhere:
// the time reference.
#pragma once

#include <cstdint>
#include <ctime>

#include "crx.h"

namespace crx {

// The time reference at the last accepted sample: TAI seconds and the
// counter latched at that PPS; false while no reference is valid.
bool time_reference(uint32_t* ref_tai_sec, uint32_t* latched_count);

}  // namespace crx
