// LoRaWAN 1.0.x frame security for the simulated devices: FRMPayload
// encryption and the MIC (AES-CMAC), through OpenSSL. Simulator only; the
// library never links it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace crx::sim::lorawan {

using Key = std::array<uint8_t, 16>;

struct DeviceKeys {
  uint64_t dev_eui = 0;
  uint32_t dev_addr = 0;
  Key nwk_skey{}, app_skey{}, app_key{};
};

// AES-CMAC (RFC 4493) of `data` under `key`.
std::array<uint8_t, 16> aes_cmac(const Key& key, const std::vector<uint8_t>& data);

// A data frame as the simulator builds it (MHDR, DevAddr, FCtrl without
// options, FCnt, FPort, plaintext FRMPayload, 4 MIC bytes) made real in
// place: DevAddr set to the device's, FRMPayload encrypted, MIC computed.
void seal_data_frame(std::vector<uint8_t>& frame, const DeviceKeys& keys, uint32_t fcnt);
// A join request (MHDR, JoinEUI, DevEUI, DevNonce, 4 MIC bytes): DevEUI set
// to the device's, MIC under the AppKey.
void seal_join_request(std::vector<uint8_t>& frame, const DeviceKeys& keys);

// Keys of device `index` when no file gives them (derived, printed at start).
DeviceKeys derived_keys(int index, uint64_t dev_eui, uint32_t dev_addr);
// "DEVEUI DEVADDR NWKSKEY APPSKEY APPKEY" in hex; false for another line.
bool parse_keys_line(const std::string& line, DeviceKeys& out);
std::string format_keys(const DeviceKeys& k);

}  // namespace crx::sim::lorawan
