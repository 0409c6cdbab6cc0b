// The gateway side of the UDP packet-forwarder protocol, version 2: datagram
// headers, the JSON of uplinks ("rxpk"), statistics ("stat") and downlink
// acknowledgements ("txpk_ack"), and the parsing of a downlink request
// ("txpk") into a transmit record. Pure functions: no sockets, no clock,
// no board; the caller hands in what it read from the library.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "crx.h"

namespace crxfwd {

inline constexpr uint8_t kProtocolVersion = 2;

enum class Type : uint8_t {
  kPushData = 0x00,
  kPushAck = 0x01,
  kPullData = 0x02,
  kPullResp = 0x03,
  kPullAck = 0x04,
  kTxAck = 0x05,
};

struct Header {
  uint8_t version = 0;
  uint16_t token = 0;  // bytes 1-2 as they travel (byte 1 high)
  uint8_t type = 0;
};

// The first four bytes; nothing for a datagram shorter than that.
std::optional<Header> parse_header(std::span<const uint8_t> datagram);

// Header (version 2, token, type), then the gateway EUI most significant
// byte first, then `json` when not empty.
std::vector<uint8_t> make_datagram(Type type, uint16_t token, uint64_t gateway_eui, const std::string& json = {});

// ---- uplinks ----

// What the caller found out about a packet's time (from the library's time
// reference), and which fields the configuration asks for.
struct RxTime {
  bool utc_valid = false;
  int64_t utc_sec = 0;
  uint32_t utc_nsec = 0;
  bool gps_valid = false;
  uint64_t gps_ms = 0;  // since 1980-01-06
};

struct RxOptions {
  bool multi_antenna = false;
};

// One "rxpk" object, without the surrounding array. False when the packet
// cannot be described (unknown modulation or bandwidth, payload that does
// not encode): it is then not forwarded.
bool rxpk_json(const crx_rx_pkt_t& pkt, const RxTime& time, const RxOptions& options, std::string& out);

// {"rxpk":[...]} of entries made by rxpk_json.
std::string push_rxpk(const std::vector<std::string>& entries);

// ---- statistics ----

struct Stat {
  int64_t utc_sec = 0;
  bool position_valid = false;
  double lat = 0, lon = 0;
  int alt = 0;
  uint32_t rxnb = 0, rxok = 0, rxfw = 0;
  double ackr = 0;  // percent
  uint32_t dwnb = 0, txnb = 0;
};

std::string push_stat(const Stat& stat);

// ---- downlinks ----

enum class TxError { kNone, kTooLate, kTooEarly, kCollisionPacket, kTxFreq, kTxPower, kGpsUnlocked };

const char* tx_error_name(TxError e);
// {"txpk_ack":{"error":"..."}}
std::string tx_ack_json(TxError e);

enum class Timing { kImmediate, kCounter, kGps };

// A downlink request as the server made it: the transmit record (tx_mode
// left to the caller: it depends on the timing) and how it is timed.
struct TxRequest {
  crx_tx_pkt_t pkt{};
  Timing timing = Timing::kImmediate;
  uint32_t tmst = 0;
  uint64_t tmms = 0;  // GPS ms
  int rfch = 0;       // the server's chain, a hint on split-band boards
};

// A request that cannot be sent: the error the TX_ACK carries and the
// field it is about (for the log line). Empty `field` and kNone for a
// datagram that is not a request at all (it is dropped, not answered).
struct TxParseError {
  TxError error = TxError::kNone;
  std::string field;
  std::string reason;
};

// Parses the JSON part of a PULL_RESP. Returns true with `out` filled, or
// false with `err`: err.error is kNone when the text is not a "txpk"
// request at all.
bool parse_txpk(std::span<const uint8_t> json, TxRequest& out, TxParseError& err);

// Strict Base64 check before the library's codec, which ends the process
// on a character outside its alphabet: alphabet characters, then at most
// two "=" to a multiple of four. Decodes into `out`; false when the text
// is not Base64 or decodes to more than `max` bytes.
bool decode_base64(const std::string& text, std::vector<uint8_t>& out, size_t max);

// Formats used on the wire, exposed for the tests.
std::string format_utc_compact(int64_t sec, uint32_t nsec);  // 2026-03-31T16:21:17.528002Z
std::string format_stat_time(int64_t sec);                    // 2026-12-09 19:30:00 GMT
std::string datr_lora(uint32_t datarate, uint32_t bandwidth); // SF7BW125, empty when unknown

}  // namespace crxfwd
