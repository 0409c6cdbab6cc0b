// The Wren boards' spidev ports: the SX1301 on "/dev/spidev32766.1" and the
// GPIO FPGA on "/dev/spidev32766.6".
//
// Both speak the same framing: the first byte of a message is the command,
// bit 7 set for a write and the register address in bits 6..0; the data
// follow in the rest of the message (a message of several transfers is one
// chip-select period).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "spidev.h"
#include "sx1301.h"

namespace crx::sim {

// The SX1301 itself: no FPGA in front, so the page is whatever the page
// register (address 0) was last given.
//
// The board's time lives here: the chip's counter runs on the port's clock
// (the platform's monotonic clock since the port was made, the sandbox's
// fast clock included), and a PPS edge falls on every whole second of it
// unless automatic PPS is off. Edges are taken when someone looks (any
// message on this port or the GPIO FPGA's): the chip latches its count
// when its GPS trigger is enabled, and the GPIO FPGA its timer.
class WrenSx1301Port : public SpidevDevice {
 public:
  WrenSx1301Port();
  Sx1301Chip& chip() { return chip_; }

  int64_t now_us() const;
  // A PPS edge now.
  void pps();
  void set_auto_pps(bool on);
  // Takes the automatic edges that passed since the last look.
  void catch_up_pps();
  // Called with the time of every edge (outside the port's locks).
  void on_pps(std::function<void(int64_t at_us)> hook);

  // Every byte written to address 0 (page selections and soft resets), in
  // the order they arrived.
  std::vector<uint8_t> page_writes() const;
  void clear_page_writes();
  // Holds the port for this long after every write to address 0 before the
  // message completes, so that a caller racing another thread between its
  // page selection and its transfer is caught reliably.
  void set_page_write_delay(std::chrono::microseconds delay);

 protected:
  int message(std::span<SpiTransfer> transfers) override;

 private:
  void edge(int64_t at_us);

  Sx1301Chip chip_;
  const int64_t origin_us_;
  mutable std::mutex mutex_;  // guards the record, the delay and the PPS state
  bool auto_pps_ = true;
  int64_t last_pps_second_ = 0;
  std::function<void(int64_t)> pps_hook_;
  std::vector<uint8_t> page_writes_;
  std::chrono::microseconds page_delay_{0};
};

// Where the side radio listens, as the GPIO FPGA's measurement engines
// hear it.
struct SideRadioTuning {
  uint32_t freq_hz = 0;
  uint32_t bandwidth_hz = 0;
};

// The GPIO FPGA: 16-bit registers, most significant byte first; a burst
// moves on to the next register every two bytes. Register 0x09 bit 12 is
// the SX1301's reset line (a rising edge resets the chip). Register 0x19
// selects what 0x1A shows of the time counters: 0 and 1 the low and high
// halves of the instantaneous count, 2 and 3 those of the FPGA timer
// latched at the last PPS. The count is the SX1301's count plus a settable
// offset. Registers 0x00 (version,
// 0x5007 by default), 0x01 (build, 0x0024), 0x02, 0x03, 0x06 (board
// variant in bits 0-2), 0x07, 0x0A, 0x0C, 0x0F, 0x16, 0x18 and 0x1A are
// read-only; 0x08 drives the LEDs and 0x15 their intensity.
//
// The measurement engines sample the side radio's level: the radio
// environment at the tuning the installed side radio reports.
//   LBT: a rising edge of 0x08 bit 0 starts a measurement lasting 0x17 x
//   5 us; 0x16 then shows bit 8 (done) and the level's magnitude in dB in
//   bits 7..1. Clearing bit 0 ends it.
//   Scan: 0x08 bit 1 enables sampling; 0x16 bit 9 says samples are ready
//   and every read of 0x18 gives one sample, -level in dB in bits 15..1.
//
//   fpga->set_lbt_never_done(true);     // bit 8 never rises
//   fpga->set_scan_never_ready(true);   // bit 9 never rises
//   fpga->set_scan_ready_after_reads(3);  // bit 9 rises at the third look
//   fpga->set_scan_samples({0x0104});   // sample words, cycled
//   fpga->on_scan_event([](ScanEvent e) { ... });  // a transmission, say
class WrenGpioFpga : public SpidevDevice {
 public:
  WrenGpioFpga();

  // What a measurement hears.
  void set_level_source(std::function<SideRadioTuning()> tuning,
                        std::function<double(const SideRadioTuning&)> level);
  void set_lbt_never_done(bool on);
  void set_scan_never_ready(bool on);
  // Samples become ready only at this read of the ready flag after each
  // enable (0: at once).
  void set_scan_ready_after_reads(int reads);
  void set_scan_samples(std::vector<uint16_t> words);

  // Called (outside the FPGA's lock) when the library reads the ready flag
  // with sampling enabled, and when it disables sampling.
  enum class ScanEvent { kReadyRead, kDisabled };
  void on_scan_event(std::function<void(ScanEvent)> hook);

  // One started measurement: the side radio's tuning when it started.
  struct Measurement {
    bool lbt;             // else a scan's enable
    SideRadioTuning tuning;
    uint16_t length;      // LBT only
  };
  std::vector<Measurement> measurements() const;
  uint64_t samples_read() const;

  void set_version(uint16_t version);
  void set_build(uint16_t build);
  // 0 for an SX127x side radio; 3 marks an SX126x.
  void set_variant(uint8_t variant);

  // Wires the reset line and the counters to the board's SX1301.
  void attach_sx1301(const std::shared_ptr<WrenSx1301Port>& sx1301);
  // FPGA count minus the SX1301's count.
  void set_counter_offset(uint32_t offset);
  uint32_t instantaneous_count() const;
  uint32_t timer() const;
  // Rising edges of the reset line so far.
  int reset_pulses() const;

  // Scenario and inspection, bypassing read-only registers.
  void poke(uint8_t address, uint16_t value);
  uint16_t peek(uint8_t address) const;
  // Every register write that reached the FPGA: (address, value).
  std::vector<std::pair<uint8_t, uint16_t>> register_writes() const;

 protected:
  int message(std::span<SpiTransfer> transfers) override;

 private:
  static bool read_only(uint8_t address);
  uint16_t counter_half() const;
  void latch(int64_t at_us);

  std::weak_ptr<WrenSx1301Port> sx1301_;
  mutable std::mutex mutex_;  // guards everything below
  uint32_t offset_ = 0;
  uint32_t timer_ = 0;
  int reset_pulses_ = 0;
  std::array<uint16_t, 128> regs_{};
  std::vector<std::pair<uint8_t, uint16_t>> writes_;
  std::function<SideRadioTuning()> tuning_;
  std::function<double(const SideRadioTuning&)> level_;
  std::function<void(ScanEvent)> scan_hook_;
  bool lbt_never_done_ = false;
  bool scan_never_ready_ = false;
  int scan_ready_after_ = 0;
  int scan_ready_countdown_ = 0;
  bool lbt_running_ = false;
  int64_t lbt_end_us_ = 0;
  std::vector<uint16_t> scan_words_;
  uint64_t samples_read_ = 0;
  std::vector<Measurement> measurements_;
};

}  // namespace crx::sim
