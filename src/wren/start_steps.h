// Register helpers of the Wren start and stop: board 0, chip 0. A failure
// logs the row in the caller's name, leaves the register layer's code in
// crx_errno and raises the matching fault.
#pragma once

#include <cstdint>

namespace crx::wren {

int chip_w(int row, int32_t value);
int chip_r(int row, int32_t* value);
int gpio_w(int row, uint16_t value);

// raise_fault_alarms(crx_errno), then -1.
int raise_and_fail();
// Sets `code`, raises its fault, then -1.
int fail_and_raise(int code);

// Clears the side radio's availability (stop).
void side_radio_release();

}  // namespace crx::wren
