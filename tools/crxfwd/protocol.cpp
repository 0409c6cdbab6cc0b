#include "protocol.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include <nlohmann/json.hpp>

namespace crxfwd {

namespace {

using Json = nlohmann::json;

void append(std::string& s, const char* fmt, auto... args) {
  char buf[160];
  const int n = std::snprintf(buf, sizeof buf, fmt, args...);
  if (n > 0) s.append(buf, size_t(std::min<int>(n, int(sizeof buf) - 1)));
}

int sf_of(uint32_t datarate) {
  switch (datarate) {
    case DR_LORA_SF7: return 7;
    case DR_LORA_SF8: return 8;
    case DR_LORA_SF9: return 9;
    case DR_LORA_SF10: return 10;
    case DR_LORA_SF11: return 11;
    case DR_LORA_SF12: return 12;
    default: return 0;
  }
}

int bw_khz(uint32_t bandwidth) {
  switch (bandwidth) {
    case BW_500KHZ: return 500;
    case BW_250KHZ: return 250;
    case BW_125KHZ: return 125;
    default: return 0;
  }
}

// The reception the packet's top-level fields describe: the first antenna
// that heard it.
int first_valid(const crx_rx_pkt_t& p) {
  for (int i = 0; i < 8; ++i)
    if (p.rsig[i].valid) return i;
  return -1;
}

bool is_b64_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

TxParseError field_error(TxError e, const char* field, std::string reason) {
  return TxParseError{e, field, std::move(reason)};
}

}  // namespace

std::optional<Header> parse_header(std::span<const uint8_t> d) {
  if (d.size() < 4) return std::nullopt;
  return Header{d[0], uint16_t(d[1] << 8 | d[2]), d[3]};
}

std::vector<uint8_t> make_datagram(Type type, uint16_t token, uint64_t eui, const std::string& json) {
  std::vector<uint8_t> out{kProtocolVersion, uint8_t(token >> 8), uint8_t(token), uint8_t(type)};
  if (type == Type::kPushData || type == Type::kPullData || type == Type::kTxAck)
    for (int i = 7; i >= 0; --i) out.push_back(uint8_t(eui >> (8 * i)));
  out.insert(out.end(), json.begin(), json.end());
  return out;
}

std::string format_utc_compact(int64_t sec, uint32_t nsec) {
  const time_t t = time_t(sec);
  struct tm tm {};
  gmtime_r(&t, &tm);
  char buf[80];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06uZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, unsigned(nsec / 1000));
  return buf;
}

std::string format_stat_time(int64_t sec) {
  const time_t t = time_t(sec);
  struct tm tm {};
  gmtime_r(&t, &tm);
  char buf[40];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S GMT", &tm);
  return buf;
}

std::string datr_lora(uint32_t datarate, uint32_t bandwidth) {
  const int sf = sf_of(datarate), bw = bw_khz(bandwidth);
  if (!sf || !bw) return {};
  return "SF" + std::to_string(sf) + "BW" + std::to_string(bw);
}

bool rxpk_json(const crx_rx_pkt_t& p, const RxTime& time, const RxOptions& options, std::string& out) {
  out.clear();
  const int a = first_valid(p);
  const crx_rsig_t empty{};
  const crx_rsig_t& r = a >= 0 ? p.rsig[a] : empty;
  std::string datr, codr;
  if (p.modulation == MOD_LORA) {
    datr = datr_lora(p.datarate, p.bandwidth);
    if (datr.empty()) return false;
    if (p.coderate < CR_LORA_4_5 || p.coderate > CR_LORA_4_8) return false;
    codr = "4/" + std::to_string(4 + p.coderate);
  } else if (p.modulation != MOD_FSK) {
    return false;
  }
  char data[(CRX_PAYLOAD_MAX + 2) / 3 * 4 + 1];
  if (bin_to_b64(p.payload, p.size, data, int(sizeof data)) < 0) return false;

  out = "{";
  if (time.utc_valid) out += "\"time\":\"" + format_utc_compact(time.utc_sec, time.utc_nsec) + "\",";
  if (time.gps_valid) append(out, "\"tmms\":%llu,", static_cast<unsigned long long>(time.gps_ms));
  append(out, "\"tmst\":%u,", p.count_us);
  if (a >= 0 && r.fine_ts_flag) append(out, "\"ftime\":%u,", r.fine_ts_ns);
  append(out, "\"chan\":%u,\"rfch\":%d,\"brd\":0,\"freq\":%.6f,", unsigned(p.if_chain), a >= 0 ? a : 0,
         double(p.freq_hz) / 1e6);
  const int stat = p.status == STAT_CRC_OK ? 1 : p.status == STAT_CRC_BAD ? -1 : 0;
  append(out, "\"stat\":%d,", stat);
  if (p.modulation == MOD_LORA) {
    out += "\"modu\":\"LORA\",\"datr\":\"" + datr + "\",\"codr\":\"" + codr + "\",";
  } else {
    append(out, "\"modu\":\"FSK\",\"datr\":%u,", p.datarate);
  }
  append(out, "\"rssi\":%ld,", std::lround(double(r.rssi)));
  if (p.modulation == MOD_LORA) append(out, "\"lsnr\":%.1f,", double(r.snr));
  append(out, "\"size\":%u,\"data\":\"", unsigned(p.size));
  out += data;
  out += "\"";
  if (options.multi_antenna) {
    out += ",\"rsig\":[";
    bool first = true;
    for (int i = 0; i < 8; ++i) {
      const crx_rsig_t& s = p.rsig[i];
      if (!s.valid) continue;
      if (!first) out += ",";
      first = false;
      append(out, "{\"ant\":%d,\"chan\":%u,\"rssic\":%ld", i, unsigned(s.chan), std::lround(double(s.rssi)));
      if (p.modulation == MOD_LORA) append(out, ",\"lsnr\":%.1f", double(s.snr));
      if (s.fine_ts_flag) append(out, ",\"ftime\":%u", s.fine_ts_ns);
      out += "}";
    }
    out += "]";
  }
  out += "}";
  return true;
}

std::string push_rxpk(const std::vector<std::string>& entries) {
  std::string s = "{\"rxpk\":[";
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i) s += ",";
    s += entries[i];
  }
  return s + "]}";
}

std::string push_stat(const Stat& st) {
  std::string s = "{\"stat\":{\"time\":\"" + format_stat_time(st.utc_sec) + "\"";
  if (st.position_valid) append(s, ",\"lati\":%.5f,\"long\":%.5f,\"alti\":%d", st.lat, st.lon, st.alt);
  append(s, ",\"rxnb\":%u,\"rxok\":%u,\"rxfw\":%u,\"ackr\":%.1f,\"dwnb\":%u,\"txnb\":%u}}", st.rxnb, st.rxok, st.rxfw,
         st.ackr, st.dwnb, st.txnb);
  return s;
}

const char* tx_error_name(TxError e) {
  switch (e) {
    case TxError::kNone: return "NONE";
    case TxError::kTooLate: return "TOO_LATE";
    case TxError::kTooEarly: return "TOO_EARLY";
    case TxError::kCollisionPacket: return "COLLISION_PACKET";
    case TxError::kTxFreq: return "TX_FREQ";
    case TxError::kTxPower: return "TX_POWER";
    case TxError::kGpsUnlocked: return "GPS_UNLOCKED";
  }
  return "NONE";
}

std::string tx_ack_json(TxError e) { return std::string("{\"txpk_ack\":{\"error\":\"") + tx_error_name(e) + "\"}}"; }

bool decode_base64(const std::string& text, std::vector<uint8_t>& out, size_t max) {
  out.clear();
  size_t n = text.size();
  size_t pad = 0;
  while (n > 0 && text[n - 1] == '=' && pad < 2) --n, ++pad;
  if (pad && (n + pad) % 4 != 0) return false;
  if (n % 4 == 1) return false;
  for (size_t i = 0; i < n; ++i)
    if (!is_b64_char(text[i])) return false;
  const size_t bytes = n / 4 * 3 + (n % 4 ? n % 4 - 1 : 0);
  if (bytes > max) return false;
  if (n == 0) return true;
  out.resize(bytes);
  const int got = b64_to_bin_nopad(text.data(), int(n), out.data(), int(bytes));
  if (got < 0 || size_t(got) != bytes) return false;
  return true;
}

bool parse_txpk(std::span<const uint8_t> text, TxRequest& out, TxParseError& err) {
  err = {};
  const Json doc = Json::parse(text.begin(), text.end(), nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    err.reason = "not a JSON object";
    return false;
  }
  const auto it = doc.find("txpk");
  if (it == doc.end() || !it->is_object()) {
    err.reason = "no \"txpk\" object";
    return false;
  }
  const Json& t = *it;
  out = {};
  crx_init_tx_pkt(&out.pkt);
  crx_tx_pkt_t& p = out.pkt;

  // Timing: exactly one of the three ("imme": false counts as absent).
  const auto imme = t.find("imme"), tmst = t.find("tmst"), tmms = t.find("tmms");
  if (imme != t.end() && !imme->is_boolean()) return err = field_error(TxError::kTooLate, "imme", "not a boolean"), false;
  const bool now = imme != t.end() && imme->get<bool>();
  const int timings = int(now) + int(tmst != t.end()) + int(tmms != t.end());
  if (timings != 1)
    return err = field_error(TxError::kTooLate, "imme/tmst/tmms",
                             timings ? "more than one of them" : "none of them"), false;
  if (now) {
    out.timing = Timing::kImmediate;
  } else if (tmst != t.end()) {
    if (!tmst->is_number_unsigned() || tmst->get<uint64_t>() > 0xFFFFFFFFull)
      return err = field_error(TxError::kTooLate, "tmst", "not a 32-bit counter value"), false;
    out.timing = Timing::kCounter;
    out.tmst = uint32_t(tmst->get<uint64_t>());
  } else {
    if (!tmms->is_number_unsigned() || tmms->get<uint64_t>() > (1ull << 50))
      return err = field_error(TxError::kGpsUnlocked, "tmms", "not a GPS time in ms"), false;
    out.timing = Timing::kGps;
    out.tmms = tmms->get<uint64_t>();
  }

  const auto freq = t.find("freq");
  if (freq == t.end() || !freq->is_number()) return err = field_error(TxError::kTxFreq, "freq", "missing or not a number"), false;
  const double mhz = freq->get<double>();
  if (!(mhz >= 100.0 && mhz <= 1000.0)) return err = field_error(TxError::kTxFreq, "freq", "outside 100-1000 MHz"), false;
  p.freq_hz = uint32_t(std::llround(mhz * 1e6));

  if (const auto rf = t.find("rfch"); rf != t.end()) {
    if (!rf->is_number_unsigned() || rf->get<uint64_t>() > 1)
      return err = field_error(TxError::kTxFreq, "rfch", "not 0 or 1"), false;
    out.rfch = int(rf->get<uint64_t>());
  }
  p.rf_chain = uint8_t(out.rfch);

  const auto powe = t.find("powe");
  if (powe == t.end() || !powe->is_number())
    return err = field_error(TxError::kTxPower, "powe", "missing or not a number"), false;
  const double dbm = powe->get<double>();
  if (!(dbm >= -30.0 && dbm <= 40.0)) return err = field_error(TxError::kTxPower, "powe", "outside -30 to 40 dBm"), false;
  p.rf_power = float(dbm);

  const auto modu = t.find("modu");
  if (modu == t.end() || !modu->is_string()) return err = field_error(TxError::kTxFreq, "modu", "missing"), false;
  const std::string m = modu->get<std::string>();
  const auto datr = t.find("datr");
  if (m == "LORA") {
    p.modulation = MOD_LORA;
    unsigned sf = 0, bw = 0;
    char tail = 0;
    if (datr == t.end() || !datr->is_string() ||
        std::sscanf(datr->get<std::string>().c_str(), "SF%uBW%u%c", &sf, &bw, &tail) != 2 || sf < 7 || sf > 12 ||
        (bw != 125 && bw != 250 && bw != 500))
      return err = field_error(TxError::kTxFreq, "datr", "not SF7-SF12 at BW125, BW250 or BW500"), false;
    p.datarate = 0x02u << (sf - 7);
    p.bandwidth = bw == 500 ? BW_500KHZ : bw == 250 ? BW_250KHZ : BW_125KHZ;
    const auto codr = t.find("codr");
    const std::string cr = codr != t.end() && codr->is_string() ? codr->get<std::string>() : "";
    if (cr == "4/5") p.coderate = CR_LORA_4_5;
    else if (cr == "4/6" || cr == "2/3") p.coderate = CR_LORA_4_6;
    else if (cr == "4/7") p.coderate = CR_LORA_4_7;
    else if (cr == "4/8" || cr == "1/2") p.coderate = CR_LORA_4_8;
    else return err = field_error(TxError::kTxFreq, "codr", "not 4/5 to 4/8"), false;
    p.preamble = 8;
  } else if (m == "FSK") {
    p.modulation = MOD_FSK;
    if (datr == t.end() || !datr->is_number_unsigned() || datr->get<uint64_t>() < 500 || datr->get<uint64_t>() > 250000)
      return err = field_error(TxError::kTxFreq, "datr", "not a bit rate of 500 to 250000"), false;
    p.datarate = uint32_t(datr->get<uint64_t>());
    const auto fdev = t.find("fdev");
    if (fdev == t.end() || !fdev->is_number_unsigned() || fdev->get<uint64_t>() < 1000 ||
        fdev->get<uint64_t>() > 255000)
      return err = field_error(TxError::kTxFreq, "fdev", "not a deviation of 1000 to 255000 Hz"), false;
    p.f_dev = uint8_t(fdev->get<uint64_t>() / 1000);
    p.preamble = 5;
  } else {
    return err = field_error(TxError::kTxFreq, "modu", "neither LORA nor FSK"), false;
  }

  auto flag = [&](const char* key, bool& field) {
    const auto f = t.find(key);
    if (f == t.end()) return true;
    if (!f->is_boolean()) return false;
    field = f->get<bool>();
    return true;
  };
  if (!flag("ipol", p.invert_pol)) return err = field_error(TxError::kTxFreq, "ipol", "not a boolean"), false;
  if (!flag("ncrc", p.no_crc)) return err = field_error(TxError::kTxFreq, "ncrc", "not a boolean"), false;
  if (!flag("nhdr", p.no_header)) return err = field_error(TxError::kTxFreq, "nhdr", "not a boolean"), false;
  if (const auto prea = t.find("prea"); prea != t.end()) {
    if (!prea->is_number_unsigned() || prea->get<uint64_t>() > 65535)
      return err = field_error(TxError::kTxFreq, "prea", "not 0 to 65535"), false;
    p.preamble = uint16_t(prea->get<uint64_t>());
  }

  const auto data = t.find("data");
  if (data == t.end() || !data->is_string()) return err = field_error(TxError::kTxFreq, "data", "missing"), false;
  std::vector<uint8_t> bytes;
  if (!decode_base64(data->get<std::string>(), bytes, CRX_PAYLOAD_MAX))
    return err = field_error(TxError::kTxFreq, "data", "not Base64 of at most 255 bytes"), false;
  if (const auto size = t.find("size"); size != t.end()) {
    if (!size->is_number_unsigned() || size->get<uint64_t>() != bytes.size())
      return err = field_error(TxError::kTxFreq, "size", "does not match the data (" + std::to_string(bytes.size()) +
                                                             " bytes)"), false;
  }
  p.size = uint8_t(bytes.size());
  std::copy(bytes.begin(), bytes.end(), p.payload);
  return true;
}

}  // namespace crxfwd
