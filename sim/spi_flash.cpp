#include "spi_flash.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace crx::sim {

namespace {
constexpr uint8_t kReadId = 0x9F, kReadStatus = 0x05, kWriteEnable = 0x06, kWriteDisable = 0x04;
constexpr uint8_t kRead = 0x03, kPageProgram = 0x02, kSectorErase = 0xD8;
constexpr uint32_t kPage = 256, kSector = 0x10000;

uint32_t address_of(const std::vector<uint8_t>& mosi) {
  if (mosi.size() < 4) return 0;
  return uint32_t{mosi[1]} << 16 | uint32_t{mosi[2]} << 8 | mosi[3];
}
}  // namespace

std::shared_ptr<SpiNorFlash> SpiNorFlash::s25fl127s() {
  return std::make_shared<SpiNorFlash>(std::vector<uint8_t>{0x01, 0x20, 0x18, 0x4D, 0x01, 0x80}, 16u << 20);
}

std::shared_ptr<SpiNorFlash> SpiNorFlash::unknown_part() {
  return std::make_shared<SpiNorFlash>(std::vector<uint8_t>{0xEF, 0x40, 0x16, 0x00, 0x00, 0x00}, 4u << 20);
}

SpiNorFlash::SpiNorFlash(std::vector<uint8_t> jedec_id, size_t size) : id_(std::move(jedec_id)), memory_(size, 0xFF) {
  if (size == 0 || (size & (size - 1)) != 0) throw std::invalid_argument("flash size must be a power of two");
}

void SpiNorFlash::attach(Sandbox& sandbox, std::shared_ptr<SpiNorFlash> chip, const std::string& path) {
  sandbox.add_device(path, std::move(chip));
}

int SpiNorFlash::open(Handle& h) {
  if (Device::open(h) < 0) return -1;
  std::lock_guard lock(state_mutex_);
  ++opens_;
  return 0;
}

int SpiNorFlash::opens() const {
  std::lock_guard lock(state_mutex_);
  return opens_;
}

void SpiNorFlash::load(uint32_t address, std::span<const uint8_t> bytes) {
  std::lock_guard lock(state_mutex_);
  if (address + bytes.size() > memory_.size()) throw std::out_of_range("load beyond the end of the flash");
  std::copy(bytes.begin(), bytes.end(), memory_.begin() + address);
}

std::vector<uint8_t> SpiNorFlash::contents(uint32_t address, size_t length) const {
  std::lock_guard lock(state_mutex_);
  if (address + length > memory_.size()) throw std::out_of_range("read beyond the end of the flash");
  return {memory_.begin() + address, memory_.begin() + address + static_cast<long>(length)};
}

void SpiNorFlash::set_program_busy_reads(int n) {
  std::lock_guard lock(state_mutex_);
  program_busy_reads_ = n;
}
void SpiNorFlash::set_erase_busy_reads(int n) {
  std::lock_guard lock(state_mutex_);
  erase_busy_reads_ = n;
}
void SpiNorFlash::set_write_protected(bool on) {
  std::lock_guard lock(state_mutex_);
  protected_ = on;
}
void SpiNorFlash::fail_command(uint8_t opcode, int n, int skip) {
  std::lock_guard lock(state_mutex_);
  fail_opcode_ = opcode;
  fail_count_ = n;
  fail_skip_ = skip;
}
std::vector<SpiNorFlash::Operation> SpiNorFlash::operations() const {
  std::lock_guard lock(state_mutex_);
  return operations_;
}
int SpiNorFlash::status_reads() const {
  std::lock_guard lock(state_mutex_);
  return status_reads_;
}

int SpiNorFlash::message(std::span<SpiTransfer> transfers) {
  // Chip select stays asserted across the transfers of one message, so the
  // chip sees one continuous command: flatten it.
  std::vector<uint8_t> mosi;
  for (const auto& t : transfers) {
    if (t.tx) mosi.insert(mosi.end(), t.tx, t.tx + t.len);
    else mosi.insert(mosi.end(), t.len, 0x00);
  }
  std::vector<uint8_t> miso(mosi.size(), 0xFF);
  {
    std::lock_guard lock(state_mutex_);
    if (!mosi.empty() && fail_count_ > 0 && mosi[0] == fail_opcode_) {
      if (fail_skip_ > 0) {
        --fail_skip_;
      } else {
        --fail_count_;
        errno = EIO;
        return -1;
      }
    }
    execute(mosi, miso);
  }
  size_t at = 0;
  for (auto& t : transfers) {
    if (t.rx) std::memcpy(t.rx, miso.data() + at, t.len);
    at += t.len;
  }
  return static_cast<int>(mosi.size());
}

void SpiNorFlash::execute(const std::vector<uint8_t>& mosi, std::vector<uint8_t>& miso) {
  if (mosi.empty()) return;
  const bool busy = busy_reads_ > 0;
  const uint32_t address = wrap(address_of(mosi));
  switch (mosi[0]) {
    case kReadId:
      for (size_t i = 1; i < mosi.size(); ++i) miso[i] = i - 1 < id_.size() ? id_[i - 1] : 0x00;
      break;
    case kReadStatus: {
      ++status_reads_;
      const uint8_t status = static_cast<uint8_t>((busy ? 0x01 : 0x00) | (wel_ ? 0x02 : 0x00));
      for (size_t i = 1; i < mosi.size(); ++i) miso[i] = status;
      if (busy && mosi.size() > 1) {
        --busy_reads_;
        if (busy_reads_ == 0) wel_ = false;  // the operation finished
      }
      break;
    }
    case kWriteEnable:
      if (!busy && !protected_) wel_ = true;
      break;
    case kWriteDisable:
      if (!busy) wel_ = false;
      break;
    case kRead:
      if (busy || mosi.size() < 4) break;  // a busy part does not answer reads
      for (size_t i = 4; i < mosi.size(); ++i) miso[i] = memory_[wrap(address + static_cast<uint32_t>(i - 4))];
      operations_.push_back({kRead, address, mosi.size() - 4});
      break;
    case kPageProgram: {
      if (busy || !wel_ || mosi.size() < 4) break;
      const uint32_t page = address & ~(kPage - 1);
      for (size_t i = 4; i < mosi.size(); ++i) {
        // The address counter wraps inside the page, as on the real part.
        const uint32_t at = page | ((address + static_cast<uint32_t>(i - 4)) & (kPage - 1));
        memory_[at] &= mosi[i];
      }
      operations_.push_back({kPageProgram, address, mosi.size() - 4});
      busy_reads_ = program_busy_reads_;
      if (busy_reads_ == 0) wel_ = false;
      break;
    }
    case kSectorErase: {
      if (busy || !wel_ || mosi.size() < 4) break;
      const uint32_t sector = address & ~(kSector - 1);
      std::fill_n(memory_.begin() + sector, kSector, 0xFF);
      operations_.push_back({kSectorErase, sector, kSector});
      busy_reads_ = erase_busy_reads_;
      if (busy_reads_ == 0) wel_ = false;
      break;
    }
    default:
      break;  // unknown commands are ignored, as the silicon does
  }
}

}  // namespace crx::sim
