// The receiver commands: read-modify-write of a configuration message
// (poll, change some bytes, send back, wait for the acknowledgement), the
// plain set commands, and the three commands for a serial port.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "errors.h"
#include "gps/gps_internal.h"
#include "log.h"
#include "platform/os.h"

namespace crx::gps {
namespace {

constexpr uint8_t kClassCfg = 0x06;
constexpr uint8_t kIdPrt = 0x00;
constexpr uint8_t kIdMsg = 0x01;
constexpr uint8_t kIdInf = 0x02;
constexpr uint8_t kIdRst = 0x04;
constexpr uint8_t kIdRate = 0x08;
constexpr uint8_t kIdCfg = 0x09;
constexpr uint8_t kIdSbas = 0x16;
constexpr uint8_t kIdNav5 = 0x24;
constexpr uint8_t kIdTp5 = 0x31;
constexpr uint8_t kClassNav = 0x01;
constexpr uint8_t kIdPosllh = 0x02;
constexpr uint32_t kAllSections = 0x061F;

UbxMessage make(uint8_t msg_class, uint8_t msg_id, std::initializer_list<uint8_t> payload) {
  UbxMessage m{};
  m.msg_class = msg_class;
  m.msg_id = msg_id;
  m.length = static_cast<uint16_t>(payload.size());
  std::copy(payload.begin(), payload.end(), m.payload);
  return m;
}

void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Sends `msg` and waits for its acknowledgement.
int send_and_ack(const UbxMessage& msg) {
  if (send_ubx_command(&msg) < 0) return fail(ERR_UBX_SEND);
  if (get_ubx_response(msg.msg_class, msg.msg_id, kWaitAck, nullptr) != kUbxOk) return fail(ERR_UBX_ACK);
  return 0;
}

// Polls a configuration message, lets `change` edit the answer (which must
// hold at least `needed` payload bytes) and writes it back.
template <typename Change>
int read_modify_write(const UbxMessage& poll, size_t needed, Change&& change) {
  if (send_ubx_command(&poll) < 0) return fail(ERR_UBX_SEND);
  UbxMessage current{};
  if (get_ubx_response(poll.msg_class, poll.msg_id, kWaitBoth, &current) != kUbxOk ||
      current.length < needed)
    return fail(ERR_UBX_ACK);
  UbxMessage update = current;
  update.msg_class = poll.msg_class;
  update.msg_id = poll.msg_id;
  change(update.payload);
  return send_and_ack(update);
}

// A serial-port command: the frame written whole or not at all.
bool write_frame(int fd, const UbxMessage& msg) {
  uint8_t frame[kUbxMaxPayload + kUbxOverhead];
  const size_t total = ubx_build_frame(msg, frame);
  if (total == 0) return false;
  return os::write(fd, frame, total) == static_cast<ssize_t>(total);
}

void print(const char* fmt, ...) CRX_PRINTF(1, 2);
void print(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  os::backend().console(fmt, ap);
  va_end(ap);
}

}  // namespace

int configure_port() {
  const int r = read_modify_write(make(kClassCfg, kIdPrt, {0}), 16, [](uint8_t* p) {
    p[12] = static_cast<uint8_t>((p[12] | 0x01) & ~0x02);  // input: UBX on, NMEA off
    p[14] = static_cast<uint8_t>((p[14] | 0x01) & ~0x02);  // output: UBX on, NMEA off
  });
  if (r < 0) log_line("ERROR: GPS I/O port configuration failed");
  return r;
}

int configure_sbas(uint8_t flag) {
  log_line("GPS: Disable SBAS");
  const uint8_t on = flag ? 1 : 0;
  const int r = send_and_ack(make(kClassCfg, kIdSbas, {on, uint8_t(on ? 7 : 0), uint8_t(on ? 3 : 0), 0, 0, 0, 0, 0}));
  if (r < 0) log_line("ERROR: Failed to disable GPS SBAS ");
  return r;
}

int configure_navigation(const crx_gps_cfg_t& cfg) {
  const uint8_t model = 2;  // stationary
  const uint8_t fix_mode = cfg.fix_2d ? 1 : 2;
  log_line("GPS: Set NAV5 parameters: Dynamic platform model: %d, Pos fixing mode: %d, Fixed altitude: %d",
           model, fix_mode, cfg.fixed_alt);
  const int r = read_modify_write(make(kClassCfg, kIdNav5, {}), 8, [&](uint8_t* p) {
    p[2] = model;
    p[3] = fix_mode;
    if (fix_mode == 1) {
      p[4] = static_cast<uint8_t>(cfg.fixed_alt);
      p[5] = static_cast<uint8_t>(cfg.fixed_alt >> 8);
      p[6] = 0;
      p[7] = 0;
    }
  });
  if (r < 0) log_line("ERROR: Failed to set GPS NAV5 parameters");
  return r;
}

int configure_information() {
  log_line("GPS: Information message configuration");
  const int r = read_modify_write(make(kClassCfg, kIdInf, {1}), 6,
                                  [](uint8_t* p) { p[5] = static_cast<uint8_t>(p[5] & ~0x02); });
  if (r < 0) log_line("GPS: Information message configuration");
  return r;
}

}  // namespace crx::gps

using namespace crx::gps;
using crx::fail;
using crx::log_line;

extern "C" {

int set_time_pulse(uint16_t value) {
  log_line("GPS: Set Time Pulse parameters");
  const int r = read_modify_write(make(kClassCfg, kIdTp5, {}), 11, [&](uint8_t* p) {
    p[6] = static_cast<uint8_t>(value);
    p[7] = static_cast<uint8_t>(value >> 8);
    p[8] = 0x40;
    p[9] = 0x42;
    p[10] = 0x0F;
  });
  if (r < 0) log_line("GPS: Set Time Pulse parameters");
  return r;
}

int set_conf_msg_param(uint8_t port, uint8_t msg_class, uint8_t msg_id, uint8_t enable) {
  // The answer carries one rate byte for each of the receiver's six ports.
  if (port > 5) return fail(ERR_UNSPECIFIED);
  return read_modify_write(make(kClassCfg, kIdMsg, {msg_class, msg_id}), 8,
                           [&](uint8_t* p) { p[2 + port] = enable ? 1 : 0; });
}

int save_config(void) {
  UbxMessage m = make(kClassCfg, kIdCfg, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  put_le32(&m.payload[4], kAllSections);
  return send_and_ack(m);
}

int factory_reset(void) {
  UbxMessage clear = make(kClassCfg, kIdCfg, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  put_le32(&clear.payload[0], kAllSections);
  if (send_and_ack(clear) < 0) return -1;
  UbxMessage load = make(kClassCfg, kIdCfg, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  put_le32(&load.payload[8], kAllSections);
  return send_and_ack(load);
}

int get_geodetic_pos(crx_coord_t* coord) {
  if (!coord) return fail(ERR_UNSPECIFIED);
  const UbxMessage poll = make(kClassNav, kIdPosllh, {});
  if (send_ubx_command(&poll) < 0) return fail(ERR_UBX_SEND);
  UbxMessage pos{};
  if (get_ubx_response(kClassNav, kIdPosllh, kWaitMessage, &pos) != kUbxOk || pos.length < 14)
    return fail(ERR_UBX_ACK);
  auto le32 = [&](int at) {
    return static_cast<int32_t>(uint32_t(pos.payload[at]) | uint32_t(pos.payload[at + 1]) << 8 |
                                uint32_t(pos.payload[at + 2]) << 16 | uint32_t(pos.payload[at + 3]) << 24);
  };
  coord->lon = le32(4);
  coord->lat = le32(8);
  coord->alt = static_cast<uint16_t>(pos.payload[12] | pos.payload[13] << 8);
  return 0;
}

int configure_gps(int fd, uint16_t rate_ms) {
  print("Enable PUBX, report time: %d\n", rate_ms);
  for (uint8_t id : {1, 2, 3, 5}) {
    if (!write_frame(fd, make(kClassCfg, kIdMsg, {0xF0, id, 0}))) {
      print("Failed to write GPS command to enable UBX message 0x%02X-0x%02X\n", 0xF0, id);
      return -1;
    }
  }
  if (rate_ms == 1000) return 0;
  const UbxMessage rate = make(kClassCfg, kIdRate, {uint8_t(rate_ms), uint8_t(rate_ms >> 8), 1, 0, 0, 0});
  if (!write_frame(fd, rate)) {
    print("Failed to write GPS command to change reporting rate");
    return -1;
  }
  return 0;
}

int reset_gps(int fd) {
  print("Resetting GPS unit...");
  if (!write_frame(fd, make(kClassCfg, kIdRst, {0, 0, 1, 0}))) {
    print("Failed to write GPS command to reset GPS UART");
    return -1;
  }
  crx_wait_ms(200);
  print("Done!");
  return 0;
}

}  // extern "C"
