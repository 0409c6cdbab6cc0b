// Register field access through the whole library against a bare
// positioned read or write of the same bytes on the same simulated FPGA
// port. The simulator's cost is common to both sides, so the ratio shows
// what the register layer adds.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "crx.h"
#include "device/reg_access.h"
#include "platform/os.h"
#include "sim/boards.h"

namespace {

// Chip rows: 91 is a whole byte (page 0, address 35), 17 one bit
// (address 16, bit 2) that a write must read, modify and write back.
constexpr int kByteRow = 91;
constexpr int kBitRow = 17;
// The offset words the library sends for those rows on chip 0.
constexpr off_t kByteOffset = off_t(0x00u << 24 | 0x00u << 16 | 35);
constexpr off_t kBitOffset = off_t(0x00u << 24 | 0xFFu << 16 | 16);

struct Board {
  crx::sim::Sandbox sandbox;
  std::shared_ptr<crx::sim::FpgaBoardPort> port;
  int fd = -1;

  Board() {
    sandbox.install();
    board_type = CRX_BOARD_CONDOR_NA;
    num_sx1301_chips = 8;
    port = crx::sim::install_fpga_board(sandbox, 8);
    if (crx_reg_setup(0) != 0) std::abort();
    port->set_recording(false);
    fd = crx::regs::fpga_port_fd();
  }
  ~Board() {
    crx_reg_close();
    sandbox.uninstall();
  }
};

Board& board() {
  static Board b;
  return b;
}

void BM_LibraryByteFieldRead(benchmark::State& state) {
  board();
  int32_t v = 0;
  for (auto _ : state) {
    crx_reg_chip_r(0, 0, kByteRow, &v);
    benchmark::DoNotOptimize(v);
  }
}

void BM_BarePread(benchmark::State& state) {
  const int fd = board().fd;
  uint8_t b = 0;
  for (auto _ : state) {
    crx::os::pread(fd, &b, 1, kByteOffset);
    benchmark::DoNotOptimize(b);
  }
}

void BM_LibraryBitFieldRead(benchmark::State& state) {
  board();
  int32_t v = 0;
  for (auto _ : state) {
    crx_reg_chip_r(0, 0, kBitRow, &v);
    benchmark::DoNotOptimize(v);
  }
}

void BM_LibraryByteFieldWrite(benchmark::State& state) {
  board();
  int32_t v = 0;
  for (auto _ : state) crx_reg_chip_w(0, 0, kByteRow, ++v & 0xFF);
}

void BM_BarePwrite(benchmark::State& state) {
  const int fd = board().fd;
  uint8_t b = 0;
  for (auto _ : state) {
    ++b;
    crx::os::pwrite(fd, &b, 1, kByteOffset);
  }
}

// A one-bit write is a read and a write: compare with the same two bare
// transfers.
void BM_LibraryBitFieldWrite(benchmark::State& state) {
  board();
  int32_t v = 0;
  for (auto _ : state) crx_reg_chip_w(0, 0, kBitRow, ++v & 1);
}

void BM_BarePreadPwrite(benchmark::State& state) {
  const int fd = board().fd;
  uint8_t b = 0;
  for (auto _ : state) {
    crx::os::pread(fd, &b, 1, kBitOffset);
    b ^= 0x04;
    crx::os::pwrite(fd, &b, 1, kBitOffset);
  }
}

BENCHMARK(BM_LibraryByteFieldRead);
BENCHMARK(BM_BarePread);
BENCHMARK(BM_LibraryBitFieldRead);
BENCHMARK(BM_LibraryByteFieldWrite);
BENCHMARK(BM_BarePwrite);
BENCHMARK(BM_LibraryBitFieldWrite);
BENCHMARK(BM_BarePreadPwrite);

}  // namespace
