// libFuzzer target: the NMEA sentence classifier and the RMC and GGA
// parsers on arbitrary bytes, as the buffer they were given (with and
// without a terminating NUL). Nothing may be read or written outside it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "crx.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  for (bool terminated : {false, true}) {
    const size_t n = size + (terminated ? 1 : 0);
    // An exact-size heap copy, so the sanitizer sees any overrun.
    std::unique_ptr<char[]> buf(new char[n ? n : 1]);
    if (size) std::memcpy(buf.get(), data, size);
    if (terminated) buf[size] = '\0';
    uint32_t type = 0;
    const int t = crx_get_nmea_type(buf.get(), static_cast<unsigned>(n), &type);
    if (t == 0 && (type == 1 || type == 2 || type == 3 || type > 14)) std::abort();
    struct timespec utc {};
    crx_coord_t coord{};
    const int r = crx_parse_rmc(buf.get(), static_cast<unsigned>(n), &utc, &coord);
    if (r == 0 && (utc.tv_nsec < 0 || utc.tv_nsec > 999999999)) std::abort();
    if (size) std::memcpy(buf.get(), data, size);
    uint32_t sats = 0;
    float hdop = 0;
    crx_parse_gga(buf.get(), static_cast<unsigned>(n), &coord, &sats, &hdop);
  }
  return 0;
}
