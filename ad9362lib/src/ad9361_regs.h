// Registers and bits of the AD9361 that this driver touches.
//
// Where the values come from:
// - From the public register map (the AD9361 reference manual UG-671 and
//   the data sheet), as recalled without the manual at hand:
//     0x000 SPI configuration, soft reset bit 7 with its mirror bit 0;
//     0x002 / 0x003 TX and RX enable, channel 2 in bit 7 and channel 1 in bit 6;
//     0x005 RF synthesizer VCO dividers, TX in bits 7:4 and RX in bits 3:0,
//           the LO being VCO / 2^(n+1) with the VCO between 6 and 12 GHz;
//     0x009 clock enable, digital power-up bit 4 and BBPLL enable bit 2;
//     0x00A BBPLL output divider, bits 2:0;
//     0x013 ENSM mode, FDD bit 0; 0x014 ENSM configuration (to-alert bit 0,
//           force-alert bit 2, force-TX-on bit 5); 0x015 ENSM configuration 2,
//           dual-synthesizer bit 2; 0x017 ENSM state in bits 3:0 (5 alert,
//           10 FDD);
//     0x016 calibration control, start bits that clear themselves when the
//           calibration is done: RX baseband filter tune bit 7, TX baseband
//           filter tune bit 6, baseband DC bit 0;
//     0x037 product ID, product in bits 7:3 (1 for the AD9361), revision 2:0;
//     0x041-0x043 BBPLL fractional word (21 bits, modulus 2088960),
//           0x044 BBPLL integer word, 0x045 reference scaler bits 1:0;
//     0x05E BBPLL lock, bit 7;
//     0x073/0x074 and 0x075/0x076 TX1 and TX2 attenuation, 9 bits in
//           0.25 dB steps (0 to 89.75 dB);
//     0x0D6/0x0D7 TX baseband filter tune divider (9 bits);
//     0x0FA gain control mode, RX1 in bits 1:0 and RX2 in bits 3:2 (0 manual);
//     0x109 / 0x10C RX1 / RX2 manual gain index, bits 6:0;
//     0x1F8/0x1F9 RX baseband filter tune divider (9 bits);
//     0x231-0x235 RX synthesizer integer (11 bits) and fractional (23 bits,
//           modulus 8388593) words, 0x23D bit 2 charge-pump calibration
//           enable, 0x244 bit 7 charge-pump calibration valid, 0x247 bit 1
//           RX synthesizer lock; 0x271-0x275, 0x27D, 0x284, 0x287 the same
//           for the TX synthesizer.
//   Any of these that differs on a real part must be mended here only.
// - Own choices, not from the register map: the 40 MHz reference, the BBPLL
//   rate of 983.04 MHz and its ADC divider, the order in which words are
//   written (fractional first, the integer high byte last), every poll count
//   and interval, the filter tune divider formula's constants, the gain
//   index mapping (1 dB per index from 0 dB), and the bring-up order.
#pragma once

#include <cstdint>

namespace crx::ad9361::reg {

inline constexpr uint16_t kSpiConfig = 0x000;
inline constexpr uint8_t kSoftReset = 0x81;

inline constexpr uint16_t kTxEnable = 0x002;
inline constexpr uint16_t kRxEnable = 0x003;
inline constexpr uint8_t kChannel1Enable = 0x40;
inline constexpr uint8_t kChannel2Enable = 0x80;

inline constexpr uint16_t kVcoDividers = 0x005;
inline constexpr uint8_t kTxDividerMask = 0xF0;
inline constexpr uint8_t kRxDividerMask = 0x0F;

inline constexpr uint16_t kClockEnable = 0x009;
inline constexpr uint8_t kDigitalPowerUp = 0x10;
inline constexpr uint8_t kBbpllEnable = 0x04;
inline constexpr uint16_t kBbpllDivider = 0x00A;

inline constexpr uint16_t kEnsmMode = 0x013;
inline constexpr uint8_t kFddMode = 0x01;
inline constexpr uint16_t kEnsmConfig1 = 0x014;
inline constexpr uint8_t kToAlert = 0x01;
inline constexpr uint8_t kForceTxOn = 0x20;
inline constexpr uint16_t kEnsmConfig2 = 0x015;
inline constexpr uint8_t kDualSynth = 0x04;
inline constexpr uint16_t kEnsmState = 0x017;
inline constexpr uint8_t kStateMask = 0x0F;
inline constexpr uint8_t kStateAlert = 0x05;
inline constexpr uint8_t kStateFdd = 0x0A;

inline constexpr uint16_t kCalControl = 0x016;
inline constexpr uint8_t kRxBbTune = 0x80;
inline constexpr uint8_t kTxBbTune = 0x40;
inline constexpr uint8_t kBbDcCal = 0x01;

inline constexpr uint16_t kProductId = 0x037;
inline constexpr uint8_t kProductMask = 0xF8;
inline constexpr uint8_t kProductAd9361 = 0x08;

inline constexpr uint16_t kBbpllFrac2 = 0x041;  // bits 4:0, the word's top bits
inline constexpr uint16_t kBbpllFrac1 = 0x042;
inline constexpr uint16_t kBbpllFrac0 = 0x043;
inline constexpr uint16_t kBbpllInteger = 0x044;
inline constexpr uint16_t kRefScaler = 0x045;
inline constexpr uint32_t kBbpllModulus = 2088960;
inline constexpr uint16_t kBbpllStatus = 0x05E;
inline constexpr uint8_t kBbpllLock = 0x80;

inline constexpr uint16_t kTx1Atten0 = 0x073;
inline constexpr uint16_t kTx1Atten1 = 0x074;
inline constexpr uint16_t kTx2Atten0 = 0x075;
inline constexpr uint16_t kTx2Atten1 = 0x076;
inline constexpr uint32_t kMaxAttenSteps = 359;  // 89.75 dB

inline constexpr uint16_t kTxBbfDivider0 = 0x0D6;
inline constexpr uint16_t kTxBbfDivider1 = 0x0D7;
inline constexpr uint16_t kRxBbfDivider0 = 0x1F8;
inline constexpr uint16_t kRxBbfDivider1 = 0x1F9;

inline constexpr uint16_t kGainControlMode = 0x0FA;
inline constexpr uint8_t kGainModeMask = 0x0F;
inline constexpr uint16_t kRx1ManualGain = 0x109;
inline constexpr uint16_t kRx2ManualGain = 0x10C;
inline constexpr uint8_t kGainIndexMask = 0x7F;

// One synthesizer's registers; the TX block sits 0x40 above the RX block.
struct Synth {
  uint16_t integer0;
  uint16_t integer1;  // bits 2:0
  uint16_t frac0;
  uint16_t frac1;
  uint16_t frac2;     // bits 6:0
  uint16_t cp_config; // bit 2 starts the charge-pump calibration
  uint16_t cp_status; // bit 7 once the calibration is valid
  uint16_t lock;      // bit 1 while locked
};
inline constexpr Synth kRxSynth{0x231, 0x232, 0x233, 0x234, 0x235, 0x23D, 0x244, 0x247};
inline constexpr Synth kTxSynth{0x271, 0x272, 0x273, 0x274, 0x275, 0x27D, 0x284, 0x287};
inline constexpr uint8_t kCpCalEnable = 0x04;
inline constexpr uint8_t kCpCalValid = 0x80;
inline constexpr uint8_t kSynthLocked = 0x02;
inline constexpr uint32_t kRfpllModulus = 8388593;

}  // namespace crx::ad9361::reg
