#include "sync_block.h"

#include <array>
#include <thread>

#include "crx.h"

namespace crx::sim {
namespace {

constexpr uint8_t kWriteBit = 0x80;
constexpr uint8_t kRegState = 6;
constexpr uint8_t kRegVersion = 10;
constexpr uint8_t kRegHoldover = 8;
constexpr uint8_t kRegFlags = 54;
constexpr uint16_t kFpgaState = 0x2006;
constexpr uint16_t kFpgaHoldover = 0x2008;
constexpr uint16_t kFpgaVersion = 0x200A;
constexpr uint16_t kFpgaFlags = 0x2036;

void poke16(FpgaBoardPort& board, uint16_t address, uint16_t value) {
  const std::array<uint8_t, 2> bytes{uint8_t(value), uint8_t(value >> 8)};
  board.poke(8, 0xFF, address, bytes);
}

}  // namespace

void SyncBlockSpi::set_state(uint8_t state) {
  std::lock_guard lock(mutex_);
  regs_[kRegState] = state;
}
void SyncBlockSpi::set_flags(uint8_t flags) {
  std::lock_guard lock(mutex_);
  regs_[kRegFlags] = flags;
}
void SyncBlockSpi::set_version(uint16_t version) {
  std::lock_guard lock(mutex_);
  regs_[kRegVersion] = version;
}
uint16_t SyncBlockSpi::holdover() const {
  std::lock_guard lock(mutex_);
  return regs_[kRegHoldover];
}
std::vector<std::pair<uint8_t, uint16_t>> SyncBlockSpi::writes() const {
  std::lock_guard lock(mutex_);
  return writes_;
}

int SyncBlockSpi::message(std::span<SpiTransfer> transfers) {
  const std::vector<uint8_t> sent = gather(transfers);
  std::vector<uint8_t> answer(sent.size(), 0);
  if (!sent.empty()) {
    const bool write = sent[0] & kWriteBit;
    const uint8_t first = sent[0] & 0x7F;
    std::lock_guard lock(mutex_);
    for (size_t i = 1; i + 1 < sent.size(); i += 2) {
      const uint8_t address = uint8_t((first + (i - 1) / 2) & 0x7F);
      if (write) {
        regs_[address] = uint16_t(sent[i] << 8 | sent[i + 1]);
        writes_.emplace_back(address, regs_[address]);
      } else {
        answer[i] = uint8_t(regs_[address] >> 8);
        answer[i + 1] = uint8_t(regs_[address]);
      }
    }
  }
  return scatter(transfers, answer);
}

std::shared_ptr<SyncBlockSpi> install_sync_block(Sandbox& sandbox) {
  auto block = std::make_shared<SyncBlockSpi>();
  block->set_state(kSyncStateLocked);
  block->set_version(12);
  sandbox.add_device("/dev/spidev32766.5", block);
  return block;
}

void set_fpga_sync_block(FpgaBoardPort& board, uint8_t state, uint8_t flags) {
  poke16(board, kFpgaState, state);
  poke16(board, kFpgaFlags, flags);
}

void set_fpga_holdover_version(FpgaBoardPort& board, uint16_t version) { poke16(board, kFpgaVersion, version); }

uint16_t fpga_holdover(const FpgaBoardPort& board) {
  const auto b = board.peek(8, 0xFF, kFpgaHoldover, 2);
  return uint16_t(b[0] | b[1] << 8);
}

bool run_to_time_reference(Sandbox& sandbox, std::chrono::milliseconds bound) {
  const auto give_up = std::chrono::steady_clock::now() + bound;
  const struct timespec step = {0, 100000000};
  for (;;) {
    uint32_t synced = 0;
    if (crx_get_sync_status(&synced) == 0 && synced == 1) return true;
    if (std::chrono::steady_clock::now() >= give_up) return false;
    // The sampler reads in microseconds: a 5 ms pause makes a step between
    // its reads rare, and a sample it drops is taken again later.
    sandbox.sleep(step, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace crx::sim
