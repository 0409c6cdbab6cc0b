// The FPGA's geolocation block, as the large boards' FPGA image presents it
// behind its registers, with its interrupt line (GPIO 20).
//
// Byte addresses (FPGA target):
//   1141          reset: writing 8 cancels the request in flight
//   1185          geolocation present (reads 1 unless told otherwise)
//   1186          block version (1 or 2)
//   16384-16388   high-speed count latched at the PPS (37 bits, LSB first)
//   16389-16393   current high-speed count
//   16394         request: spreading factor
//   16395-16396   request: frequency word (signed, LSB first)
//   16397-16400   request: buffer position (25 bits, LSB first)
//   16401         request flags: down peaks << 5 | up peaks << 1 | antenna
//   16402         control: 1 arms the block; 3 starts the request written
//                 (all of 16394-16401, or only 16401 for the second antenna)
//   16403         status: bit 0 set when the request expired in the block
//   16404-16427   peak positions, 16-bit words LSB first: up peaks, up
//                 coarse index, down peaks, down coarse index
//   16428-16467   peak magnitudes, 32-bit words
//
// After a start the block answers after a delay: it writes peaks computed
// from the true arrival (an offset in 32 MHz samples from the programmed
// position) and frequency offset it was given, plus noise, and pulls the
// interrupt line low (a falling edge); the next start lets it go high again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "fpga_board.h"
#include "gpio.h"

namespace crx::sim {

class GeolocBlock : public FpgaBlock {
 public:
  static constexpr int kIrqLine = 20;

  // Attaches a new block to `port`, raising its line on `gpio`.
  static std::shared_ptr<GeolocBlock> install(FpgaBoardPort& port, std::shared_ptr<SysfsGpio> gpio, int version = 2);
  GeolocBlock(std::shared_ptr<SysfsGpio> gpio, int version);
  ~GeolocBlock() override;

  // ---- scenario ----
  enum class Answer { kOnTime, kNever, kExpired };
  // Ends the thread that raises the interrupt line (the destructor does it
  // too); call it before the sandbox goes when the block outlives it.
  void stop();
  void set_answer(Answer a);
  void set_delay_ms(int ms);
  // The truth the next answers are computed from: arrival offset in 32 MHz
  // samples from the programmed position, frequency offset in Hz (at
  // 125 kHz bandwidth), Gaussian noise of the peaks in samples.
  void set_truth(double offset_samples, double freq_offset_hz, double noise_samples = 0.0, uint32_t seed = 1);
  void set_hs_counts(uint64_t latched, uint64_t now);
  void set_present(uint8_t v);
  void set_version(int v);

  // ---- inspection ----
  struct Started {
    bool second_antenna;
    uint8_t sf;
    int16_t freq_word;
    uint32_t position;
    uint8_t up, down, antenna;
  };
  std::vector<Started> started() const;
  int resets() const;
  int arm_writes() const;

  // ---- FpgaBlock ----
  uint8_t read(uint16_t address) override;
  void write(uint16_t address, uint8_t value) override;
  // The FPGA's soft reset drops the request in flight and the peaks.
  void reset() override;

 private:
  void start_request();  // under mutex_
  void answer(const Started& s);  // under mutex_
  void run();

  std::shared_ptr<SysfsGpio> gpio_;
  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable wake_;
  std::vector<uint8_t> regs_;  // the block's addresses from 16384
  bool request_written_ = false;
  uint8_t present_ = 1, version_;
  Answer mode_ = Answer::kOnTime;
  int delay_ms_ = 5;
  double offset_ = 0, freq_ = 0, noise_ = 0;
  std::mt19937 rng_{1};
  std::vector<Started> started_;
  int resets_ = 0, arm_writes_ = 0;
  std::optional<std::pair<std::chrono::steady_clock::time_point, Started>> due_;
  bool quit_ = false;
  std::thread worker_;
};

}  // namespace crx::sim
