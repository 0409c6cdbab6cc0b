// Table-driven CRC-16s: one 16-bit table for the MSB-first GENIBUS CRC, and
// the two byte tables (high and low half of each entry) of the reflected
// Modbus CRC that RF v3 uses.
#include "meter/crc16.h"

#include <array>

#include "crx.h"

namespace crx::meter {
namespace {

constexpr std::array<uint16_t, 256> make_msb_first_table(uint16_t poly) {
  std::array<uint16_t, 256> table{};
  for (unsigned v = 0; v < 256; ++v) {
    uint16_t r = uint16_t(v << 8);
    for (int b = 0; b < 8; ++b) r = uint16_t((r & 0x8000) ? (r << 1) ^ poly : r << 1);
    table[v] = r;
  }
  return table;
}

// Entry v of the reflected table, split into its two bytes.
constexpr std::array<uint8_t, 256> make_reflected_half(uint16_t poly, bool high) {
  std::array<uint8_t, 256> half{};
  for (unsigned v = 0; v < 256; ++v) {
    uint16_t r = uint16_t(v);
    for (int b = 0; b < 8; ++b) r = uint16_t((r & 1) ? (r >> 1) ^ poly : r >> 1);
    half[v] = uint8_t(high ? r >> 8 : r);
  }
  return half;
}

constexpr auto kGenibus = make_msb_first_table(0x1021);
constexpr auto kModbusHigh = make_reflected_half(0xA001, true);
constexpr auto kModbusLow = make_reflected_half(0xA001, false);

}  // namespace

uint16_t crc16_genibus(std::span<const uint8_t> bytes) {
  uint16_t crc = 0xFFFF;
  for (uint8_t b : bytes) crc = uint16_t((crc << 8) ^ kGenibus[uint8_t((crc >> 8) ^ b)]);
  return uint16_t(~crc);
}

}  // namespace crx::meter

using crx::meter::kModbusHigh;
using crx::meter::kModbusLow;

extern "C" {

// The value handed around is the Modbus register with its bytes swapped:
// its high byte is the register's low byte, the one each step indexes by.
uint16_t crc16CalculatePartial(const uint8_t* data, uint32_t length, uint16_t start) {
  if (!data || length == 0) return start;
  uint8_t low = uint8_t(start >> 8);  // the Modbus register's low byte
  uint8_t high = uint8_t(start);
  for (uint32_t i = 0; i < length; ++i) {
    const uint8_t index = low ^ data[i];
    low = high ^ kModbusLow[index];
    high = kModbusHigh[index];
  }
  return uint16_t(low << 8 | high);
}

uint16_t crc16Calculate(const uint8_t* data, uint32_t length) {
  return crc16CalculatePartial(data, length, 0xFFFF);
}

}  // extern "C"
