// Pieces of the GPS and time module shared between its files. Nothing here
// leaves the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "crx.h"

namespace crx::gps {

// ---- NMEA ----

// XOR of the characters between the leading "$" and the "*", compared with
// the two upper-case hex digits after it. True when they match.
bool nmea_checksum_ok(const char* sentence, unsigned length);

// Cuts the sentence into fields in place (commas become NULs) and records
// where each field starts. Returns the field count, or -1 when the sentence
// has no NUL inside `length` or more than `max_fields` fields.
int nmea_split(char* sentence, unsigned length, unsigned* starts, unsigned max_fields);

// The seconds field of a time word ("ss" or "ss.fff…") read exactly: the
// whole seconds and the nanoseconds of the fraction, truncated after the
// ninth digit. False when the text is not a plain decimal number.
bool parse_decimal_seconds(const char* text, long* whole, long* nanoseconds);

// ---- position file ----

inline constexpr char kPositionFile[] = "/tmp/position";

// True when the position file exists and its first line's second word
// begins with "yes".
bool gps_lock_word();

// ---- UBX ----

inline constexpr uint8_t kUbxSync1 = 0xB5;
inline constexpr uint8_t kUbxSync2 = 0x62;
inline constexpr size_t kUbxMaxPayload = 50;
inline constexpr size_t kUbxOverhead = 8;  // sync, class, id, length, checksum

// The message record: commands to send and messages received.
struct UbxMessage {
  uint16_t length;
  uint8_t msg_class;
  uint8_t msg_id;
  uint8_t unused[2];
  uint8_t payload[kUbxMaxPayload];
};
static_assert(sizeof(UbxMessage) == 56);

// Response wait modes and results.
enum UbxWait : uint8_t { kWaitBoth = 0, kWaitMessage = 1, kWaitAck = 2 };
enum UbxResult : int { kUbxReadFailed = -1, kUbxNothing = 0, kUbxOk = 1, kUbxNak = 2 };

// Builds a whole frame of `msg` into `out`; returns its size, or 0 when
// `out` is too small or the payload does not fit the record.
size_t ubx_build_frame(const UbxMessage& msg, std::span<uint8_t> out);

// Finds the next frame in `buf`. Returns 1 and fills `msg` for a complete
// frame with a good checksum; `consumed` is how far the caller may advance.
int get_ubx_frame(const uint8_t* buf, uint16_t len, uint16_t* consumed, UbxMessage* msg);

// Frames and writes one message through the configured write function.
int send_ubx_command(const UbxMessage* msg);

// Collects the answer to a command of `msg_class`/`msg_id`.
int get_ubx_response(uint8_t msg_class, uint8_t msg_id, uint8_t mode, UbxMessage* out);

// The configuration kept by crx_conf_gps.
const crx_gps_cfg_t& gps_cfg();

// The steps of crx_init_gps: 0, or -1 with code 36 or 37.
int configure_port();
int configure_sbas(uint8_t flag);
int configure_navigation(const crx_gps_cfg_t& cfg);
int configure_information();

}  // namespace crx::gps
