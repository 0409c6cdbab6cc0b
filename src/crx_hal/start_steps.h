// Shared by start.cpp and stop.cpp: the process-wide state of the life
// cycle and the register helpers of the bring-up.
#pragma once

#include <cstdint>

#include "crx.h"

namespace crx::start {

inline constexpr const char* kHalVersion = "4.0.4";
inline constexpr int kFaultDownlinkIdle = 7;

// Chips that take the AGC image in the first loading pass.
extern int multicarrier_chip;

// Board 0 register writes and reads by row. A failure logs the row and
// leaves the register layer's code in crx_errno.
int brd_w(int row, int32_t value);
int brd_r(int row, int32_t* value);
int chip_w(int chip, int row, int32_t value);
int chip_r(int chip, int row, int32_t* value);

// raise_fault_alarms(crx_errno), then -1.
int raise_and_fail();

// Board type 15: takes the counter offset from the Wren driver again.
void recapture_wren_offset();

// Chips the loops walk: the identified count, at most eight.
int chip_count();

// The two halves of stop (stop.cpp), also used by a start that fails
// after the transceiver came up. stop_hardware: the transceiver, the
// chips' hard reset, the meter receiver and the FPGA's soft reset; 0 or -1
// (fault raised) when the soft reset fails. release_software: what stop
// does on every path (localization, register path, timers, time
// reference, fault 7, the running flag).
int stop_hardware(uint8_t board);
void release_software();

}  // namespace crx::start
