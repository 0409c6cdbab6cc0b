#pragma once

#include <cstddef>
#include <cstdint>

#include "crx_hal/dedup.h"

namespace crx::rx {

// Appends up to `max` packets of chip `chip`'s FIFO to the batch: the count
// taken, or -1 with crx_errno set (4 for a chip number beyond the board, 3
// for a null batch, 69 for max above 128, or the register layer's code).
int fetch_chip(uint8_t chip, Batch* batch, size_t max);

}  // namespace crx::rx
