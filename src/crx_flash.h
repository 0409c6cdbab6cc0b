// Storage of the commissioning database image: an MTD partition named
// "SPINOR.commission" when the kernel has one, else the raw SPI NOR chip on
// "/dev/spidev1.0" from byte 0x300000 on. The exported Ldd* functions (in
// crx.h) read, write and erase byte ranges relative to the start of that area.
#pragma once

#include <cstdint>

namespace crx::flash {

// Geometry of the area, rewritten by every probe.
struct FlashInfo {
  char type[7];  // "NOR", "NAND" or "unk" on MTD; empty on raw SPI
  bool isMtd;
  uint32_t size;        // partition size (MTD) or whole chip (raw SPI)
  uint32_t pageSize;    // programming unit
  uint32_t sectorSize;  // erase unit
};

// The geometry found by the last probe (all zero before the first).
const FlashInfo& info();

// Where the commissioning area starts on a raw SPI chip.
inline constexpr uint32_t kRawAreaStart = 0x300000;

// Bytes of the commissioning area by the last probe (0 before it).
inline uint32_t area_size() {
  const FlashInfo& i = info();
  if (i.isMtd) return i.size;
  return i.size > kRawAreaStart ? i.size - kRawAreaStart : 0;
}

}  // namespace crx::flash
