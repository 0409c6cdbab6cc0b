// Register rows the receive and transmit paths name, by their row in the
// library's tables (chip rows unless prefixed BRD_).
#pragma once

#include <cstdint>

namespace crx::rxtx_rows {

inline constexpr int kRxDataBuffer = 4;    // burst source: payload then 16 metadata bytes
inline constexpr int kTxBufferAddress = 5; // start address of the next TX buffer write
inline constexpr int kTxBufferData = 6;    // burst target: metadata then payload
inline constexpr int kRxFifoStatus = 11;   // 5 status bytes; writing 0 pops the head entry
inline constexpr int kTxTrigImmediate = 180;
inline constexpr int kTxTrigDelayed = 181;
inline constexpr int kTxTrigGps = 182;
inline constexpr int kTxStartDelay = 183;  // lead of the GPS trigger, µs
inline constexpr int kTxStatus = 225;
inline constexpr int kTxCommand = 325;     // the three trigger bits as one byte

inline constexpr int BRD_TX_IF_C0_K0 = 203;
inline constexpr int BRD_TX_IF_C0_K1 = 204;
inline constexpr int BRD_TX_IF_C1_K0 = 245;
inline constexpr int BRD_TX_IF_C1_K1 = 246;
inline constexpr int BRD_PLOVER933_TX = 298;
inline constexpr int BRD_TX_BW_C0 = 303;
inline constexpr int BRD_TX_BW_C1 = 304;
inline constexpr int BRD_LBT_MAX_HOLD = 375;
inline constexpr int BRD_HS_LO_LOCK = 380;

}  // namespace crx::rxtx_rows
