// crxdiag faults: the fault and alarm memory, decoded.
#include "diag.h"
#include "sources.h"

namespace crxdiag {

Json faults_json(const FaultMemory& m) {
  Json d;
  d["size"] = m.size;
  d["version"] = m.size ? Json(std::to_string(m.major) + "." + std::to_string(m.minor)) : Json();
  d["problem"] = m.problem.empty() ? Json() : Json(m.problem);
  d["note"] = m.note.empty() ? Json() : Json(m.note);
  Json faults = Json::array(), alarms = Json::array(), active = Json::array();
  if (m.decoded) {
    for (int id = 1; id <= kFaults; ++id) {
      const int st = m.fault[size_t(id)];
      faults.push_back({{"id", id},
                        {"name", fault_name(id)},
                        {"text", fault_text(id)},
                        {"status", st < 0 ? Json() : Json(st)},
                        {"active", st > 0}});
      if (st > 0) active.push_back(id);
    }
    uint32_t word = 0;
    for (int id = 1; id <= kAlarms; ++id) {
      const int st = m.alarm[size_t(id)];
      alarms.push_back({{"id", id}, {"name", alarm_name(id)}, {"status", st < 0 ? Json() : Json(st)}, {"active", st > 0}});
      if (st > 0) word |= 1u << (id - 1);
    }
    d["alarm_word"] = printf_string("0x%02X", word);
  } else {
    d["alarm_word"] = Json();
  }
  d["faults"] = faults;
  d["alarms"] = alarms;
  d["active"] = active;
  return d;
}

Report faults(Host& host) {
  Report r;
  const SegmentImage seg = read_segment(host, kFaultMemoryKey);
  Json d;
  if (!seg.exists) {
    d = faults_json(FaultMemory{});
    d["problem"] = seg.error.empty() ? "no fault memory (System V key 44946): no process of the library has written "
                                       "it since the gateway started"
                                     : "the fault memory (System V key 44946): " + seg.error;
    r.doc = d;
    r.status = kExitMissing;
    return r;
  }
  if (!seg.error.empty()) {
    d = faults_json(FaultMemory{});
    d["problem"] = "the fault memory (System V key 44946): " + seg.error;
    r.doc = d;
    r.status = kExitMissing;
    return r;
  }
  const FaultMemory m = parse_fault_memory(seg.bytes);
  r.doc = faults_json(m);
  r.status = !m.decoded ? kExitMissing : r.doc["active"].empty() ? kExitOk : kExitFound;
  return r;
}

std::string faults_text(const Json& d) {
  std::string s;
  if (!d["problem"].is_null()) s += "MISSING: " + d["problem"].get<std::string>() + "\n";
  if (d["faults"].empty()) return s;
  s += "Fault memory version " + d["version"].get<std::string>() + ", alarm word " + d["alarm_word"].get<std::string>() + "\n";
  if (!d["note"].is_null()) s += "NOTE: " + d["note"].get<std::string>() + "\n";
  for (const auto& f : d["faults"]) {
    const std::string st = f["status"].is_null() ? "n/a" : f["active"].get<bool>() ? "ACTIVE" : "clear";
    s += printf_string("  fault %2d  %-6s  %-17s %s\n", f["id"].get<int>(), st.c_str(),
                       f["name"].get<std::string>().c_str(), f["text"].get<std::string>().c_str());
  }
  for (const auto& a : d["alarms"]) {
    const std::string st = a["status"].is_null() ? "n/a" : a["active"].get<bool>() ? "ACTIVE" : "clear";
    s += printf_string("  alarm %2d  %-6s  %s\n", a["id"].get<int>(), st.c_str(), a["name"].get<std::string>().c_str());
  }
  s += d["active"].empty() ? "No fault active.\n" : printf_string("%zu fault%s active.\n", d["active"].size(), d["active"].size() == 1 ? "" : "s");
  return s;
}

}  // namespace crxdiag
