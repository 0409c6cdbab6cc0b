// libFuzzer target: the position file "/tmp/position" with arbitrary
// content, read both as a position and as the lock word.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "crx.h"
#include "gps/gps_internal.h"
#include "fuzz_sandbox.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  crx::fuzz::sandbox();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  crx::fuzz::sandbox().write_file("/tmp/position", std::string(reinterpret_cast<const char*>(data), size));
  crx_coord_t coord{};
  if (crx_get_gps_position(&coord) != 0) std::abort();
  const bool locked = crx::gps::gps_lock_word();
  if (!locked && (coord.lat != 0 || coord.lon != 0 || coord.alt != 0)) std::abort();
  return 0;
}
