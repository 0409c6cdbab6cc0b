#include "sx1301.h"

#include <algorithm>
#include <cstring>

#include "airtime.h"
#include "platform/os.h"

namespace crx::sim {

namespace {
constexpr uint8_t kPageReg = 0x00;
constexpr uint8_t kVersionReg = 0x01;
constexpr uint8_t kIdentityReg = 0x7E;
constexpr uint8_t kSoftResetBit = 0x80;
constexpr uint8_t kPageMask = 0x03;

// Data ports and their address registers.
constexpr uint8_t kRxAddrLow = 0x02;
constexpr uint8_t kRxAddrHigh = 0x03;
constexpr uint8_t kRxData = 0x04;
constexpr uint8_t kTxAddr = 0x05;
constexpr uint8_t kTxData = 0x06;
constexpr uint8_t kMcuAddr = 0x09;
constexpr uint8_t kMcuData = 0x0A;

// MCU control (page 0) and status (page 2).
constexpr uint8_t kMcuCtrl = 0x6A;
constexpr uint8_t kMcuCtrlDefault = 0x03;
constexpr uint8_t kArbVersion = 0x40;
constexpr uint8_t kAgcVersion = 0x41;
// The AGC firmware's mailbox: 32 asks it for its version in kAgcVersion, 33
// for the temperature code it measures (a plain byte here, poked by tests).
constexpr uint8_t kAgcMailbox = 0x51;
constexpr uint8_t kAgcAskTemperature = 33;

// Counter (page 2).
constexpr uint8_t kCounter = 0x46;
constexpr uint8_t kGpsTrigger = 0x59;

bool in_counter(uint8_t a) { return a >= kCounter && a < kCounter + 4; }

// Receive FIFO status (common) and the transmit controls (page 1).
constexpr uint8_t kRxStatus = RxFifoModel::kStatusAddress;
constexpr uint8_t kTxCommand = TxBufferModel::kCommand;
constexpr uint8_t kTxStartDelay = TxBufferModel::kStartDelay;
constexpr uint8_t kTxStatus = TxBufferModel::kStatus;

// The head entry of the FIFO through the receive data address. The address
// register does not move it: an entry streams from its first byte after
// each pop, as the FIFO walk reads it.
class RxFifoPort : public DataPort {
 public:
  explicit RxFifoPort(std::shared_ptr<RxFifoModel> fifo) : fifo_(std::move(fifo)) {}
  void set_address(uint32_t) override {}
  uint8_t read_byte() override {
    uint8_t b = 0;
    fifo_->read_data(std::span(&b, 1));
    return b;
  }
  bool write_byte(uint8_t) override { return true; }

 private:
  std::shared_ptr<RxFifoModel> fifo_;
};

class TxBufferPort : public DataPort {
 public:
  explicit TxBufferPort(std::shared_ptr<TxBufferModel> tx) : tx_(std::move(tx)) {}
  void set_address(uint32_t address) override { tx_->write_address(uint8_t(address)); }
  uint8_t read_byte() override { return 0; }
  bool write_byte(uint8_t value) override {
    tx_->write_data(std::span(&value, 1));
    return true;
  }

 private:
  std::shared_ptr<TxBufferModel> tx_;
};

// How long the armed frame keeps the transmitter emitting.
uint32_t airtime_of(const Transmission& t) {
  if (t.fsk) return fsk_airtime_us(t.bitrate(), t.preamble, uint32_t(t.payload.size()), t.crc);
  LoraFrame f;
  f.sf = t.sf;
  f.bandwidth_hz = t.bandwidth_hz();
  f.cr = t.cr;
  f.payload_bytes = uint32_t(t.payload.size());
  f.preamble = t.preamble ? t.preamble : 8;
  f.crc = t.crc;
  f.implicit_header = t.implicit_header;
  const uint32_t us = lora_airtime_us(f);
  return us ? us : 1000;
}

// The library's stand-in images: a label, the version at byte 16, and the
// 32-bit little-endian sum of bytes 0-8187 in the last four bytes. The
// label says which program the image stands for.
struct StandIn {
  const char* label;
  int kind;
  McuProgram program;
};
constexpr StandIn kStandIns[] = {
    {"CRX-STANDIN-ARB", 0, McuProgram::kArbiter},     {"CRX-STANDIN-AGC", 1, McuProgram::kAgc},
    {"CRX-SI-WREN-CAL", 1, McuProgram::kCalibration}, {"CRX-SI-WREN-ARB", 0, McuProgram::kArbiter},
    {"CRX-SI-WREN-AGC", 1, McuProgram::kWrenAgc},
};

// The stand-in's version and program, or {0, kUnknown}.
std::pair<uint8_t, McuProgram> stand_in(int kind, const std::vector<uint8_t>& ram) {
  const size_t n = Sx1301Chip::kMcuRamSize;
  for (const StandIn& s : kStandIns) {
    if (s.kind != kind || std::memcmp(ram.data(), s.label, std::strlen(s.label) + 1) != 0) continue;
    uint32_t sum = 0;
    for (size_t i = 0; i < n - 4; ++i) sum += ram[i];
    const uint32_t stored = uint32_t{ram[n - 4]} | uint32_t{ram[n - 3]} << 8 | uint32_t{ram[n - 2]} << 16 |
                            uint32_t{ram[n - 1]} << 24;
    if (sum == stored) return {ram[16], s.program};
  }
  return {0, McuProgram::kUnknown};
}

// The Wren MCU mailbox (page 0) and status (common), and the calibration's
// radio hand-over bit.
constexpr uint8_t kMcuMailbox = 0x23;
constexpr uint8_t kMcuStatus = 0x20;
constexpr uint8_t kHostRadioControl = 0x7F;
constexpr uint8_t kAgcHandshake = 0x10;
constexpr uint8_t kAgcEndOfTable = 0x11;
constexpr int kAgcMaxEntries = 16;
constexpr uint8_t kCalOffsetsFirst = 0xA0;

int64_t monotonic_us() {
  const struct timespec t = os::monotonic();
  return int64_t(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}
}  // namespace

Sx1301Chip::Sx1301Chip()
    : rx_fifo_(std::make_shared<RxFifoModel>()), tx_(std::make_shared<TxBufferModel>()) {
  for (auto& r : ram_) r.assign(kMcuRamSize, 0);
  ports_[kRxData] = std::make_shared<RxFifoPort>(rx_fifo_);
  ports_[kTxData] = std::make_shared<TxBufferPort>(tx_);
  const int64_t origin = monotonic_us();
  clock_ = [origin] { return monotonic_us() - origin; };
  restore_defaults();
}

// Power-on values of the registers the models rely on; the rest read 0.
// The MCUs' program RAM keeps its contents.
void Sx1301Chip::restore_defaults() {
  page_ = 0;
  common_.fill(0);
  for (auto& p : paged_) p.fill(0);
  common_[0x11] = 0x03;
  common_[0x7F] = 0x01;
  paged_[0][kMcuCtrl] = kMcuCtrlDefault;
  ram_pointer_ = 0;
  radio_master_defaults();
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

// ---- MCUs ----

int Sx1301Chip::ram_selected() const {
  const uint8_t ctrl = paged_[0][kMcuCtrl];
  if (ctrl & 0x02) return kAgc;
  if (ctrl & 0x01) return kArbiter;
  return -1;
}

uint8_t Sx1301Chip::version_locked(int kind) const {
  const uint8_t ctrl = paged_[0][kMcuCtrl];
  const bool connected = ctrl & (kind == kAgc ? 0x02 : 0x01);
  const bool released = ctrl & (kind == kAgc ? 0x08 : 0x04);
  if (connected || !released) return 0;
  if (version_override_[kind]) return *version_override_[kind];
  // The latest registration of an image wins.
  for (auto it = known_images_[kind].rbegin(); it != known_images_[kind].rend(); ++it)
    if (it->first.size() <= kMcuRamSize && std::equal(it->first.begin(), it->first.end(), ram_[kind].begin()))
      return it->second;
  return stand_in(kind, ram_[kind]).first;
}

McuProgram Sx1301Chip::program_locked(int kind) const {
  const uint8_t ctrl = paged_[0][kMcuCtrl];
  const bool connected = ctrl & (kind == kAgc ? 0x02 : 0x01);
  const bool released = ctrl & (kind == kAgc ? 0x08 : 0x04);
  if (connected || !released) return McuProgram::kUnknown;
  for (size_t i = known_images_[kind].size(); i-- > 0;) {
    const auto& image = known_images_[kind][i].first;
    if (image.size() <= kMcuRamSize && std::equal(image.begin(), image.end(), ram_[kind].begin()))
      return known_programs_[kind][i];
  }
  return stand_in(kind, ram_[kind]).second;
}

// A released MCU starts its program from the beginning.
void Sx1301Chip::program_started(int kind) {
  if (kind != kAgc) return;
  cal_status_ = 0;
  agc_handshake_ = false;
  agc_phase_ = 0;
  agc_entries_ = 0;
  agc_status_ = kAgcHandshake;
  agc_commands_.clear();
}

void Sx1301Chip::calibrate() {
  if (forced_cal_status_) {
    cal_status_ = *forced_cal_status_;
    return;
  }
  const uint8_t cmd = paged_[0][kMcuMailbox];
  uint8_t status = 0x81;
  if (cmd & 0x01) status |= 0x02 | 0x08;
  if (cmd & 0x02) status |= 0x04 | 0x10;
  if ((cmd & 0x05) == 0x05) status |= 0x20;
  if ((cmd & 0x0A) == 0x0A) status |= 0x40;
  cal_status_ = status;
}

void Sx1301Chip::mailbox_store(uint8_t value) {
  if (program_locked(kAgc) != McuProgram::kWrenAgc) return;
  if (value == kAgcHandshake) {
    agc_handshake_ = true;
    return;
  }
  if (!agc_handshake_) return;
  agc_handshake_ = false;
  const int number = int(agc_commands_.size());
  agc_commands_.push_back(value);
  uint8_t answer = 0;
  switch (agc_phase_) {
    case 0:
      if (value == kAgcEndOfTable) {
        answer = 0x30;
        agc_phase_ = 1;
      } else {
        answer = uint8_t(0x30 + agc_entries_);
        if (++agc_entries_ == kAgcMaxEntries) agc_phase_ = 1;
      }
      break;
    case 1:
    case 2:
      answer = uint8_t(0x30 + (value & 0x0F));
      ++agc_phase_;
      break;
    default:
      answer = 0x40;
      agc_phase_ = 4;
      break;
  }
  agc_status_ = number == agc_wrong_at_ ? uint8_t(answer ^ 0x08) : answer;
}

// The Wren programs' answers at the status and value registers.
bool Sx1301Chip::program_load(uint8_t address, uint8_t& out) {
  if (address == kMcuStatus) {
    switch (program_locked(kAgc)) {
      case McuProgram::kCalibration: out = cal_status_; return true;
      case McuProgram::kWrenAgc: out = agc_status_; return true;
      default: return false;
    }
  }
  if (page_ == 2 && address == kAgcVersion && program_locked(kAgc) == McuProgram::kCalibration) {
    const uint8_t ask = paged_[2][kAgcMailbox];
    if (ask >= kCalOffsetsFirst && ask < kCalOffsetsFirst + cal_offsets_.size()) {
      out = uint8_t(cal_offsets_[ask - kCalOffsetsFirst]);
      return true;
    }
  }
  return false;
}

McuProgram Sx1301Chip::program(int kind) const {
  std::lock_guard lock(mutex_);
  return program_locked(kind & 1);
}
void Sx1301Chip::override_version(int kind, std::optional<uint8_t> version) {
  std::lock_guard lock(mutex_);
  version_override_[kind & 1] = version;
}
void Sx1301Chip::set_calibration_status(std::optional<uint8_t> status) {
  std::lock_guard lock(mutex_);
  forced_cal_status_ = status;
}
void Sx1301Chip::set_calibration_offsets(const std::array<int8_t, 32>& offsets) {
  std::lock_guard lock(mutex_);
  cal_offsets_ = offsets;
}
void Sx1301Chip::answer_agc_wrongly_at(int index) {
  std::lock_guard lock(mutex_);
  agc_wrong_at_ = index;
}
std::vector<uint8_t> Sx1301Chip::agc_commands() const {
  std::lock_guard lock(mutex_);
  return agc_commands_;
}

uint8_t Sx1301Chip::mcu_read() {
  const int kind = ram_selected();
  const uint8_t out = prefetch_;
  prefetch_ = kind < 0 ? 0 : ram_[kind][ram_pointer_];
  ram_pointer_ = (ram_pointer_ + 1) % kMcuRamSize;
  return out;
}

bool Sx1301Chip::mcu_write(uint8_t value) {
  const int kind = ram_selected();
  if (kind < 0) return true;
  if (fault_ == McuFault::kRefuseLoad) return false;
  // The flipped byte sits in the middle of the image, past any label.
  if (fault_ == McuFault::kCorruptLoad && ram_pointer_ == kMcuRamSize / 2) value ^= 0xFF;
  ram_[kind][ram_pointer_] = value;
  ram_pointer_ = (ram_pointer_ + 1) % kMcuRamSize;
  return true;
}

void Sx1301Chip::recognise_image(int kind, std::vector<uint8_t> image, uint8_t version, McuProgram program) {
  std::lock_guard lock(mutex_);
  known_images_[kind & 1].emplace_back(std::move(image), version);
  known_programs_[kind & 1].push_back(program);
}
void Sx1301Chip::set_mcu_fault(McuFault fault) {
  std::lock_guard lock(mutex_);
  fault_ = fault;
}
std::vector<uint8_t> Sx1301Chip::mcu_ram(int kind) const {
  std::lock_guard lock(mutex_);
  return ram_[kind & 1];
}
uint8_t Sx1301Chip::firmware_version(int kind) const {
  std::lock_guard lock(mutex_);
  return version_locked(kind & 1);
}
void Sx1301Chip::on_release(std::function<void(int)> hook) {
  std::lock_guard lock(mutex_);
  release_hook_ = std::move(hook);
}

// ---- counter ----

uint32_t Sx1301Chip::count_locked() const { return uint32_t(counter_base_ + uint64_t(clock_())); }

void Sx1301Chip::set_clock(std::function<int64_t()> clock) {
  std::lock_guard lock(mutex_);
  clock_ = std::move(clock);
}
void Sx1301Chip::set_counter_base(uint32_t base) {
  std::lock_guard lock(mutex_);
  counter_base_ = base;
}
uint32_t Sx1301Chip::count() const {
  std::lock_guard lock(mutex_);
  return count_locked();
}
uint32_t Sx1301Chip::count_at(int64_t at_us) const {
  std::lock_guard lock(mutex_);
  return uint32_t(counter_base_ + uint64_t(at_us));
}
uint32_t Sx1301Chip::latched_count() const {
  std::lock_guard lock(mutex_);
  return latched_;
}
bool Sx1301Chip::gps_trigger_enabled() const {
  std::lock_guard lock(mutex_);
  return paged_[2][kGpsTrigger] & 1;
}
void Sx1301Chip::pps(int64_t at_us) {
  std::lock_guard lock(mutex_);
  const uint32_t at = uint32_t(counter_base_ + uint64_t(at_us));
  if (paged_[2][kGpsTrigger] & 1) latched_ = at;
  tx_->pps(at);
}

// ---- radio ----

void Sx1301Chip::push_uplink(const Uplink& frame) { rx_fifo_->push_uplink(frame); }

void Sx1301Chip::on_rx_status(std::function<void(bool)> callback) {
  rx_fifo_->on_level_change(callback);
  if (callback) callback(rx_fifo_->not_empty());
}

bool Sx1301Chip::radio_load(uint8_t address, uint8_t& out) {
  if (address >= kRxStatus && address < kRxStatus + RxFifoModel::kStatusBytes) {
    out = rx_fifo_->status()[address - kRxStatus];
    return true;
  }
  // Until a trigger is armed the transmit registers are plain bytes, so a
  // scenario can still poke them.
  if (page_ != 1 || !tx_used_) return false;
  if (address == kTxStatus) {
    out = tx_->status(count_locked());
    return true;
  }
  if (address == kTxCommand) {
    out = tx_->command();
    return true;
  }
  return false;
}

// True when the write is taken whole by the radio; the transmit controls are
// also kept as plain registers.
bool Sx1301Chip::radio_store(uint8_t address, uint8_t value) {
  if (address == kRxStatus) {
    rx_fifo_->pop();
    return true;
  }
  if (page_ != 1) return false;
  if (address == kTxCommand) {
    const TxGainRows rows{int8_t(paged_[1][TxBufferModel::kOffsetI]), int8_t(paged_[1][TxBufferModel::kOffsetQ]),
                          uint8_t(paged_[1][TxBufferModel::kDigitalGain] & 0x03)};
    tx_->write_command(value, count_locked(), rows);
    if (value & 0x07) {
      tx_used_ = true;
      if (const auto t = tx_->last()) tx_->set_airtime_us(airtime_of(*t));
    }
    return false;
  }
  if (address == kTxStartDelay || address == kTxStartDelay + 1) tx_->write_start_delay_byte(address - kTxStartDelay, value);
  return false;
}

// ---- data ports ----

void Sx1301Chip::attach_port(uint8_t data_address, std::shared_ptr<DataPort> port) {
  if (data_address != kRxData && data_address != kTxData) return;
  std::lock_guard lock(mutex_);
  ports_[data_address] = std::move(port);
}
std::shared_ptr<DataPort> Sx1301Chip::port(uint8_t data_address) const {
  std::lock_guard lock(mutex_);
  auto it = ports_.find(data_address);
  return it == ports_.end() ? nullptr : it->second;
}

// ---- bus ----

uint8_t Sx1301Chip::load(uint8_t address, uint32_t counter_snapshot) {
  if (address == kPageReg) return uint8_t((common_[kPageReg] & 0x7C) | page_);
  if (address == kVersionReg) return version_;
  if (address == kIdentityReg) return identity_;
  if (address == kMcuData) return mcu_read();
  if (uint8_t radio = 0; radio_load(address, radio)) return radio;
  if (uint8_t answer = 0; program_load(address, answer)) return answer;
  if (auto it = ports_.find(address); it != ports_.end() && it->second) return it->second->read_byte();
  if (page_ == 2) {
    if (address == kArbVersion) return version_locked(kArbiter);
    if (address == kAgcVersion)
      return paged_[2][kAgcMailbox] == kAgcAskTemperature ? cell(page_, address) : version_locked(kAgc);
    if (in_counter(address)) return uint8_t(counter_snapshot >> (8 * (address - kCounter)));
  }
  return cell(page_, address);
}

bool Sx1301Chip::store(uint8_t address, uint8_t value) {
  if (address > 0x7F || address == kVersionReg || address == kIdentityReg) return true;
  if (address == kPageReg) {
    if (value & kSoftResetBit) {
      reset_locked();
      return true;
    }
    page_ = value & kPageMask;
    common_[kPageReg] = value & 0x7C;
    return true;
  }
  if (address == kMcuData) return mcu_write(value);
  if (radio_store(address, value)) return true;
  if (auto it = ports_.find(address); it != ports_.end() && it->second) return it->second->write_byte(value);
  if (page_ == 2 && (address == kArbVersion || address == kAgcVersion || in_counter(address))) return true;
  const uint8_t before = cell(page_, address);
  cell(page_, address) = value;
  if (page_ == 2) radio_master_store(address, before, value);
  switch (address) {
    case kMcuAddr:
      ram_pointer_ = value;
      break;
    case kTxAddr:
      if (auto& p = ports_[kTxData]) p->set_address(value);
      break;
    case kRxAddrLow:
    case kRxAddrHigh:
      if (auto& p = ports_[kRxData]) p->set_address(uint32_t{common_[kRxAddrLow]} | uint32_t{common_[kRxAddrHigh]} << 8);
      break;
    default:
      break;
  }
  if (page_ == 0 && address == kMcuCtrl) {
    const uint8_t released = uint8_t(value & ~before);
    if (released & 0x08) program_started(kAgc);
    if (release_hook_ && (released & 0x04)) release_hook_(kArbiter);
    if (release_hook_ && (released & 0x08)) release_hook_(kAgc);
  }
  if (page_ == 0 && address == kMcuMailbox) mailbox_store(value);
  if (address == kHostRadioControl && !(value & 1) && (before & 1) &&
      program_locked(kAgc) == McuProgram::kCalibration)
    calibrate();
  return true;
}

void Sx1301Chip::read(uint8_t address, std::span<uint8_t> out) {
  std::lock_guard lock(mutex_);
  // A multi-byte read of the counter sees one instant.
  uint32_t snapshot = 0;
  if (page_ == 2 && address < kCounter + 4 && address + out.size() > kCounter)
    snapshot = (paged_[2][kGpsTrigger] & 1) ? latched_ : count_locked();
  for (size_t i = 0; i < out.size(); ++i) {
    const bool port = address == kMcuData || ports_.count(address);
    const size_t a = port ? address : address + i;
    out[i] = a <= 0x7F ? load(uint8_t(a), snapshot) : 0;
  }
}

bool Sx1301Chip::write(uint8_t address, std::span<const uint8_t> in) {
  std::lock_guard lock(mutex_);
  const bool port = address == kMcuData || ports_.count(address);
  for (size_t i = 0; i < in.size(); ++i) {
    const size_t a = port ? address : address + i;
    if (a > 0x7F) break;
    if (!store(uint8_t(a), in[i])) return false;
  }
  return true;
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
void Sx1301Chip::reset_locked() {
  restore_defaults();
  while (rx_fifo_->not_empty()) rx_fifo_->pop();
  tx_->write_command(0, count_locked());
  ++resets_;
}
void Sx1301Chip::hard_reset() {
  std::lock_guard lock(mutex_);
  reset_locked();
}
int Sx1301Chip::reset_count() const {
  std::lock_guard lock(mutex_);
  return resets_;
}

// ---- radio SPI master (page 2) ----

namespace {
constexpr uint8_t kRadioLines = 0x2B;
constexpr uint8_t kRadioReset = 0x04;

struct MasterRegs {
  uint8_t data, read_data, address, select;
};
constexpr MasterRegs kMaster[2] = {{0x21, 0x22, 0x23, 0x25}, {0x26, 0x27, 0x28, 0x2A}};
}  // namespace

void Sx1301Chip::attach_radio(int chain, std::shared_ptr<Sx125xRadio> radio) {
  std::lock_guard lock(mutex_);
  radios_[chain & 1] = std::move(radio);
  radio_lines();
}

// Called with the lock held: the radios follow the lines of 0x2B.
void Sx1301Chip::radio_lines() {
  const uint8_t lines = paged_[2][kRadioLines];
  for (int chain = 0; chain < 2; ++chain) {
    if (!radios_[chain]) continue;
    radios_[chain]->set_reset(lines & kRadioReset);
    radios_[chain]->set_enabled(lines & (1u << chain));
  }
}

// Power on and soft reset hold the radios in reset.
void Sx1301Chip::radio_master_defaults() {
  paged_[2][kRadioLines] = kRadioReset;
  radio_lines();
}

// Called with the lock held, after the byte was stored.
void Sx1301Chip::radio_master_store(uint8_t address, uint8_t before, uint8_t value) {
  if (address == kRadioLines) {
    radio_lines();
    return;
  }
  for (int chain = 0; chain < 2; ++chain) {
    const MasterRegs& m = kMaster[chain];
    if (address != m.select || (before & 1) || !(value & 1)) continue;
    const uint8_t target = paged_[2][m.address];
    const auto& radio = radios_[chain];
    if (target & 0x80) {
      if (radio) radio->write(target & 0x7F, paged_[2][m.data]);
    } else {
      paged_[2][m.read_data] = radio ? radio->read(target) : 0;
    }
  }
}

}  // namespace crx::sim
