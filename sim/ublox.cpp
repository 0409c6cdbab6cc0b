#include "ublox.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace crx::sim {
namespace {

constexpr uint8_t kCfg = 0x06;
constexpr size_t kSlots = 256;
std::mutex g_registry_mutex;
std::array<UbloxReceiver*, kSlots> g_registry{};

UbloxReceiver* lookup(uint8_t dev) {
  std::lock_guard lock(g_registry_mutex);
  return g_registry[dev];
}

// The payloads a fresh module answers polls with.
std::vector<uint8_t> default_prt(uint8_t port) {
  std::vector<uint8_t> p(20, 0);
  p[0] = port;
  p[4] = port == 0 ? 0x84 : 0xC0;  // DDC address or UART mode word
  p[12] = 0x07;                    // in: UBX, NMEA, RTCM
  p[14] = 0x03;                    // out: UBX, NMEA
  return p;
}
std::vector<uint8_t> default_nav5() {
  std::vector<uint8_t> p(36, 0);
  p[0] = 0xFF, p[1] = 0xFF, p[3] = 3;  // all settings, auto 2D/3D
  p[2] = 0;                            // portable
  p[8] = 0x10, p[9] = 0x27;            // fixed altitude variance
  return p;
}
std::vector<uint8_t> default_inf(uint8_t protocol) {
  std::vector<uint8_t> p(10, 0);
  p[0] = protocol;
  for (int i = 4; i < 10; ++i) p[i] = protocol == 1 ? 0x07 : 0x00;
  return p;
}
std::vector<uint8_t> default_tp5() {
  std::vector<uint8_t> p(32, 0);
  p[1] = 1;  // version
  p[4] = 50;
  return p;
}
std::vector<uint8_t> default_msg(uint8_t msg_class, uint8_t msg_id) {
  std::vector<uint8_t> p{msg_class, msg_id, 1, 1, 1, 1, 1, 1};
  if (msg_class != 0xF0) std::fill(p.begin() + 2, p.end(), 0);
  return p;
}

std::string nmea_checksummed(const std::string& body) {
  unsigned x = 0;
  for (char c : body) x ^= static_cast<unsigned char>(c);
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", x);
  return "$" + body + tail;
}

std::string nmea_angle(double value, bool latitude) {
  const double a = std::fabs(value);
  const int degrees = static_cast<int>(a);
  const double minutes = (a - degrees) * 60.0;
  char buf[32];
  std::snprintf(buf, sizeof buf, latitude ? "%02d%08.5f,%c" : "%03d%08.5f,%c", degrees, minutes,
                latitude ? (value < 0 ? 'S' : 'N') : (value < 0 ? 'W' : 'E'));
  return buf;
}

std::string nmea_time(time_t utc, int centiseconds) {
  struct tm tm {};
  gmtime_r(&utc, &tm);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%02d%02d%02d.%02d", tm.tm_hour, tm.tm_min, tm.tm_sec, centiseconds % 100);
  return buf;
}

}  // namespace

UbloxReceiver::UbloxReceiver() {
  std::lock_guard lock(g_registry_mutex);
  for (size_t i = 1; i < kSlots; ++i) {
    if (!g_registry[i]) {
      g_registry[i] = this;
      dev_ = static_cast<uint8_t>(i);
      return;
    }
  }
  throw std::runtime_error("too many simulated GPS receivers");
}

UbloxReceiver::~UbloxReceiver() {
  std::lock_guard lock(g_registry_mutex);
  g_registry[dev_] = nullptr;
}

void UbloxReceiver::attach(crx_gps_cfg_t& cfg) const {
  cfg.read = &UbloxReceiver::read_fn;
  cfg.write = &UbloxReceiver::write_fn;
  cfg.dev = dev_;
}

int UbloxReceiver::read_fn(uint8_t dev, uint8_t reg, uint8_t* buf, uint16_t length) {
  UbloxReceiver* r = lookup(dev);
  return r ? r->read(reg, buf, length) : -1;
}

int UbloxReceiver::write_fn(uint8_t dev, uint8_t* buf, uint16_t length) {
  UbloxReceiver* r = lookup(dev);
  return r ? r->write(buf, length) : -1;
}

void UbloxReceiver::set_answer(Answer answer) {
  std::lock_guard lock(mutex_);
  answer_ = answer;
}
void UbloxReceiver::nak(uint8_t msg_class, uint8_t msg_id) {
  std::lock_guard lock(mutex_);
  naks_.emplace_back(msg_class, msg_id);
}
void UbloxReceiver::set_nmea_output(bool on) {
  std::lock_guard lock(mutex_);
  auto& prt = config_[{0x00, 0}];
  if (prt.empty()) prt = default_prt(0);
  prt[14] = static_cast<uint8_t>(on ? prt[14] | 0x02 : prt[14] & ~0x02);
}
void UbloxReceiver::set_chunk(size_t n) {
  std::lock_guard lock(mutex_);
  chunk_ = n;
}
void UbloxReceiver::fail_io(bool fail) {
  std::lock_guard lock(mutex_);
  fail_io_ = fail;
}
void UbloxReceiver::push_output(const std::vector<uint8_t>& bytes) {
  std::lock_guard lock(mutex_);
  out_.insert(out_.end(), bytes.begin(), bytes.end());
}
void UbloxReceiver::set_position(int32_t lat_e7, int32_t lon_e7, int32_t height_mm) {
  std::lock_guard lock(mutex_);
  lat_e7_ = lat_e7, lon_e7_ = lon_e7, height_mm_ = height_mm;
}

std::vector<UbloxReceiver::Command> UbloxReceiver::commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}
std::vector<std::vector<uint8_t>> UbloxReceiver::writes() const {
  std::lock_guard lock(mutex_);
  return writes_;
}
int UbloxReceiver::bad_frames() const {
  std::lock_guard lock(mutex_);
  return bad_frames_;
}
size_t UbloxReceiver::pending_output() const {
  std::lock_guard lock(mutex_);
  return out_.size();
}

std::vector<uint8_t> UbloxReceiver::config(uint8_t msg_id, uint16_t selector) const {
  std::lock_guard lock(mutex_);
  const auto it = config_.find({msg_id, selector});
  if (it != config_.end()) return it->second;
  switch (msg_id) {
    case 0x00: return default_prt(uint8_t(selector));
    case 0x01: return default_msg(uint8_t(selector >> 8), uint8_t(selector));
    case 0x02: return default_inf(uint8_t(selector));
    case 0x24: return default_nav5();
    case 0x31: return default_tp5();
    default: return {};
  }
}

std::vector<uint8_t> UbloxReceiver::frame(uint8_t msg_class, uint8_t msg_id, const std::vector<uint8_t>& payload) {
  // One allocation of the whole frame, written in place. (Payloads come
  // from frames the model received, so they fit the 16-bit length field.)
  std::vector<uint8_t> f(6 + payload.size() + 2);
  f[0] = 0xB5;
  f[1] = 0x62;
  f[2] = msg_class;
  f[3] = msg_id;
  f[4] = uint8_t(payload.size());
  f[5] = uint8_t(payload.size() >> 8);
  std::copy(payload.begin(), payload.end(), f.begin() + 6);
  uint8_t a = 0, b = 0;
  for (size_t i = 2; i < 6 + payload.size(); ++i) a = uint8_t(a + f[i]), b = uint8_t(b + a);
  f[f.size() - 2] = a;
  f[f.size() - 1] = b;
  return f;
}


int UbloxReceiver::read(uint8_t reg, uint8_t* buf, uint16_t length) {
  std::lock_guard lock(mutex_);
  if (fail_io_) return -1;
  const size_t waiting = std::min<size_t>(chunk_ ? std::min(out_.size(), chunk_) : out_.size(), 0xFFFF);
  unsigned address = reg;
  size_t taken = 0;
  for (uint16_t i = 0; i < length; ++i) {
    if (address == 0xFD) buf[i] = uint8_t(waiting >> 8);
    else if (address == 0xFE) buf[i] = uint8_t(waiting);
    else if (address == 0xFF) buf[i] = taken < out_.size() ? out_[taken++] : 0xFF;
    else buf[i] = 0;
    if (address < 0xFF) ++address;
  }
  out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(taken));
  return length;
}

int UbloxReceiver::write(const uint8_t* buf, uint16_t length) {
  std::vector<Command> arrived;
  {
    std::lock_guard lock(mutex_);
    if (fail_io_) return -1;
    writes_.emplace_back(buf, buf + length);
    in_.insert(in_.end(), buf, buf + length);
    // Frames out of the accumulated bytes; anything before a sync is noise.
    for (;;) {
      size_t s = 0;
      while (s + 1 < in_.size() && !(in_[s] == 0xB5 && in_[s + 1] == 0x62)) ++s;
      in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(s));
      if (in_.size() < 6) break;
      const size_t len = in_[4] | size_t(in_[5]) << 8;
      if (in_.size() < len + 8) break;
      uint8_t a = 0, b = 0;
      for (size_t i = 2; i < len + 6; ++i) a = uint8_t(a + in_[i]), b = uint8_t(b + a);
      if (a == in_[len + 6] && b == in_[len + 7]) {
        arrived.push_back({in_[2], in_[3], std::vector<uint8_t>(in_.begin() + 6, in_.begin() + 6 + long(len))});
        commands_.push_back(arrived.back());
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(len + 8));
      } else {
        ++bad_frames_;
        in_.erase(in_.begin(), in_.begin() + 2);
      }
    }
  }
  for (const auto& c : arrived) handle(c);
  return length;
}

bool UbloxReceiver::nmea_on() const {
  const auto it = config_.find({0x00, 0});
  const auto& prt = it != config_.end() ? it->second : default_prt(0);
  return prt[14] & 0x02;
}

void UbloxReceiver::emit(std::vector<uint8_t> bytes) {
  if (answer_ == Answer::kSilent) return;
  if (answer_ == Answer::kGarbage) {
    for (auto& b : bytes) {
      garbage_seed_ = garbage_seed_ * 1103515245u + 12345u;
      b = uint8_t(garbage_seed_ >> 16);
      if (b == 0xB5) b = 0x35;
    }
  }
  if (answer_ == Answer::kBadChecksum && bytes.size() >= 8) bytes.back() ^= 0x5A;
  if (nmea_on()) {
    const std::string text = nmea_rmc(1700000000, 0, 48.1173, 11.516667) +
                             nmea_gga(1700000000, 0, 48.1173, 11.516667, 545, 8) +
                             nmea_rmc(1700000001, 0, 48.1173, 11.516667) +
                             nmea_gga(1700000001, 0, 48.1173, 11.516667, 545, 8);
    out_.insert(out_.end(), text.begin(), text.end());
  }
  out_.insert(out_.end(), bytes.begin(), bytes.end());
}

void UbloxReceiver::answer(uint8_t msg_class, uint8_t msg_id, const std::vector<uint8_t>& payload) {
  emit(frame(msg_class, msg_id, payload));
}

void UbloxReceiver::ack(uint8_t msg_class, uint8_t msg_id, bool positive) {
  emit(frame(0x05, positive ? 0x01 : 0x00, {msg_class, msg_id}));
}

void UbloxReceiver::handle(const Command& c) {
  const std::vector<uint8_t>& p = c.payload;
  std::unique_lock lock(mutex_);
  for (const auto& n : naks_) {
    if (n.first == c.msg_class && n.second == c.msg_id) {
      ack(c.msg_class, c.msg_id, false);
      return;
    }
  }
  if (c.msg_class == 0x01 && c.msg_id == 0x02 && p.empty()) {
    std::vector<uint8_t> pos(28, 0);
    auto put32 = [&](size_t at, int32_t v) {
      for (int i = 0; i < 4; ++i) pos[at + size_t(i)] = uint8_t(uint32_t(v) >> (8 * i));
    };
    put32(4, lon_e7_);
    put32(8, lat_e7_);
    put32(12, height_mm_);
    answer(0x01, 0x02, pos);
    return;
  }
  if (c.msg_class != kCfg) return;
  // Poll lengths and set lengths of the configuration messages modelled.
  struct Shape {
    uint8_t id;
    size_t poll_len;
    size_t set_len;
  };
  static constexpr Shape kShapes[] = {{0x00, 1, 20}, {0x01, 2, 8}, {0x02, 1, 10}, {0x24, 0, 36}, {0x31, 0, 32}};
  for (const auto& s : kShapes) {
    if (s.id != c.msg_id) continue;
    uint16_t selector = 0;
    if (s.id == 0x00 || s.id == 0x02) selector = p.empty() ? 0 : p[0];
    if (s.id == 0x01 && p.size() >= 2) selector = uint16_t(p[0] << 8 | p[1]);
    if (p.size() == s.poll_len) {
      lock.unlock();
      const std::vector<uint8_t> current = config(s.id, selector);
      lock.lock();
      answer(kCfg, s.id, current);
      ack(kCfg, s.id, true);
    } else if (p.size() == s.set_len || (s.id == 0x01 && p.size() == 3)) {
      std::vector<uint8_t> stored = p;
      if (s.id == 0x01 && p.size() == 3) stored = {p[0], p[1], p[2], p[2], p[2], p[2], p[2], p[2]};
      config_[{s.id, selector}] = stored;
      ack(kCfg, s.id, true);
    } else {
      ack(kCfg, s.id, false);
    }
    return;
  }
  switch (c.msg_id) {
    case 0x04: return;  // CFG-RST: the module resets instead of answering
    case 0x08:
    case 0x09:
    case 0x16:
      config_[{c.msg_id, 0}] = p;
      ack(kCfg, c.msg_id, true);
      return;
    default: ack(kCfg, c.msg_id, false);
  }
}

std::string nmea_rmc(time_t utc, int centiseconds, double lat, double lon) {
  struct tm tm {};
  gmtime_r(&utc, &tm);
  char date[40];
  std::snprintf(date, sizeof date, "%02d%02d%02d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year % 100);
  return nmea_checksummed("GPRMC," + nmea_time(utc, centiseconds) + ",A," + nmea_angle(lat, true) + "," +
                          nmea_angle(lon, false) + ",0.004,77.52," + date + ",,,A");
}

std::string nmea_gga(time_t utc, int centiseconds, double lat, double lon, int altitude_m, int satellites) {
  char tail[64];
  std::snprintf(tail, sizeof tail, ",1,%02d,0.93,%d.0,M,47.0,M,,", satellites, altitude_m);
  return nmea_checksummed("GPGGA," + nmea_time(utc, centiseconds) + "," + nmea_angle(lat, true) + "," +
                          nmea_angle(lon, false) + tail);
}

void write_position_file(Sandbox& sandbox, bool locked, double lat, double lon, int altitude_m) {
  auto word = [](double v, bool latitude) {
    const double a = std::fabs(v);
    const int degrees = static_cast<int>(a);
    char buf[32];
    std::snprintf(buf, sizeof buf, latitude ? "%02d%07.4f%c" : "%03d%07.4f%c", degrees, (a - degrees) * 60.0,
                  latitude ? (v < 0 ? 'S' : 'N') : (v < 0 ? 'W' : 'E'));
    return std::string(buf);
  };
  sandbox.write_file("/tmp/position", std::string("fix ") + (locked ? "yes" : "no") + "\nlat " + word(lat, true) +
                                          "\nlon " + word(lon, false) + "\nalt " + std::to_string(altitude_m) + "\n");
}

}  // namespace crx::sim
