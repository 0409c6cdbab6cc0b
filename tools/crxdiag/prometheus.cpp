// The statistics in the Prometheus text exposition format, for the node
// exporter's textfile collector, and the file replacement both outputs use.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "diag.h"

namespace crxdiag {
namespace {

std::string label_value(const std::string& v) {
  std::string o;
  for (char c : v) {
    if (c == '\\' || c == '"') o += '\\';
    if (c == '\n') {
      o += "\\n";
      continue;
    }
    o += c;
  }
  return o;
}

void family(std::string& s, const char* name, const char* type, const char* help) {
  s += printf_string("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

void channels(std::string& s, const char* name, const StatRecord& r) {
  for (int c = 0; c < kChannels; ++c) {
    const ChanCount& ch = r.chan[size_t(c)];
    if (ch.total() == 0 && ch.freq_hz == 0) continue;
    for (int part = 0; part < 2; ++part)
      s += printf_string("%s{if_chain=\"%d\",freq_hz=\"%u\",crc=\"%s\"} %u\n", name, c, ch.freq_hz, part ? "other" : "ok",
                         part ? ch.other : ch.crc_ok);
  }
}

void sfs(std::string& s, const char* name, const StatRecord& r) {
  for (int k = 0; k < kSfEntries; ++k)
    for (int part = 0; part < 2; ++part)
      s += printf_string("%s{sf=\"%d\",crc=\"%s\"} %u\n", name, sf_of_index(k), part ? "other" : "ok",
                         part ? r.sf[size_t(k)].other : r.sf[size_t(k)].crc_ok);
}

}  // namespace

std::string stats_prometheus(const StatsSources& src) {
  std::string s;
  family(s, "crx_source_up", "gauge", "1 when crxdiag could read the source, 0 when it is missing or damaged.");
  s += printf_string("crx_source_up{source=\"packet_counters\"} %d\n", src.counters.decoded ? 1 : 0);
  s += printf_string("crx_source_up{source=\"hourly_history\"} %d\n", src.hourly.decoded ? 1 : 0);
  s += printf_string("crx_source_up{source=\"daily_history\"} %d\n", src.daily.decoded ? 1 : 0);
  s += printf_string("crx_source_up{source=\"fault_memory\"} %d\n", src.faults.decoded ? 1 : 0);
  if (src.counters.decoded) {
    family(s, "crx_uplink_packets_total", "counter", "Uplink packets the library took from the chips.");
    s += printf_string("crx_uplink_packets_total %u\n", src.counters.uplink);
    family(s, "crx_downlink_packets_total", "counter", "Downlink packets the library sent.");
    s += printf_string("crx_downlink_packets_total %u\n", src.counters.downlink);
    family(s, "crx_uplink_crc_packets_total", "counter", "Uplink packets by CRC state.");
    s += printf_string("crx_uplink_crc_packets_total{crc=\"ok\"} %u\n", src.counters.crc_ok);
    s += printf_string("crx_uplink_crc_packets_total{crc=\"error\"} %u\n", src.counters.crc_err);
  }
  if (src.hourly.decoded && !src.hourly.records.empty()) {
    const StatRecord& last = src.hourly.records.back();
    family(s, "crx_channel_packets_last_hour", "gauge", "Packets per IF chain in the last complete hour.");
    channels(s, "crx_channel_packets_last_hour", last);
    family(s, "crx_sf_packets_last_hour", "gauge", "Packets per spreading factor in the last complete hour.");
    sfs(s, "crx_sf_packets_last_hour", last);
  }
  if (src.daily.decoded && !src.daily.records.empty()) {
    family(s, "crx_sf_packets_last_day", "gauge", "Packets per spreading factor in the last complete day.");
    sfs(s, "crx_sf_packets_last_day", src.daily.records.back());
  }
  if (src.have_current) {
    family(s, "crx_channel_packets_current_hour", "gauge", "Packets per IF chain so far this hour.");
    channels(s, "crx_channel_packets_current_hour", src.current);
    family(s, "crx_sf_packets_current_hour", "gauge", "Packets per spreading factor so far this hour.");
    sfs(s, "crx_sf_packets_current_hour", src.current);
  }
  if (src.faults.decoded) {
    family(s, "crx_fault_active", "gauge", "1 while the fault is set in the fault memory.");
    for (int id = 1; id <= kFaults; ++id)
      if (src.faults.fault[size_t(id)] >= 0)
        s += printf_string("crx_fault_active{fault=\"%d\",name=\"%s\"} %d\n", id, label_value(fault_name(id)).c_str(),
                           src.faults.fault[size_t(id)] > 0 ? 1 : 0);
    family(s, "crx_alarm_active", "gauge", "1 while the alarm is set in the fault memory.");
    for (int id = 1; id <= kAlarms; ++id)
      if (src.faults.alarm[size_t(id)] >= 0)
        s += printf_string("crx_alarm_active{alarm=\"%d\"} %d\n", id, src.faults.alarm[size_t(id)] > 0 ? 1 : 0);
  }
  return s;
}

std::string replace_file(const std::string& path, const std::string& content) {
  // The temporary name does not end like the file, so a collector that
  // picks files by their ending never reads it half-written.
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return "cannot create a temporary file beside " + path + ": " + std::strerror(errno);
  size_t done = 0;
  std::string error;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = std::string("cannot write ") + temp + ": " + (n < 0 ? std::strerror(errno) : "no space");
      break;
    }
    done += size_t(n);
  }
  if (error.empty() && ::fchmod(fd, 0644) != 0) error = std::string("cannot set the mode of ") + temp + ": " + std::strerror(errno);
  if (error.empty() && ::fsync(fd) != 0) error = std::string("cannot flush ") + temp + ": " + std::strerror(errno);
  if (::close(fd) != 0 && error.empty()) error = std::string("cannot close ") + temp + ": " + std::strerror(errno);
  if (error.empty() && ::rename(temp.c_str(), path.c_str()) != 0)
    error = "cannot rename " + temp + " to " + path + ": " + std::strerror(errno);
  if (!error.empty()) ::unlink(temp.c_str());
  return error;
}

}  // namespace crxdiag
