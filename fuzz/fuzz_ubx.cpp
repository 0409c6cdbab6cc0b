// libFuzzer target: the UBX receive path on whatever bytes a module may
// send (noise, NMEA text, partial frames, lengths above the record, bad
// checksums), delivered in chunks whose size the first byte chooses. The
// call must end within its time-outs and never write past the record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "crx.h"
#include "gps/gps_internal.h"
#include "fuzz_sandbox.h"
#include "sim/ublox.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  crx::fuzz::sandbox().set_fast_clock(true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 8192) return 0;
  crx::sim::UbloxReceiver gps;
  gps.set_answer(crx::sim::UbloxReceiver::Answer::kSilent);
  gps.set_chunk(data[0] % 64);
  crx_gps_cfg_t cfg{};
  gps.attach(cfg);
  crx_conf_gps(&cfg);
  for (uint8_t mode : {0, 1, 2}) {
    gps.push_output(std::vector<uint8_t>(data + 1, data + size));
    crx::gps::UbxMessage out{};
    const int r = crx::gps::get_ubx_response(0x06, 0x24, mode, &out);
    if (r < 0 || r > 2) std::abort();
    if (out.length > crx::gps::kUbxMaxPayload) std::abort();
  }
  // The frame finder over the same bytes, one frame at a time.
  size_t at = 1;
  while (at < size) {
    uint16_t consumed = 0;
    crx::gps::UbxMessage m{};
    crx::gps::get_ubx_frame(data + at, static_cast<uint16_t>(size - at), &consumed, &m);
    if (consumed == 0 || consumed > size - at || m.length > crx::gps::kUbxMaxPayload) std::abort();
    at += consumed;
  }
  crx::fuzz::sandbox().clear_logs();
  crx::fuzz::sandbox().clear_sleeps();
  return 0;
}
