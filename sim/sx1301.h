// One SX1301 concentrator as its SPI interface presents it.
//
// 128 byte addresses. Address 0x00 holds the page select (bits 0-1) and the
// soft reset (bit 7, which restores every register and reads back 0).
// Addresses 0x00-0x20 and 0x7D-0x7F are the same on every page; 0x21-0x7C
// exist once per page (four pages). Version (0x01) and identity (0x7E) are
// read-only. A burst advances the address byte by byte, except on the data
// ports (sx1301_ports.h), where it stays and walks the memory behind them.
//
// The two MCUs (arbiter 0, AGC 1). Page 0 address 0x6A: bit 0 connects the
// arbiter's program RAM to the SPI data port 0x0A, bit 1 the AGC's (the AGC
// wins when both are set); bit 2 releases the arbiter, bit 3 the AGC (0
// holds it). Address 0x09 sets the RAM pointer. Reads of 0x0A come through
// a one-byte prefetch: after the pointer is set, or after the pointer wraps
// at the end of the 8192-byte RAM, the first byte read is stale. A released
// MCU whose RAM is disconnected from SPI runs its image: the version bytes
// on page 2 (0x40 arbiter, 0x41 AGC) answer the image's version when the
// MCU recognises the image, 0 otherwise.
//
// The counter: a 1 MHz count (page 2, 0x46-0x49, little-endian) that
// follows the clock the owner gives. With the GPS trigger enabled (page 2,
// 0x59 bit 0) it reads the value latched at the last PPS instead.
//
// The radio: a receive FIFO (rx_fifo.h: status at 0x0B-0x0F, a write to
// 0x0B pops, data port 0x04) filled by push_uplink, and a transmit buffer
// (tx_buffer.h: data port 0x06, command page 1 0x21, start delay 0x22-0x23,
// status 0x3E) that records what each armed trigger would send and runs
// its status on the chip's counter. Until the first trigger is armed the
// command and status read as plain registers (a scenario may poke them).
// A soft reset empties the FIFO and cancels what is armed.
//
// The radio SPI master (page 2) reaches the two SX125x radios (sx125x.h):
// per radio a write-data, read-data, address and chip-select register
// (radio A 0x21, 0x22, 0x23, 0x25 bit 0; radio B 0x26, 0x27, 0x28, 0x2A
// bit 0). A rising chip select runs one transaction: an address with bit 7
// set writes the data to the radio, otherwise the radio's answer lands in
// the read-data register. Address 0x2B drives the radios' lines: bit 0
// enables radio A, bit 1 radio B, bit 2 holds both in reset (set at power
// on and by a soft reset).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "rx_fifo.h"
#include "sx125x.h"
#include "sx1301_ports.h"
#include "tx_buffer.h"

namespace crx::sim {

// What a released MCU runs, as recognised from its image.
enum class McuProgram {
  kUnknown,      // nothing the model knows: the MCU answers version 0
  kArbiter,      // an arbiter (large boards and Wren)
  kAgc,          // the large boards' AGC: versions and temperature only
  kCalibration,  // the Wren calibration, run once in the AGC MCU
  kWrenAgc,      // the Wren AGC with its start-up dialogue
};

enum class McuFault {
  kNone,
  kCorruptLoad,  // one byte of every image written lands flipped
  kRefuseLoad,   // writes to the program RAM fail their transfer
};

class Sx1301Chip {
 public:
  static constexpr size_t kMcuRamSize = 8192;
  static constexpr int kArbiter = 0;
  static constexpr int kAgc = 1;

  Sx1301Chip();

  // What the chip answers in its version and identity registers (103 and 1
  // on a healthy SX1301). Takes effect at once and survives soft resets.
  void set_version(uint8_t version);
  void set_identity(uint8_t identity);

  // Page currently selected by the page register.
  uint8_t page() const;
  void select_page(uint8_t page);

  // Bus accesses starting at `address`; bytes past 0x7F read 0 and are lost.
  // A write fails (false) when a data port refuses a byte.
  void read(uint8_t address, std::span<uint8_t> out);
  bool write(uint8_t address, std::span<const uint8_t> in);

  // Scenario and inspection: one byte on a given page (ignored for the
  // common addresses), without read-only checks or side effects.
  void poke(uint8_t page, uint8_t address, uint8_t value);
  uint8_t peek(uint8_t page, uint8_t address) const;
  // Soft resets taken since creation (hard resets included).
  int reset_count() const;
  // The reset pin: every register back to its power-on value, the FIFO
  // emptied and what is armed cancelled, as a soft reset does.
  void hard_reset();

  // ---- data ports ----
  // Replaces the stream behind data address 0x04 (receive FIFO) or 0x06
  // (transmit buffer); other addresses are ignored.
  void attach_port(uint8_t data_address, std::shared_ptr<DataPort> port);
  std::shared_ptr<DataPort> port(uint8_t data_address) const;

  // ---- radio ----
  // A frame the chip demodulated: it enters the receive FIFO.
  void push_uplink(const Uplink& frame);
  // Called with the receive-status level each time it changes (the board
  // wires it to the chip's GPIO line). May be called with the chip's lock
  // held: it must not call back into the chip.
  void on_rx_status(std::function<void(bool)> callback);
  RxFifoModel& rx_fifo() { return *rx_fifo_; }
  TxBufferModel& tx_buffer() { return *tx_; }
  // Every transmission armed so far, oldest first.
  std::vector<Transmission> transmissions() const { return tx_->all(); }

  // ---- MCUs ----
  // The images the MCUs run: the library's stand-ins (recognised by their
  // label and checksum) and any image added here, with the version it
  // reports (a real image supplied with the build, for instance); the
  // latest registration of an image wins.
  void recognise_image(int kind, std::vector<uint8_t> image, uint8_t version,
                       McuProgram program = McuProgram::kUnknown);
  void set_mcu_fault(McuFault fault);
  std::vector<uint8_t> mcu_ram(int kind) const;
  // The version a released MCU reports now (0 when held or unrecognised).
  uint8_t firmware_version(int kind) const;
  // Called (with the chip's lock held) each time an MCU is released.
  void on_release(std::function<void(int kind)> hook);

  // The program a released MCU runs (kUnknown while held or unrecognised).
  McuProgram program(int kind) const;
  // Forces the version an MCU reports while it runs (nullopt: the image's).
  void override_version(int kind, std::optional<uint8_t> version);

  // ---- the Wren calibration and AGC programs ----
  // The calibration image in the AGC MCU: the mailbox (page 0 0x23) holds
  // the command (bit 0/1 radio A/B, bit 2/3 their TX, bit 5 SX1255); the
  // run is taken when the host hands the radios over (0x7F bit 0 := 0);
  // then the status (0x20) answers 0x81 plus, per radio in the command,
  // 0x02/0x04 (reached) and 0x08/0x10 (image rejection), and 0x20/0x40
  // for a radio with TX. Page 2 0x51 := 0xA0 + i shows offset byte i (radio
  // A I, A Q, B I, B Q, 8 each) at 0x41.
  void set_calibration_status(std::optional<uint8_t> status);
  void set_calibration_offsets(const std::array<int8_t, 32>& offsets);
  // The Wren AGC image: status 0x10 once running; each mailbox value after
  // a 0x10 handshake is a command: gain entries (answered 0x30 + index) up
  // to 16 or the end mark 0x11 (0x30), then two parameters (0x30 + value)
  // and the radio mask (0x40). A value without its handshake is ignored.
  // The command numbered `index` (from 0) is answered wrongly; -1 none.
  void answer_agc_wrongly_at(int index);
  std::vector<uint8_t> agc_commands() const;

  // ---- radio SPI master ----
  // The radio on RF chain 0 (radio A) or 1 (radio B); none by default.
  void attach_radio(int chain, std::shared_ptr<Sx125xRadio> radio);

  // ---- counter ----
  // Microseconds since an arbitrary origin; the board sets it.
  void set_clock(std::function<int64_t()> clock);
  // The count at time 0 of the clock (chips start at different moments).
  void set_counter_base(uint32_t base);
  uint32_t count() const;
  // The count at clock time `at_us` (free-running, not the PPS latch).
  uint32_t count_at(int64_t at_us) const;
  uint32_t latched_count() const;
  bool gps_trigger_enabled() const;
  // A PPS edge at clock time `at_us`: latches the count when enabled.
  void pps(int64_t at_us);

 private:
  static bool is_common(uint8_t address) { return address <= 0x20 || address >= 0x7D; }
  uint8_t& cell(uint8_t page, uint8_t address);
  uint8_t load(uint8_t address, uint32_t counter_snapshot);
  bool store(uint8_t address, uint8_t value);
  void restore_defaults();
  void reset_locked();
  uint32_t count_locked() const;
  int ram_selected() const;  // -1, kArbiter or kAgc
  uint8_t version_locked(int kind) const;
  bool radio_load(uint8_t address, uint8_t& out);
  bool radio_store(uint8_t address, uint8_t value);
  uint8_t mcu_read();
  bool mcu_write(uint8_t value);
  void radio_master_store(uint8_t address, uint8_t before, uint8_t value);
  McuProgram program_locked(int kind) const;
  void program_started(int kind);
  void mailbox_store(uint8_t value);
  void calibrate();
  bool program_load(uint8_t address, uint8_t& out);
  void radio_lines();
  void radio_master_defaults();

  mutable std::mutex mutex_;  // guards everything below
  uint8_t page_ = 0;
  std::array<uint8_t, 128> common_{};
  std::array<std::array<uint8_t, 128>, 4> paged_{};
  uint8_t version_ = 103;
  uint8_t identity_ = 1;
  int resets_ = 0;

  std::map<uint8_t, std::shared_ptr<DataPort>> ports_;
  std::shared_ptr<RxFifoModel> rx_fifo_;
  std::shared_ptr<TxBufferModel> tx_;
  bool tx_used_ = false;  // a trigger was armed: the model answers the TX registers

  std::array<std::vector<uint8_t>, 2> ram_;
  size_t ram_pointer_ = 0;
  uint8_t prefetch_ = 0;
  McuFault fault_ = McuFault::kNone;
  std::array<std::vector<std::pair<std::vector<uint8_t>, uint8_t>>, 2> known_images_;
  std::function<void(int)> release_hook_;

  std::array<std::shared_ptr<Sx125xRadio>, 2> radios_;

  std::array<std::vector<McuProgram>, 2> known_programs_;  // beside known_images_
  std::array<std::optional<uint8_t>, 2> version_override_;
  std::optional<uint8_t> forced_cal_status_;
  std::array<int8_t, 32> cal_offsets_{};
  uint8_t cal_status_ = 0;
  bool agc_handshake_ = false;
  int agc_phase_ = 0;
  int agc_entries_ = 0;
  uint8_t agc_status_ = 0;
  int agc_wrong_at_ = -1;
  std::vector<uint8_t> agc_commands_;

  std::function<int64_t()> clock_;
  uint32_t counter_base_ = 0;
  uint32_t latched_ = 0;
};

}  // namespace crx::sim
