// The hourly and daily history files and the exported getters over them.
//
// A save never rewrites a history file in place: the new file is written
// under a temporary name, synced and renamed over the old one, so a crash,
// a power cut or a reader in another process only ever sees a whole file.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include <fcntl.h>

#include "crx.h"
#include "health/pkt_stats.h"
#include "log.h"
#include "platform/os.h"

namespace crx::health {

namespace {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using Records = std::unique_ptr<StatRecord[], FreeDeleter>;

Records allocate_records(size_t count) { return Records(static_cast<StatRecord*>(std::calloc(count, sizeof(StatRecord)))); }

const char* path_of(bool hourly) { return hourly ? kHourlyHistoryPath : kDailyHistoryPath; }
uint32_t magic_of(bool hourly) { return hourly ? kHourlyMagic : kDailyMagic; }
size_t records_of(bool hourly) { return hourly ? kHourlyRecords : kDailyRecords; }

// Reads up to `len` bytes; the count read (short only at the end of the
// file), or -1 on a read error.
ssize_t read_full(int fd, void* buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    const ssize_t n = os::read(fd, static_cast<char*>(buf) + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += size_t(n);
  }
  return ssize_t(done);
}

// Writes all of `len`; false when a write fails or makes no progress.
bool write_full(int fd, const void* buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    const ssize_t n = os::write(fd, static_cast<const char*>(buf) + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

bool utc_midnight_hour() {
  const time_t now = os::now();
  struct tm utc {};
  gmtime_r(&now, &utc);
  return utc.tm_hour == 0;
}

// The day's record from the hourly ones: counts summed, frequency and
// datarate of the newest; bandwidths stay 0.
StatRecord daily_sum(const StatRecord* hours, size_t count) {
  StatRecord day{};
  for (size_t h = 0; h < count; ++h) {
    for (int c = 0; c < kChannels; ++c) {
      day.chan[c].crc_ok += hours[h].chan[c].crc_ok;
      day.chan[c].other += hours[h].chan[c].other;
    }
    for (int s = 0; s < kSfEntries; ++s) {
      day.sf[s].crc_ok += hours[h].sf[s].crc_ok;
      day.sf[s].other += hours[h].sf[s].other;
    }
  }
  const StatRecord& last = hours[count - 1];
  for (int c = 0; c < kChannels; ++c) day.chan[c].freq_hz = last.chan[c].freq_hz;
  for (int s = 0; s < kSfEntries; ++s) day.sf[s].datarate = last.sf[s].datarate;
  return day;
}

// Writes header, `kept` older records and the new one to a temporary file
// and renames it over `path`. On failure `path` is left as it was.
int replace_history(bool hourly, const StatRecord* kept, size_t kept_count, const StatRecord& newest) {
  const char* path = path_of(hourly);
  const std::string temp = std::string(path) + ".tmp";
  os::mkdir(kHistoryDir, 0755);  // usually there already
  const int fd = os::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    log_line("BrvDBG-HAL: E R R O R: impossible to write log file %s", path);
    return -1;
  }
  uint8_t header[kHistoryHeaderSize];
  const uint32_t magic = magic_of(hourly);
  const uint16_t count = uint16_t(records_of(hourly));
  std::memcpy(header, &magic, 4);
  std::memcpy(header + 4, &kHistoryVersion, 2);
  std::memcpy(header + 6, &count, 2);
  const char* failure = nullptr;
  if (!write_full(fd, header, sizeof header))
    failure = "BrvDBG-HAL: E R R O R: filed to write header: %s";
  else if (!write_full(fd, kept, kept_count * sizeof(StatRecord)) || !write_full(fd, &newest, sizeof newest))
    failure = "BrvDBG-HAL: E R R O R: failed to write history records: %s";
  else if (os::fsync(fd) != 0)
    failure = "BrvDBG-HAL: E R R O R: failed to flush history file: %s";
  if (os::close(fd) != 0 && !failure) failure = "BrvDBG-HAL: E R R O R: failed to flush history file: %s";
  if (!failure && os::rename(temp.c_str(), path) != 0) failure = "BrvDBG-HAL: E R R O R: unable to replace %s";
  if (failure) {
    log_line(failure, path);
    os::unlink(temp.c_str());
    return -1;
  }
  // The rename itself must reach the disk too.
  const int dir = os::open(kHistoryDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    os::fsync(dir);
    os::close(dir);
  }
  return 0;
}

// The getters' common steps: `entry_bytes` per entry, `entries` per record.
template <typename Copy>
int get_table(const char* caller, void** buffer, uint16_t* count, bool hourly, size_t entries,
              size_t entry_bytes, Copy copy) {
  if (!buffer || !count) {
    log_line("BrvDBG-HAL: E R R O R: %s NULL pointer", caller);
    return -1;
  }
  const size_t records = records_of(hourly);
  const size_t size = records * entries * entry_bytes;
  void* grown = std::realloc(*buffer, size);
  Records file = grown ? allocate_records(records) : nullptr;
  if (!grown || !file) {
    const int e = errno;
    log_line("BrvDBG-HAL: E R R O R: %s failed to alloc mem: %s", caller, std::strerror(e));
    if (grown) {
      *buffer = grown;
      std::memset(grown, 0, size);
    }
    *count = 0;
    return -1;
  }
  *buffer = grown;
  std::memset(grown, 0, size);
  if (read_history_from_file(file.get(), hourly) != 0) {
    *count = 0;
    return -1;
  }
  auto* out = static_cast<uint8_t*>(grown);
  for (size_t r = 0; r < records; ++r)
    for (size_t i = 0; i < entries; ++i) copy(file[r], i, out + (r * entries + i) * entry_bytes);
  *count = uint16_t(records);
  return 0;
}

void copy_chan(const StatRecord& rec, size_t i, uint8_t* out) { std::memcpy(out, &rec.chan[i], sizeof(ChanStat)); }

void copy_sf(const StatRecord& rec, size_t i, uint8_t* out) {
  std::memcpy(out, &rec.sf[i].crc_ok, 4);
  std::memcpy(out + 4, &rec.sf[i].other, 4);
  out[8] = rec.sf[i].datarate;
}

}  // namespace

int read_history_from_file(StatRecord* buffer, bool hourly) {
  const char* path = path_of(hourly);
  const int fd = os::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    log_line("BrvDBG-HAL: warning: %s impossible to read log file (%s)", __func__, path);
    return -1;
  }
  uint8_t header[kHistoryHeaderSize];
  const ssize_t got = read_full(fd, header, sizeof header);
  if (got != ssize_t(sizeof header)) {
    const int e = errno;
    os::close(fd);
    log_line("BrvDBG-HAL: E R R O R:  failed to read log file (%s), error: %s", path,
             got < 0 ? std::strerror(e) : "end of file");
    return -1;
  }
  uint32_t magic;
  std::memcpy(&magic, header, 4);
  if (magic != magic_of(hourly)) {
    os::close(fd);
    log_line("BrvDBG-HAL: E R R O R: magic number 0x%x does not match, expected: 0x%x", magic, magic_of(hourly));
    return -1;
  }
  const size_t want = records_of(hourly) * sizeof(StatRecord);
  const ssize_t n = read_full(fd, buffer, want);
  os::close(fd);
  if (n == ssize_t(want)) return 0;
  if (n < 0)
    log_line("BrvDBG-HAL: E R R O R: %s File error in history file before reading all data (%s)", __func__, path);
  else
    log_line("BrvDBG-HAL: E R R O R: %s Reached end of history file before reading all data (%s)", __func__,
             path);
  if (os::unlink(path) != 0) log_line("BrvDBG-HAL: E R R O R: %s unable to remove (%s)", __func__, path);
  return -1;
}

int save_history_to_file(const StatRecord* record, bool hourly) {
  log_line("in %s, type: %s", __func__, hourly ? "Hourly" : "Daily");
  if (!record) return -1;
  const size_t count = records_of(hourly);
  Records old = allocate_records(count);
  if (!old) {
    log_line("%s, failed to allocate memory", __func__);
    return -1;
  }
  if (read_history_from_file(old.get(), hourly) != 0) {
    log_line("Didn't get historical data, use blank record");
    std::memset(static_cast<void*>(old.get()), 0, count * sizeof(StatRecord));  // a short read left a part
  }
  if (hourly && utc_midnight_hour()) {
    const StatRecord day = daily_sum(old.get(), count);
    save_history_to_file(&day, false);
  }
  return replace_history(hourly, old.get() + 1, count - 1, *record);
}

}  // namespace crx::health

using namespace crx::health;

extern "C" {

int crx_per_chan_stat_hourly(void** buffer, uint16_t* count) {
  return get_table(__func__, buffer, count, true, kChannels, sizeof(ChanStat), copy_chan);
}
int crx_per_chan_stat_daily(void** buffer, uint16_t* count) {
  return get_table(__func__, buffer, count, false, kChannels, sizeof(ChanStat), copy_chan);
}
int crx_per_sf_stat_hourly(void** buffer, uint16_t* count) {
  return get_table(__func__, buffer, count, true, kSfEntries, sizeof(SfStat), copy_sf);
}
int crx_per_chan_sf_daily(void** buffer, uint16_t* count) {
  return get_table(__func__, buffer, count, false, kSfEntries, sizeof(SfStat), copy_sf);
}

int crx_get_current_stat(void* record, uint32_t size) {
  if (!record) return -1;
  static_assert(sizeof(crx::health::StatRecord) == CRX_STAT_RECORD_SIZE);
  const crx::health::StatRecord current = crx::health::current_statistics();
  const uint32_t n = std::min<uint32_t>(size, uint32_t(sizeof current));
  std::memcpy(record, &current, n);
  return int(n);
}

}  // extern "C"
