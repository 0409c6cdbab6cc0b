// The SX126x side radio of the outdoor Wren and of variant-1 Wren boards on
// "/dev/spidev32766.4", from the wire's side: a message is one command, its
// first byte the opcode and its parameters after it; read commands answer
// the status byte in the byte after the opcode (GetStatus) or after their
// own arguments, and their data after that.
//
// Status byte: bits 6..4 the chip mode (2 standby RC, 3 standby crystal,
// 4 FS, 5 receive, 6 transmit), bits 3..1 the command status (2 data
// available, 3 time-out, 4 processing error, 5 failure to execute).
//
// Commands the model gives meaning to: GetStatus 0xC0, SetStandby 0x80,
// Get/SetPacketType 0x11/0x8A, SetRfFrequency 0x86 (steps of 32 MHz / 2^25),
// SetModulationParams 0x8B, SetPacketParams 0x8C, SetBufferBaseAddress 0x8F,
// SetRx 0x82 and SetTx 0x83 (24-bit time-out, 0xFFFFFF continuous),
// StopTimerOnPreamble 0x9F, SetDioIrqParams 0x08, GetIrqStatus 0x12,
// ClearIrqStatus 0x02, GetRxBufferStatus 0x13, GetRssiInst 0x15 (-2 x the
// level in dBm), Write/ReadRegister 0x0D/0x1D, Write/ReadBuffer 0x0E/0x1E.
// An unknown opcode answers "failure to execute".
//
// Its BUSY output (GPIO 48 on the board) reads high for a scripted number of
// reads once wired to the sysfs GPIO model (wire_sx126x_busy in boards.h);
// a message sent while BUSY would still read high is counted and ignored,
// as the chip ignores it.
//
// Scenario calls:
//   side->set_rssi_dbm(-97.5);                 // level at the antenna
//   side->set_environment([](uint32_t hz, uint32_t bw_hz) { return -90.0; });
//   side->hold_busy_for_reads(3);              // BUSY high for the next 3 reads
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "spidev.h"

namespace crx::sim {

class Sx126xRadio : public SpidevDevice {
 public:
  // The level seen at a tuned frequency and receive bandwidth (both Hz).
  using Environment = std::function<double(uint32_t freq_hz, uint32_t bandwidth_hz)>;

  Sx126xRadio();

  // ---- scenario ----
  void set_rssi_dbm(double dbm);
  // When set, the instantaneous RSSI comes from here instead.
  void set_environment(Environment environment);
  void hold_busy_for_reads(int reads);
  // What the BUSY output shows on one read of the line (the wiring calls it).
  bool busy_read();

  // ---- inspection ----
  uint8_t mode() const;  // bits 6..4 of the status byte
  uint8_t packet_type() const;
  uint32_t frequency_word() const;
  uint32_t frequency_hz() const;
  // The last modulation parameters as sent (4 bytes for LoRa, 8 for GFSK).
  std::vector<uint8_t> modulation_params() const;
  std::vector<uint8_t> packet_params() const;
  // GFSK modulation decoded: bit rate (bit/s), RxBw code and its bandwidth
  // in Hz (0 for an unknown code), deviation (Hz).
  uint32_t bit_rate() const;
  uint8_t rx_bandwidth_code() const;
  uint32_t rx_bandwidth_hz() const;
  uint32_t fdev_hz() const;
  uint8_t tx_base() const;
  uint8_t rx_base() const;
  // Time-out word of the last SetRx / SetTx.
  uint32_t rx_timeout_word() const;
  uint32_t tx_timeout_word() const;
  uint16_t irq_status() const;
  void set_irq_status(uint16_t irq);
  uint8_t read_register(uint16_t address) const;
  void write_register(uint16_t address, uint8_t value);
  // Every command the chip took, opcode first, as sent.
  std::vector<std::vector<uint8_t>> commands() const;
  void clear_commands();
  // Messages sent while BUSY was high.
  int ignored_while_busy() const;

 protected:
  int message(std::span<SpiTransfer> transfers) override;

 private:
  uint8_t status(uint8_t command_status) const;
  double rssi_now() const;

  mutable std::mutex mutex_;  // guards everything below
  uint8_t mode_ = 2;
  uint8_t packet_type_ = 0;
  uint32_t freq_word_ = 0;
  std::vector<uint8_t> mod_params_;
  std::vector<uint8_t> pkt_params_;
  uint8_t tx_base_ = 0;
  uint8_t rx_base_ = 0;
  uint32_t rx_timeout_ = 0;
  uint32_t tx_timeout_ = 0;
  uint16_t irq_ = 0;
  std::vector<uint8_t> dio_params_;
  uint8_t stop_on_preamble_ = 0;
  std::array<uint8_t, 256> buffer_{};
  std::map<uint16_t, uint8_t> registers_;
  double rssi_dbm_ = -120.0;
  Environment environment_;
  int busy_reads_ = 0;
  bool busy_now_ = false;  // what the last read of the line showed
  int ignored_ = 0;
  std::vector<std::vector<uint8_t>> commands_;
};

}  // namespace crx::sim
