// The forwarder's settings ("gateway_conf") and the localization filter
// ("filter_conf") of the configuration file.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "config/config_parse.h"
#include "log.h"

namespace crx::config {

namespace {

crx_gw_cfg_t make_defaults() {
  crx_gw_cfg_t r{};
  std::strcpy(r.server_address, "127.0.0.1");
  std::strcpy(r.serv_port_up, "1780");
  std::strcpy(r.serv_port_down, "1782");
  r.keepalive_interval = 5;
  r.stat_interval = 30;
  r.push_timeout_half = {0, 50000};
  r.pull_timeout = {0, 200000};
  r.forward_crc_valid = true;
  r.beacon_freq_hz = 869525000;
  r.beacon_freq_nb = 1;
  r.beacon_datarate = 9;
  r.beacon_bw_hz = 125000;
  r.beacon_power = 14;
  r.stat_no_ack_timeout_cnt = 60;
  r.use_gps_timestamp = 1;
  return r;
}

crx_gw_cfg_t record = make_defaults();

// Shortest beacon period accepted (as its refusal says); 0 turns beacons off.
constexpr uint32_t kMinBeaconPeriod = 6;

template <size_t N>
void copy_cut(char (&dst)[N], const std::string& src) {
  const size_t n = strnlen(src.c_str(), N - 1);
  std::memcpy(dst, src.c_str(), n);
  dst[n] = '\0';
}

// A numeric key counts when present with any type, a non-number reading 0.
double num(const Json* v) { return is_number(v) ? value_of(*v) : 0.0; }

void port(const Json& object, const char* key, char (&field)[8], const char* line) {
  const Json* v = member(object, key);
  if (!v) return;
  std::snprintf(field, sizeof field, "%u", unsigned{to_u16(num(v))});
  log_line(line, field);
}

void forward_flag(const Json& object, const char* key, bool& field, const char* line) {
  const Json* v = member(object, key);
  if (v && v->is_boolean()) field = v->get<bool>();
  log_line(line, field ? "" : " NOT");
}

uint64_t database_gateway_id() {
  crx_module_id_t id{};
  if (crx_get_module_id(&id) != 0) return 0;
  id.gateway_id[sizeof id.gateway_id - 1] = '\0';
  // Sixteen digits, with room for a "0x" before them.
  return hex_value(id.gateway_id, sizeof id.gateway_id + 1, true).value_or(0);
}

}  // namespace

crx_gw_cfg_t& gateway_record() { return record; }

int parse_gateway_conf(const Json& obj, crx_gw_cfg_t& gw) {
  gw.gateway_id = database_gateway_id();
  log_line("INFO: gateway ID is configured to %016llX", static_cast<unsigned long long>(gw.gateway_id));

  if (const std::string* s = string_member(&obj, "server_address")) copy_cut(gw.server_address, *s);
  log_line("INFO: server hostname or IP address is configured to \"%s\"", gw.server_address);
  port(obj, "serv_port_up", gw.serv_port_up, "INFO: upstream port is configured to \"%s\"");
  port(obj, "serv_port_down", gw.serv_port_down, "INFO: downstream port is configured to \"%s\"");

  if (const Json* v = member(obj, "keepalive_interval")) {
    gw.keepalive_interval = to_i32(num(v));
    log_line("INFO: downstream keep-alive interval is configured to %u seconds",
             static_cast<unsigned>(gw.keepalive_interval));
  }
  if (const Json* v = member(obj, "stat_interval")) {
    gw.stat_interval = to_u32(num(v));
    log_line("INFO: statistics display interval is configured to %u seconds", gw.stat_interval);
  }
  if (const Json* v = member(obj, "push_timeout_ms")) {
    // Half the time-out, in microseconds: 1000 / 2 per millisecond. A value
    // too large for the field saturates at its largest whole millisecond
    // rather than wrapping into a time-out of a few microseconds.
    constexpr uint32_t kMaxMs = UINT32_MAX / 500u;
    gw.push_timeout_half.microseconds = 500u * std::min(to_u32(num(v)), kMaxMs);
    log_line("INFO: upstream PUSH_DATA time-out is configured to %u ms", gw.push_timeout_half.microseconds / 500);
  }

  forward_flag(obj, "forward_crc_valid", gw.forward_crc_valid,
               "INFO: packets received with a valid CRC will%s be forwarded");
  forward_flag(obj, "forward_crc_error", gw.forward_crc_error,
               "INFO: packets received with a CRC error will%s be forwarded");
  forward_flag(obj, "forward_crc_disabled", gw.forward_crc_disabled,
               "INFO: packets received with no CRC will%s be forwarded");

  if (const Json* v = member(obj, "autoquit_threshold")) {
    gw.autoquit_threshold = to_u32(num(v));
    log_line("INFO: Auto-quit after %u non-acknowledged PULL_DATA", gw.autoquit_threshold);
  }

  const std::string* mote = string_member(&obj, "link_mote");
  const auto link = mote ? device_address(*mote) : std::nullopt;
  gw.link_mote = link.value_or(0);
  if (link) log_line("INFO: Link testing mote address is configured to %08X", gw.link_mote);
  else log_line("INFO: Link testing mote address is not configured");

  if (const Json* v = member(obj, "led_intensity")) {
    const uint16_t intensity = to_u16(num(v));
    crx_set_led_intensity(intensity);
    log_line("INFO: led_intensity is set to %d", intensity);
  } else {
    log_line("INFO: led_intensity is not configured");
  }

  if (const Json* v = member(obj, "beacon_period")) {
    const uint32_t period = to_u32(num(v));
    // Refused before it is stored, so that the record never keeps it.
    if (period > 0 && period < kMinBeaconPeriod) {
      log_line("ERROR: invalid configuration %d for Beacon period, must be >= 6s", static_cast<int>(period));
      return -1;
    }
    gw.beacon_period = period;
    log_line("INFO: Beaconing period is configured to %u seconds", gw.beacon_period);
  }

  // The rest, each logged when present. The formats differ in how they
  // print a value, so each key carries its own conversion to the argument.
  const auto u32 = [&](const char* key, uint32_t& field, const char* line) {
    if (const Json* v = member(obj, key)) { field = to_u32(num(v)); log_line(line, field); }
  };
  const auto u8 = [&](const char* key, uint8_t& field, const char* line) {
    if (const Json* v = member(obj, key)) { field = to_u8(num(v)); log_line(line, unsigned{field}); }
  };
  u32("beacon_freq_hz", gw.beacon_freq_hz, "INFO: Beaconing signal will be emitted at %u Hz");
  u8("beacon_freq_nb", gw.beacon_freq_nb, "INFO: Beaconing channel number is set to %u");
  u32("beacon_freq_step", gw.beacon_freq_step, "INFO: Beaconing channel frequency step is set to %uHz");
  if (const Json* v = member(obj, "beacon_datarate")) {
    gw.beacon_datarate = to_u8(num(v));
    log_line("INFO: Beaconing datarate is set to SF%d\n", int{gw.beacon_datarate});
  }
  if (const Json* v = member(obj, "beacon_bw_hz")) {
    gw.beacon_bw_hz = to_u32(num(v));
    log_line("INFO: Beaconing modulation bandwidth is set to %dHz", static_cast<int>(gw.beacon_bw_hz));
  }
  if (const Json* v = member(obj, "beacon_power")) {
    gw.beacon_power = to_i8(num(v));
    log_line("INFO: Beaconing TX power is set to %ddBm", int{gw.beacon_power});
  }
  u8("beacon_infodesc", gw.beacon_infodesc, "INFO: Beaconing information descriptor is set to %u");
  u8("multi_antenna", gw.multi_antenna, "INFO: Single antenna configuration: %u");
  u8("stat_no_ack_timeout_cnt", gw.stat_no_ack_timeout_cnt, "INFO: Timeout of stat packet ack: %u");
  u8("use_utc_timestamp", gw.use_utc_timestamp, "INFO: Use utc timestamp: %u");
  u8("use_gps_timestamp", gw.use_gps_timestamp, "INFO: Use gps timestamp: %u");
  u8("antenna_schedule", gw.antenna_schedule, "INFO: Antenna schedule: %u");
  u8("report_count", gw.report_count, "INFO: Report count: %u");
  return 0;
}

int parse_filter_conf(const Json& array) {
  for (const Json& entry : array) {
    const std::string* mote = string_member(&entry, "mote");
    if (!mote) {
      log_line("INFO: Filter entry mote address is not configured");
      continue;
    }
    // Text that is no address gives 0, which the filter refuses.
    const uint32_t address = device_address(*mote).value_or(0);
    log_line("INFO: Filter entry mote address is configured to %08X", address);
    if (crx_loc_add_mote(address) != 0) return -1;
  }
  return 0;
}

}  // namespace crx::config
