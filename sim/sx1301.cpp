#include "sx1301.h"

namespace crx::sim {

namespace {
constexpr uint8_t kPageReg = 0x00;
constexpr uint8_t kVersionReg = 0x01;
constexpr uint8_t kIdentityReg = 0x7E;
constexpr uint8_t kSoftResetBit = 0x80;
constexpr uint8_t kPageMask = 0x03;
}  // namespace

Sx1301Chip::Sx1301Chip() { restore_defaults(); }

// Power-on values of the registers the models rely on; the rest read 0.
void Sx1301Chip::restore_defaults() {
  page_ = 0;
  common_.fill(0);
  for (auto& p : paged_) p.fill(0);
  common_[0x11] = 0x03;
  common_[0x7F] = 0x01;
}

void Sx1301Chip::set_version(uint8_t version) {
  std::lock_guard lock(mutex_);
  version_ = version;
}
void Sx1301Chip::set_identity(uint8_t identity) {
  std::lock_guard lock(mutex_);
  identity_ = identity;
}

uint8_t Sx1301Chip::page() const {
  std::lock_guard lock(mutex_);
  return page_;
}
void Sx1301Chip::select_page(uint8_t page) {
  std::lock_guard lock(mutex_);
  page_ = page & kPageMask;
}

uint8_t& Sx1301Chip::cell(uint8_t page, uint8_t address) {
  return is_common(address) ? common_[address] : paged_[page & kPageMask][address];
}

uint8_t Sx1301Chip::load(uint8_t address) {
  if (address == kPageReg) return uint8_t((common_[kPageReg] & 0x7C) | page_);
  if (address == kVersionReg) return version_;
  if (address == kIdentityReg) return identity_;
  return cell(page_, address);
}

void Sx1301Chip::store(uint8_t address, uint8_t value) {
  if (address > 0x7F || address == kVersionReg || address == kIdentityReg) return;
  if (address == kPageReg) {
    if (value & kSoftResetBit) {
      restore_defaults();
      ++resets_;
      return;
    }
    page_ = value & kPageMask;
    common_[kPageReg] = value & 0x7C;
    return;
  }
  cell(page_, address) = value;
}

void Sx1301Chip::read(uint8_t address, std::span<uint8_t> out) {
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < out.size(); ++i) out[i] = address + i <= 0x7F ? load(uint8_t(address + i)) : 0;
}

void Sx1301Chip::write(uint8_t address, std::span<const uint8_t> in) {
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < in.size() && address + i <= 0x7F; ++i) store(uint8_t(address + i), in[i]);
}

void Sx1301Chip::poke(uint8_t page, uint8_t address, uint8_t value) {
  std::lock_guard lock(mutex_);
  if (address <= 0x7F) cell(page, address) = value;
}
uint8_t Sx1301Chip::peek(uint8_t page, uint8_t address) const {
  std::lock_guard lock(mutex_);
  if (address > 0x7F) return 0;
  return is_common(address) ? common_[address] : paged_[page & kPageMask][address];
}
int Sx1301Chip::reset_count() const {
  std::lock_guard lock(mutex_);
  return resets_;
}

}  // namespace crx::sim
