#include "ad9361.h"

namespace crx::sim {

namespace {
constexpr uint16_t kSpiConfig = 0x000;
constexpr uint16_t kProductIdReg = 0x037;
constexpr uint16_t kAddressMask = 0x3FF;
}  // namespace

Ad9361Chip::Ad9361Chip() { restore_defaults(); }

void Ad9361Chip::restore_defaults() {
  regs_.fill(0);
  regs_[kProductIdReg] = kProductId;
}

std::vector<uint8_t> Ad9361Chip::transact(std::span<const uint8_t> sent) {
  std::vector<uint8_t> answered(sent.size(), 0);
  std::lock_guard lock(mutex_);
  if (sent.size() >= 2) {
    const bool write = sent[0] & 0x80;
    const size_t count = ((sent[0] >> 4) & 0x07) + 1;
    const uint16_t address = uint16_t((sent[0] << 8 | sent[1]) & kAddressMask);
    for (size_t k = 0; k < count && 2 + k < sent.size(); ++k) {
      const uint16_t a = uint16_t((address - k) & kAddressMask);
      if (!write) {
        answered[2 + k] = regs_[a];
        continue;
      }
      if (a == kProductIdReg) continue;
      regs_[a] = sent[2 + k];
      if (a == kSpiConfig && (sent[2 + k] & 0x80)) {
        restore_defaults();
        regs_[kSpiConfig] = sent[2 + k];
      }
    }
  }
  record_.push_back({{sent.begin(), sent.end()}, answered});
  return answered;
}

void Ad9361Chip::poke(uint16_t address, uint8_t value) {
  std::lock_guard lock(mutex_);
  regs_[address & kAddressMask] = value;
}
uint8_t Ad9361Chip::peek(uint16_t address) const {
  std::lock_guard lock(mutex_);
  return regs_[address & kAddressMask];
}
std::vector<Ad9361Transaction> Ad9361Chip::transactions() const {
  std::lock_guard lock(mutex_);
  return record_;
}
void Ad9361Chip::clear_transactions() {
  std::lock_guard lock(mutex_);
  record_.clear();
}

}  // namespace crx::sim
