#include "parse.h"

#include <cstdio>

namespace crxdiag {
namespace {

uint32_t u32(std::span<const uint8_t> b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
uint16_t u16(std::span<const uint8_t> b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }

std::string hex(uint32_t v) {
  char s[16];
  std::snprintf(s, sizeof s, "0x%08X", v);
  return s;
}

// Fault and alarm tables: entry i holds a 16-bit id and a status byte.
constexpr size_t kFaultTable = 20;
constexpr size_t kAlarmTable = 132;
constexpr size_t kMinorAt = 192;

// The status of `id` in a table of `entries`, found by the id each entry
// carries (as the library's readers look it up); -1 when no entry has it.
int find_status(std::span<const uint8_t> b, size_t table, int entries, int id) {
  for (int i = 0; i < entries; ++i)
    if (u16(b, table + 4 * size_t(i)) == id) return b[table + 4 * size_t(i) + 2];
  return -1;
}

}  // namespace

FaultMemory parse_fault_memory(std::span<const uint8_t> b) {
  FaultMemory m;
  m.size = b.size();
  m.fault.fill(-1);
  m.alarm.fill(-1);
  if (b.size() < kFaultMemorySize) {
    m.problem = "the fault memory is " + std::to_string(b.size()) + " bytes, " +
                std::to_string(kFaultMemorySize) + " expected: not decoded";
    return m;
  }
  m.major = b[0];
  m.minor = u16(b, kMinorAt);
  if (m.major == 0) {
    m.problem = "the fault memory was never initialised (version 0)";
    return m;
  }
  if (m.major != 1) {
    m.problem = "the fault memory has version " + std::to_string(m.major) + "." + std::to_string(m.minor) +
                ", which this program does not know: not decoded";
    return m;
  }
  if (b.size() > kFaultMemorySize)
    m.note = "the fault memory is " + std::to_string(b.size()) + " bytes, larger than the " +
             std::to_string(kFaultMemorySize) + " of version 1: the first " + std::to_string(kFaultMemorySize) +
             " decoded";
  // Faults 8-10 and alarms 6-7 came with minor version 1.
  for (int id = 1; id <= kFaults; ++id)
    m.fault[size_t(id)] = (id >= 8 && m.minor == 0) ? -1 : find_status(b, kFaultTable, 11, id);
  for (int id = 1; id <= kAlarms; ++id)
    m.alarm[size_t(id)] = (id >= 6 && m.minor == 0) ? -1 : find_status(b, kAlarmTable, 8, id);
  if (m.minor == 0) {
    const std::string n = "version 1.0: faults 8-10 and alarms 6-7 do not exist in it";
    m.note = m.note.empty() ? n : m.note + "; " + n;
  }
  m.decoded = true;
  return m;
}

PacketCounters parse_packet_counters(std::span<const uint8_t> b) {
  PacketCounters c;
  c.size = b.size();
  if (b.size() < kPacketStatsSize) {
    c.problem = "the packet-statistics memory is " + std::to_string(b.size()) + " bytes, " +
                std::to_string(kPacketStatsSize) + " expected: not decoded";
    return c;
  }
  c.control = u32(b, 0);
  c.downlink = u32(b, 4);
  c.uplink = u32(b, 8);
  c.crc_ok = u32(b, 12);
  c.crc_err = u32(b, 16);
  for (size_t i = 0; i < 3; ++i) c.spare[i] = u32(b, 20 + 4 * i);
  c.decoded = true;
  return c;
}

uint64_t StatRecord::total() const {
  uint64_t n = 0;
  for (const auto& s : sf) n += s.total();
  return n;
}
uint64_t StatRecord::other() const {
  uint64_t n = 0;
  for (const auto& s : sf) n += s.other;
  return n;
}

StatRecord parse_record(std::span<const uint8_t, kRecordSize> b) {
  StatRecord r;
  for (size_t c = 0; c < kChannels; ++c)
    r.chan[c] = {u32(b, 16 * c), u32(b, 16 * c + 4), u32(b, 16 * c + 8), u32(b, 16 * c + 12)};
  constexpr size_t kSfAt = 16 * kChannels;
  for (size_t s = 0; s < kSfEntries; ++s)
    r.sf[s] = {u32(b, kSfAt + 12 * s), u32(b, kSfAt + 12 * s + 4), b[kSfAt + 12 * s + 8]};
  return r;
}

History parse_history(std::span<const uint8_t> b, bool hourly) {
  History h;
  h.size = b.size();
  const uint32_t magic = hourly ? kHourlyMagic : kDailyMagic;
  const size_t want = hourly ? kHourlyRecords : kDailyRecords;
  if (b.size() < 8) {
    h.problem = b.empty() ? "the file is empty" : "the file is " + std::to_string(b.size()) + " bytes, shorter than its header";
    return h;
  }
  h.magic = u32(b, 0);
  h.version = u16(b, 4);
  h.count = u16(b, 6);
  if (h.magic != magic) {
    h.problem = "magic number " + hex(h.magic) + ", expected " + hex(magic) + ": not a " +
                (hourly ? "hourly" : "daily") + " history file";
    return h;
  }
  // The library reads the number of records it writes, whatever the header
  // says; so does this program, and it says when they disagree.
  const size_t body = b.size() - 8;
  const size_t whole = body / kRecordSize;
  if (whole < want) {
    h.problem = "cut short: " + std::to_string(whole) + " whole records of " + std::to_string(want) +
                " (the library deletes such a file at its next read and starts again from blank records)";
    return h;
  }
  std::string note;
  auto add = [&note](const std::string& s) { note += (note.empty() ? "" : "; ") + s; };
  if (h.version != 1) add("header version " + std::to_string(h.version) + " (1 expected)");
  if (h.count != want) add("header counts " + std::to_string(h.count) + " records (" + std::to_string(want) + " expected)");
  if (body > want * kRecordSize) add(std::to_string(body - want * kRecordSize) + " bytes after the records ignored");
  h.note = note;
  for (size_t i = 0; i < want; ++i)
    h.records.push_back(parse_record(std::span<const uint8_t, kRecordSize>(b.data() + 8 + i * kRecordSize, kRecordSize)));
  h.decoded = true;
  return h;
}

}  // namespace crxdiag
