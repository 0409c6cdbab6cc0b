// The SX1272/SX1276 side radio of the Wren boards: a receive-only FSK
// radio used to measure channel energy. Register access goes through the
// hooks the Wren bus fills in sx127x_cfg and is guarded between processes
// by the named semaphore "/sx127x_in_use". The exported calls are in crx.h.
#pragma once

#include <cstdint>

namespace crx::radio {

inline constexpr int32_t kSx1272 = 1;
inline constexpr int32_t kSx1276 = 2;
inline constexpr uint8_t kSx127xFsk = 2;  // the modulation code sx127x_setup accepts

// Holds "/sx127x_in_use" for a sequence of this thread: a retune and the
// measurement that follows, so that no other process or thread retunes the
// side radio in between. The holder's own register accesses do not wait on
// the guard again; taking it again while holding is a no-op. 0, -1 when
// the semaphore cannot be opened (logged in `who`'s name), -2 when another
// holder kept it past the wait's bound. Released by release_guard (from
// the holding thread; nothing otherwise).
int hold_guard(const char* who);
void release_guard();
bool guard_held();

// The three Frf bytes of a carrier frequency (32 MHz crystal, 2^19 steps).
uint32_t sx127x_frf(uint32_t freq_hz);
// RegRxBw of a bandwidth index (0-20).
uint8_t sx127x_rx_bw_reg(uint32_t index);
// RegRssiConfig: smoothing code 5 and the offset in the upper 5 bits.
uint8_t sx127x_rssi_config(int8_t offset_db);

}  // namespace crx::radio
