// The two CRC-16s of the meter receivers: SCM+ frames carry CRC-16/GENIBUS
// (polynomial 0x1021, start 0xFFFF, not reflected, result inverted); RF v3
// messages the Modbus CRC with its bytes swapped (crc16Calculate in crx.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace crx::meter {

uint16_t crc16_genibus(std::span<const uint8_t> bytes);

}  // namespace crx::meter
