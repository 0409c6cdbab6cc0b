// Packet statistics: the live counters other processes read from shared
// memory (key 44945), the current hour's per-channel and per-spreading-factor
// counts, and their hourly and daily history files.
//
// Owners: the receive thread counts packets and publishes its counters; the
// housekeeping timer rolls the hour over; the exported getters read the files.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace crx::health {

inline constexpr int kPktStatShmKey = 44945;
inline constexpr size_t kPktStatWords = 8;

inline constexpr int kChannels = 72;  // indexed by the packet's if_chain
inline constexpr int kSfEntries = 6;  // SF7 to SF12
inline constexpr int kHourlyRecords = 24;
inline constexpr int kDailyRecords = 31;

inline constexpr char kHistoryDir[] = "/var/lib/logs";
inline constexpr char kHourlyHistoryPath[] = "/var/lib/logs/packet_history.hr";
inline constexpr char kDailyHistoryPath[] = "/var/lib/logs/packet_history.day";
inline constexpr uint32_t kHourlyMagic = 0xAABBCCDD;
inline constexpr uint32_t kDailyMagic = 0xAABBEEFF;
inline constexpr uint16_t kHistoryVersion = 1;
inline constexpr size_t kHistoryHeaderSize = 8;  // magic u32, version u16, count u16

// One statistics record, byte for byte as the history files hold it
// (little-endian, as on the gateway).
struct ChanStat {
  uint32_t crc_ok;
  uint32_t other;
  uint32_t freq_hz;
  uint32_t bandwidth_hz;
};
struct SfStat {
  uint32_t crc_ok;
  uint32_t other;
  uint8_t datarate;  // crx_sf_t mask
  uint8_t reserved[3];
};
struct StatRecord {
  ChanStat chan[kChannels];
  SfStat sf[kSfEntries];
};
static_assert(sizeof(ChanStat) == 16 && sizeof(SfStat) == 12 && sizeof(StatRecord) == 1224);
static_assert(std::endian::native == std::endian::little, "history files are written in host order");

// Creates the packet-statistics segment, or attaches to the one that exists.
// 0 or -1. Once attached, later calls return 0 at once.
int create_pkt_statistic_shm();

// For the receive thread, after each polling pass: publishes the packet
// counters into the segment. `words` are the eight 32-bit words in the order
// of crx_get_packet_counters: the control word, then the seven counters.
//
// Returns true when another process asked for a reset (it wrote a value
// above 254 into the first byte of the segment). The request is taken and
// the segment then holds zeros (control word 0) instead of `words`; the
// caller must reset its own counters (crx_reset_txrx_packet_statistics) so
// that its next publication starts from zero. Returns false, publishing
// `words` as they are, otherwise, and false without doing anything when the
// segment is not attached (create_pkt_statistic_shm failed or was not run).
// Lock-free; safe against a concurrent reset request from another process.
bool publish_packet_counters(const uint32_t (&words)[kPktStatWords]);

// The hourly roll-over, run on every housekeeping tick: at the first tick of
// each UTC hour's minute 0 the current record goes to the hourly history
// (and, at 00:00, the day to the daily history) and counting starts afresh.
void do_packet_history();

// A copy of the current hour's record.
StatRecord current_statistics();

// Appends `record` to the hourly or daily history, dropping the oldest one;
// an hourly save at 00:00 UTC first appends the day's sum to the daily file.
// The file is replaced whole (written under a temporary name, then renamed).
// 0 or -1.
int save_history_to_file(const StatRecord* record, bool hourly);

// Reads the 24 (hourly) or 31 (daily) records of a history file into
// `buffer`. 0 or -1; a file cut short is deleted.
int read_history_from_file(StatRecord* buffer, bool hourly);

}  // namespace crx::health
