// crxdiag stats: the packet counters, the current hour, and the hourly and
// daily history as tables; the SVG picture and the Prometheus file.
#include <cstring>
#include <ctime>

#include "crx.h"
#include "diag.h"
#include "sources.h"

namespace crxdiag {
namespace {

constexpr const char* kHourlyPath = "/var/lib/logs/packet_history.hr";
constexpr const char* kDailyPath = "/var/lib/logs/packet_history.day";

Json record_json(const StatRecord& r) {
  Json sf = Json::array();
  for (int i = 0; i < kSfEntries; ++i)
    sf.push_back({{"sf", sf_of_index(i)}, {"crc_ok", r.sf[size_t(i)].crc_ok}, {"other", r.sf[size_t(i)].other}});
  Json chans = Json::array();
  for (int c = 0; c < kChannels; ++c) {
    const ChanCount& ch = r.chan[size_t(c)];
    if (ch.total() == 0 && ch.freq_hz == 0) continue;
    chans.push_back({{"if_chain", c}, {"freq_hz", ch.freq_hz}, {"bandwidth_hz", ch.bandwidth_hz},
                     {"crc_ok", ch.crc_ok}, {"other", ch.other}});
  }
  return {{"total", r.total()}, {"other", r.other()}, {"sf", sf}, {"channels", chans}};
}

// The start of record i's period: the newest record ends at the save that
// last wrote the file (on the hour, or at midnight for the daily file).
time_t period_start(time_t mtime, bool hourly, int i, int count) {
  const time_t unit = hourly ? 3600 : 86400;
  const time_t end = mtime / unit * unit;
  return end - time_t(count - i) * unit;
}

std::string label(time_t t, bool hourly) {
  struct tm tm {};
  gmtime_r(&t, &tm);
  char b[32];
  std::strftime(b, sizeof b, hourly ? "%m-%d %H:00" : "%Y-%m-%d", &tm);
  return b;
}

Json history_json(const History& h, const FileImage& f, const char* path, bool hourly) {
  Json j;
  j["file"] = path;
  if (!f.exists) {
    j["problem"] = std::string("no ") + (hourly ? "hourly" : "daily") + " history file " + path +
                   " (the library writes it at the first hour of running)";
  } else if (!f.error.empty()) {
    j["problem"] = std::string(path) + ": " + f.error;
  } else if (!h.decoded) {
    j["problem"] = std::string(path) + " is damaged: " + h.problem;
  } else {
    j["problem"] = Json();
  }
  j["note"] = h.note.empty() ? Json() : Json(h.note);
  Json recs = Json::array();
  for (size_t i = 0; i < h.records.size(); ++i) {
    Json r = record_json(h.records[i]);
    if (f.mtime) r["period_start"] = label(period_start(f.mtime, hourly, int(i), int(h.records.size())), hourly);
    recs.push_back(r);
  }
  j["records"] = recs;
  return j;
}

void add_sources(Host& host, StatsSources& s, Json& d, std::vector<std::string>& missing) {
  const SegmentImage seg = read_segment(host, kPacketStatsKey);
  Json c;
  if (!seg.exists || !seg.error.empty()) {
    const std::string why = !seg.exists ? "no packet-statistics memory (System V key 44945): the concentrator has not "
                                          "been started since the gateway started"
                                        : "the packet-statistics memory (System V key 44945): " + seg.error;
    c["problem"] = why;
    missing.push_back(why);
  } else {
    s.counters = parse_packet_counters(seg.bytes);
    if (!s.counters.decoded) {
      c["problem"] = s.counters.problem;
      missing.push_back(s.counters.problem);
    } else {
      c["problem"] = Json();
      c["uplink"] = s.counters.uplink;
      c["downlink"] = s.counters.downlink;
      c["crc_ok"] = s.counters.crc_ok;
      c["crc_error"] = s.counters.crc_err;
      c["reset_requested"] = (s.counters.control & 0xFF) > 254;
      if (seg.bytes.size() != kPacketStatsSize)
        c["note"] = "the memory is " + std::to_string(seg.bytes.size()) + " bytes (32 expected): the first 32 read";
    }
  }
  d["counters"] = c;

  int running = 0;
  crx_brd_status(0, &running);
  Json cur;
  if (running == 2) {
    uint8_t raw[kRecordSize];
    if (crx_get_current_stat(raw, sizeof raw) == int(sizeof raw)) {
      s.have_current = true;
      s.current = parse_record(std::span<const uint8_t, kRecordSize>(raw, kRecordSize));
      cur = record_json(s.current);
    }
  }
  if (!s.have_current)
    cur = {{"why", "the current hour is counted inside the process that runs the concentrator; not readable here"}};
  d["current_hour"] = cur;

  const FileImage fh = read_file(host, kHourlyPath, 8 + 64 * kRecordSize);
  const FileImage fd = read_file(host, kDailyPath, 8 + 64 * kRecordSize);
  s.hourly = parse_history(fh.bytes, true);
  s.daily = parse_history(fd.bytes, false);
  s.hourly_mtime = fh.mtime;
  s.daily_mtime = fd.mtime;
  d["hourly"] = history_json(s.hourly, fh, kHourlyPath, true);
  d["daily"] = history_json(s.daily, fd, kDailyPath, false);
  for (const char* k : {"hourly", "daily"})
    if (!d[k]["problem"].is_null()) missing.push_back(d[k]["problem"].get<std::string>());

  const SegmentImage fm = read_segment(host, kFaultMemoryKey);
  if (fm.exists && fm.error.empty()) s.faults = parse_fault_memory(fm.bytes);
}

std::string sf_table(const Json& rec) {
  std::string s = "    SF    CRC ok     other\n";
  for (const auto& e : rec["sf"])
    s += printf_string("    %2d %9u %9u\n", e["sf"].get<int>(), e["crc_ok"].get<unsigned>(), e["other"].get<unsigned>());
  return s;
}

std::string chan_table(const Json& rec) {
  std::string s = "    IF  frequency Hz  bandwidth    CRC ok     other\n";
  for (const auto& c : rec["channels"])
    s += printf_string("    %2d %13u %10u %9u %9u\n", c["if_chain"].get<int>(), c["freq_hz"].get<unsigned>(),
                       c["bandwidth_hz"].get<unsigned>(), c["crc_ok"].get<unsigned>(), c["other"].get<unsigned>());
  return s;
}

std::string history_table(const Json& h, const char* title) {
  std::string s = std::string(title) + " (" + h["file"].get<std::string>() + ")\n";
  if (!h["problem"].is_null()) return s + "  no records (see MISSING above)\n";
  if (!h["note"].is_null()) s += "  NOTE: " + h["note"].get<std::string>() + "\n";
  s += "    #  period start        total     other    SF7    SF8    SF9   SF10   SF11   SF12  channels\n";
  int i = 0;
  for (const auto& r : h["records"]) {
    s += printf_string("   %2d  %-16s %7llu %9llu", i++, r.contains("period_start") ? r["period_start"].get<std::string>().c_str() : "-",
                       (unsigned long long)r["total"].get<uint64_t>(), (unsigned long long)r["other"].get<uint64_t>());
    for (const auto& e : r["sf"]) s += printf_string(" %6u", e["crc_ok"].get<unsigned>() + e["other"].get<unsigned>());
    s += printf_string("  %8zu\n", r["channels"].size());
  }
  return s;
}

}  // namespace

Report stats(Host& host, const Options& o) {
  Report r;
  StatsSources s;
  std::vector<std::string> missing;
  add_sources(host, s, r.doc, missing);
  Json files;
  if (!o.svg.empty()) {
    const std::string e = replace_file(o.svg, stats_svg(s));
    files["svg"] = {{"path", o.svg}, {"error", e.empty() ? Json() : Json(e)}};
    if (!e.empty()) r.status = kExitFailed;
  }
  if (!o.prometheus.empty()) {
    const std::string e = replace_file(o.prometheus, stats_prometheus(s));
    files["prometheus"] = {{"path", o.prometheus}, {"error", e.empty() ? Json() : Json(e)}};
    if (!e.empty()) r.status = kExitFailed;
  }
  r.doc["files"] = files.is_null() ? Json::object() : files;
  r.doc["missing"] = missing;
  if (r.status == kExitOk && !missing.empty()) r.status = kExitMissing;
  return r;
}

std::string stats_text(const Json& d) {
  std::string s;
  for (const auto& m : d["missing"]) s += "MISSING: " + m.get<std::string>() + "\n";
  const Json& c = d["counters"];
  if (c["problem"].is_null())
    s += printf_string("Packet counters: uplink %u, downlink %u, CRC ok %u, CRC error %u%s\n", c["uplink"].get<unsigned>(),
                       c["downlink"].get<unsigned>(), c["crc_ok"].get<unsigned>(), c["crc_error"].get<unsigned>(),
                       c["reset_requested"].get<bool>() ? " (reset requested)" : "");
  const Json& cur = d["current_hour"];
  if (cur.contains("why")) {
    s += "Current hour: " + cur["why"].get<std::string>() + "\n";
  } else {
    s += printf_string("Current hour: %llu packets, %llu without a good CRC\n", (unsigned long long)cur["total"].get<uint64_t>(),
                       (unsigned long long)cur["other"].get<uint64_t>());
    s += "  per spreading factor\n" + sf_table(cur) + "  per channel\n" + chan_table(cur);
  }
  s += history_table(d["hourly"], "Hourly history, oldest first");
  s += history_table(d["daily"], "Daily history, oldest first");
  for (const char* k : {"svg", "prometheus"}) {
    if (!d["files"].contains(k)) continue;
    const Json& f = d["files"][k];
    s += std::string(k == std::string("svg") ? "SVG" : "Prometheus") + " file " + f["path"].get<std::string>() +
         (f["error"].is_null() ? " written\n" : ": NOT WRITTEN: " + f["error"].get<std::string>() + "\n");
  }
  return s;
}

}  // namespace crxdiag
