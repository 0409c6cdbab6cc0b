// The fault memory: a System V segment of 196 bytes (key 44946) through
// which the radio's faults and alarms reach the other processes of the
// gateway. The exported calls are declared in crx.h; this header gives the
// layout and the pure mappings to the tests and to the modules that raise
// faults.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crx::health {

inline constexpr int kFaultShmKey = 44946;
inline constexpr size_t kFaultShmSize = 196;

// Byte offsets inside the segment (little-endian fields).
inline constexpr size_t kMajorOffset = 0;        // u8, 0 = not initialised
inline constexpr size_t kSemaphoreOffset = 4;    // process-shared semaphore
inline constexpr size_t kFaultTableOffset = 20;  // 11 entries: u16 id, u8 status, pad
inline constexpr size_t kAlarmTableOffset = 132; // 8 entries: u16 id, u8 status, pad
inline constexpr size_t kMinorOffset = 192;      // u16
inline constexpr size_t kEntrySize = 4;
inline constexpr int kFaultEntries = 11;
inline constexpr int kAlarmEntries = 8;

inline constexpr uint8_t kVersionMajor = 1;
inline constexpr uint16_t kVersionMinor = 2;

// The highest error code the library defines; raising above it is refused.
inline constexpr int kMaxErrorCode = 69;

// How long a writer waits for the segment's semaphore before it takes the
// holder for dead and gives up on that one write.
inline constexpr long kSemaphoreWaitMs = 1000;

// The fault an error code stands for, 0 for none.
uint16_t error2fault(int code);
// The alarm a fault feeds, 0 for none (and for an invalid id, logged).
uint16_t fault2alarm(uint16_t fault_id);
// 1 when one of the faults that feed the alarm is active, else 0.
uint8_t is_alarm_on(uint16_t alarm_id);

}  // namespace crx::health
