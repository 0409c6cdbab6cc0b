// crxdiag gps: the GPS fix as the position file tells it, the PPS latch of
// the concentrator counter, the library's time reference and the kernel's
// TAI offset.
#include <cmath>
#include <cstring>
#include <ctime>
#include <sstream>

#include "crx.h"
#include "diag.h"
#include "sources.h"

namespace crxdiag {
namespace {

constexpr const char* kPositionFile = "/tmp/position";
// GPS seconds = TAI seconds - (GPS epoch in Unix time + 19 s).
constexpr int64_t kGpsFromTai = 315964819;

std::string iso(time_t t) {
  struct tm tm {};
  gmtime_r(&t, &tm);
  char b[32];
  std::strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return b;
}

void add_fix(Host& host, Json& d, int& status) {
  Json fix;
  const FileImage f = read_file(host, kPositionFile, 4096);
  fix["file"] = kPositionFile;
  if (!f.exists || !f.error.empty()) {
    fix["present"] = false;
    fix["problem"] = !f.exists ? "no position file " + std::string(kPositionFile) + ": no GPS daemon writes it (no GPS?)"
                               : std::string(kPositionFile) + ": " + f.error;
    fix["locked"] = false;
    status = kExitMissing;
    d["fix"] = fix;
    return;
  }
  fix["present"] = true;
  fix["age_s"] = f.mtime ? Json(int64_t(host.now() - f.mtime)) : Json();
  // The lock word as the library reads it: the first line's second word.
  std::istringstream in(std::string(f.bytes.begin(), f.bytes.end()));
  std::string label, word;
  in >> label >> word;
  const bool locked = word.rfind("yes", 0) == 0;
  fix["lock_word"] = field(word.c_str(), word.size() + 1);
  fix["locked"] = locked;
  if (locked) {
    crx_coord_t c;
    std::memset(&c, 0, sizeof c);
    crx_get_gps_position(&c);
    fix["latitude"] = std::round(c.lat * 1e6) / 1e6;
    fix["longitude"] = std::round(c.lon * 1e6) / 1e6;
    fix["altitude_m"] = c.alt;
  }
  if (!locked && status == kExitOk) status = kExitFound;
  d["fix"] = fix;
}

void add_counter(Json& d) {
  Json c;
  int status = 0;
  crx_brd_status(0, &status);
  uint32_t now = 0, latched = 0;
  if (status != 2) {
    c["why"] = "the concentrator is not running in this process: its counter and PPS latch run only once started";
  } else if (crx_get_instcnt(0, 0, &now) == 0 && crx_get_trigcnt(0, &latched) == 0) {
    c["counter_us"] = now;
    c["latched_at_pps_us"] = latched;
    const uint32_t age = now - latched;  // the counter wraps every 2^32 us
    c["pps_age_ms"] = age / 1000;
    c["pps"] = age <= 1100000 ? "latched within the last second" : "no PPS latched in the last second";
  } else {
    c["why"] = std::string("the counters cannot be read: ") + crx_err_message(crx_errno);
  }
  d["counter"] = c;
}

void add_reference(Host& host, Json& d) {
  Json r;
  uint32_t valid = 0;
  crx_tref_t ref;
  std::memset(&ref, 0, sizeof ref);
  if (crx_get_sync_status(&valid) == 0 && valid == 1 && crx_get_ref_time(&ref) == 0) {
    r["valid"] = true;
    r["count_us"] = ref.count_us;
    r["utc"] = iso(time_t(ref.utc.sec));
    r["utc_s"] = int64_t(ref.utc.sec);
    r["gps_s"] = int64_t(ref.gps.sec);
    r["age_s"] = int64_t(host.now() - time_t(ref.utc.sec));
  } else {
    r["valid"] = false;
    r["why"] = "the library's time reference lives in the process that runs the concentrator; this process has none";
  }
  d["time_reference"] = r;

  Json clock;
  const time_t utc = host.now();
  const int tai = host.tai_offset();
  clock["utc"] = iso(utc);
  clock["tai_offset_s"] = tai;
  if (tai > 0) {
    clock["tai_offset"] = "set";
    clock["gps_s"] = int64_t(utc) + tai - kGpsFromTai;
  } else if (tai == 0) {
    clock["tai_offset"] = "not set: CLOCK_TAI equals UTC, so every GPS time is early by the leap seconds (37 s); "
                          "give the time daemon a leap-second file";
    clock["gps_s"] = int64_t(utc) - kGpsFromTai;
  } else {
    clock["tai_offset"] = "unknown: the kernel did not report it";
    clock["gps_s"] = Json();
  }
  d["clock"] = clock;
}

}  // namespace

Report gps(Host& host) {
  Report r;
  add_fix(host, r.doc, r.status);
  add_counter(r.doc);
  add_reference(host, r.doc);
  return r;
}

std::string gps_text(const Json& d) {
  std::string s;
  const Json& f = d["fix"];
  if (!f["present"].get<bool>()) {
    s += "MISSING: " + f["problem"].get<std::string>() + "\n";
  } else if (f["locked"].get<bool>()) {
    s += printf_string("GPS:            locked, %.6f %.6f, altitude %d m (position file %s s old)\n",
                       f["latitude"].get<double>(), f["longitude"].get<double>(), f["altitude_m"].get<int>(),
                       f["age_s"].is_null() ? "?" : f["age_s"].dump().c_str());
  } else {
    s += "GPS:            NOT LOCKED (lock word \"" + f["lock_word"].get<std::string>() + "\")\n";
  }
  const Json& c = d["counter"];
  if (c.contains("why"))
    s += "Counter:        " + c["why"].get<std::string>() + "\n";
  else
    s += printf_string("Counter:        %u us, latched at the PPS %u us: %s (%u ms ago)\n", c["counter_us"].get<unsigned>(),
                       c["latched_at_pps_us"].get<unsigned>(), c["pps"].get<std::string>().c_str(),
                       c["pps_age_ms"].get<unsigned>());
  const Json& r = d["time_reference"];
  if (r["valid"].get<bool>())
    s += printf_string("Time reference: counter %u us = %s UTC = GPS %lld s, taken %lld s ago\n", r["count_us"].get<unsigned>(),
                       r["utc"].get<std::string>().c_str(), (long long)r["gps_s"].get<int64_t>(), (long long)r["age_s"].get<int64_t>());
  else
    s += "Time reference: " + r["why"].get<std::string>() + "\n";
  const Json& k = d["clock"];
  s += "Clock:          " + k["utc"].get<std::string>() + (k["gps_s"].is_null() ? "" : ", GPS " + k["gps_s"].dump() + " s") + "\n";
  s += "TAI offset:     " + k["tai_offset_s"].dump() + " s: " + k["tai_offset"].get<std::string>() + "\n";
  return s;
}

}  // namespace crxdiag
