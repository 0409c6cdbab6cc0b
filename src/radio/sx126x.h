// The SX126x side radio of the outdoor Wren and of variant-1 boards: the
// vendor's command set (opcode, parameters, optional response after a
// status byte) on the side-radio port, with the BUSY line (GPIO 48) checked
// before every transfer. The exported calls (sx126x_*) are in crx.h; this
// header holds the word conversions, which have no I/O, and the bandwidth
// codes other modules choose from.
#pragma once

#include <cstdint>
#include <optional>

#include "crx.h"

namespace crx::radio {

// Opcodes.
inline constexpr uint8_t kSx126xGetStatus = 0xC0;
inline constexpr uint8_t kSx126xSetStandby = 0x80;
inline constexpr uint8_t kSx126xGetPacketType = 0x11;
inline constexpr uint8_t kSx126xSetPacketType = 0x8A;
inline constexpr uint8_t kSx126xSetRfFrequency = 0x86;
inline constexpr uint8_t kSx126xSetModulationParams = 0x8B;
inline constexpr uint8_t kSx126xSetPacketParams = 0x8C;
inline constexpr uint8_t kSx126xSetBufferBaseAddress = 0x8F;
inline constexpr uint8_t kSx126xSetRx = 0x82;
inline constexpr uint8_t kSx126xSetTx = 0x83;
inline constexpr uint8_t kSx126xStopTimerOnPreamble = 0x9F;
inline constexpr uint8_t kSx126xSetDioIrqParams = 0x08;
inline constexpr uint8_t kSx126xGetIrqStatus = 0x12;
inline constexpr uint8_t kSx126xClearIrqStatus = 0x02;
inline constexpr uint8_t kSx126xGetRxBufferStatus = 0x13;
inline constexpr uint8_t kSx126xGetRssiInst = 0x15;
inline constexpr uint8_t kSx126xWriteRegister = 0x0D;
inline constexpr uint8_t kSx126xReadRegister = 0x1D;
inline constexpr uint8_t kSx126xWriteBuffer = 0x0E;
inline constexpr uint8_t kSx126xReadBuffer = 0x1E;

// Chip modes as GetStatus reports them in bits 6-4.
inline constexpr uint8_t kSx126xModeStandbyRc = 2;
inline constexpr uint8_t kSx126xModeStandbyXosc = 3;
inline constexpr uint8_t kSx126xModeFs = 4;
inline constexpr uint8_t kSx126xModeRx = 5;
inline constexpr uint8_t kSx126xModeTx = 6;

// Largest transfer (command and response) the driver sends.
inline constexpr uint32_t kSx126xMaxTransfer = 260;
// Longest the driver waits for BUSY to drop before it gives up on a
// transfer; the chip's own worst case (leaving sleep) is well below.
inline constexpr int kSx126xBusyWaitUs = 10000;

// RxBw codes the spectral scan uses.
inline constexpr uint8_t kSx126xRxBw58k6 = 12;
inline constexpr uint8_t kSx126xRxBw234k3 = 10;

// RF frequency word: Hz / (32 MHz / 2^25).
uint32_t sx126x_freq_word(uint32_t freq_hz);
// GFSK bit-rate word: 32 x 32 MHz / bit rate (0 for a bit rate of 0).
uint32_t sx126x_bitrate_word(uint32_t bit_rate);
// GFSK deviation word: deviation x 2^25 / 32 MHz.
uint32_t sx126x_fdev_word(uint32_t fdev_hz);
// Time-out word in units of 15.625 us; continuous stays 0xFFFFFF; nothing
// for a time-out above the largest the 24-bit field holds.
std::optional<uint32_t> sx126x_timeout_word(uint32_t timeout_ms);

// The chip's GFSK receive bandwidths: RxBw code and double-sided
// bandwidth in Hz, ascending.
struct Sx126xRxBw {
  uint8_t code;
  uint32_t bandwidth_hz;
};
inline constexpr Sx126xRxBw kSx126xRxBandwidths[] = {
    {0x1F, 4800},   {0x17, 5800},   {0x0F, 7300},   {0x1E, 9700},   {0x16, 11700},  {0x0E, 14600},
    {0x1D, 19500},  {0x15, 23400},  {0x0D, 29300},  {0x1C, 39000},  {0x14, 46900},  {0x0C, 58600},
    {0x1B, 78200},  {0x13, 93800},  {0x0B, 117300}, {0x1A, 156200}, {0x12, 187200}, {0x0A, 234300},
    {0x19, 312000}, {0x11, 373600}, {0x09, 467000},
};
// The code whose bandwidth is nearest to bandwidth_hz (the lower one on a
// tie).
uint8_t sx126x_rx_bw_code_nearest(uint32_t bandwidth_hz);
// Bandwidth in Hz of an RxBw code; 0 for a code the chip does not have.
uint32_t sx126x_rx_bw_hz(uint8_t code);

}  // namespace crx::radio
