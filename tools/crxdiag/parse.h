// The binary records crxdiag reads without the library's help, so that it
// can read them without writing: the fault memory, the packet-statistics
// memory and the history files. Pure functions over bytes; whatever the
// bytes, they describe what they found and never read past them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace crxdiag {

inline constexpr int kFaultMemoryKey = 44946;
inline constexpr int kPacketStatsKey = 44945;
inline constexpr size_t kFaultMemorySize = 196;
inline constexpr size_t kPacketStatsSize = 32;
inline constexpr int kFaults = 10;  // ids 1-10
inline constexpr int kAlarms = 7;   // ids 1-7

struct FaultMemory {
  bool decoded = false;     // false: `problem` says why nothing below is valid
  std::string problem;      // empty when the memory is as this program knows it
  std::string note;         // something worth saying that did not stop decoding
  size_t size = 0;
  int major = 0, minor = 0;
  // Status bytes by id (index 0 unused); -1 for an id the version lacks.
  std::array<int, kFaults + 1> fault{};
  std::array<int, kAlarms + 1> alarm{};
};
FaultMemory parse_fault_memory(std::span<const uint8_t> bytes);

struct PacketCounters {
  bool decoded = false;
  std::string problem;
  size_t size = 0;
  uint32_t control = 0;
  uint32_t downlink = 0, uplink = 0, crc_ok = 0, crc_err = 0;
  std::array<uint32_t, 3> spare{};
};
PacketCounters parse_packet_counters(std::span<const uint8_t> bytes);

inline constexpr int kChannels = 72;
inline constexpr int kSfEntries = 6;  // SF7-SF12
inline constexpr size_t kRecordSize = 1224;
inline constexpr uint32_t kHourlyMagic = 0xAABBCCDD;
inline constexpr uint32_t kDailyMagic = 0xAABBEEFF;
inline constexpr int kHourlyRecords = 24;
inline constexpr int kDailyRecords = 31;

struct ChanCount {
  uint32_t crc_ok = 0, other = 0, freq_hz = 0, bandwidth_hz = 0;
  uint64_t total() const { return uint64_t(crc_ok) + other; }
};
struct SfCount {
  uint32_t crc_ok = 0, other = 0;
  uint8_t datarate = 0;
  uint64_t total() const { return uint64_t(crc_ok) + other; }
};
struct StatRecord {
  std::array<ChanCount, kChannels> chan{};
  std::array<SfCount, kSfEntries> sf{};
  uint64_t total() const;
  uint64_t other() const;
};
StatRecord parse_record(std::span<const uint8_t, kRecordSize> bytes);

struct History {
  bool decoded = false;
  std::string problem;  // why `records` is empty
  std::string note;     // oddities that did not stop decoding
  size_t size = 0;
  uint32_t magic = 0;
  uint16_t version = 0, count = 0;
  std::vector<StatRecord> records;  // oldest first
};
// `hourly` selects the magic and the record count the library writes.
History parse_history(std::span<const uint8_t> bytes, bool hourly);

}  // namespace crxdiag
