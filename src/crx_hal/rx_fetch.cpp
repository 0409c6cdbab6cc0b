// The walk of one chip's receive FIFO: status, payload and metadata of the
// head entry, decode, pop, until the FIFO is empty or the batch is full.
#include "crx_hal/rx_fetch.h"

#include <array>

#include "crx_hal/brd_cfg.h"
#include "crx_hal/packet_counters.h"
#include "crx_hal/rxtx_deps.h"
#include "crx_hal/rxtx_rows.h"
#include "device/reg_access.h"
#include "device/reg_tables.h"
#include "errors.h"
#include "log.h"

namespace crx::rx {

namespace {

const crx_reg_t& row(int index) { return regs::kChipRegs[size_t(index)]; }

int pop_entry(uint8_t chip) { return regs::write_field(chip, row(rxtx_rows::kRxFifoStatus), 0); }

}  // namespace

int fetch_chip(uint8_t chip, Batch* batch, size_t max) {
  if (chip >= kBoardChips) {
    log_line("\nBrvDBG-HAL: %s  E R R O R  chip >= CRX_BOARD_CHIPS_NB ", __func__);
    return fail(ERR_BAD_BOARD_NB);
  }
  if (!batch) {
    log_line("\nBrvDBG-HAL: %s E R R O R  NULL pointers", __func__);
    return fail(ERR_NULL_PTR);
  }
  if (max > size_t(kMaxPackets)) {
    log_line("\nBrvDBG-HAL: %s E R R O R  max_nb > CRX_MAX_PKT_NB", __func__);
    return fail(ERR_UNSPECIFIED);
  }
  if (!brd_cfg_priv.chip_enable[chip]) return 0;
  if (batch->n + max > batch->e.size()) max = batch->e.size() - batch->n;

  size_t taken = 0;
  // Packets taken before a failing transfer stay in the batch and count.
  struct CountOnExit {
    size_t& taken;
    ~CountOnExit() { pkt_counters::add_uplink(uint32_t(taken)); }
  } count_on_exit{taken};
  std::array<uint8_t, kFifoStatusBytes> status_bytes{};
  std::array<uint8_t, 255 + kMetadataBytes> data{};
  while (taken < max) {
    if (regs::read_burst(chip, row(rxtx_rows::kRxFifoStatus), status_bytes.data(), kFifoStatusBytes) < 0)
      return -1;
    const FifoStatus status = parse_fifo_status(status_bytes);
    if (status.empty) break;
    if (status.crc_status == STAT_CRC_OK) pkt_counters::add_crc_ok();
    if (status.crc_status == STAT_CRC_BAD) pkt_counters::add_crc_bad();
    const uint32_t length = uint32_t(status.size) + kMetadataBytes;
    if (regs::read_burst(chip, row(rxtx_rows::kRxDataBuffer), data.data(), length) < 0) return -1;

    RxEntry& entry = batch->e[batch->n];
    const Decoded d = decode_packet(chip, status, std::span(data).first(length), &entry);
    if (d == Decoded::kPacket) {
      if (entry.pkt.if_chain % 10 <= kLoraStdChannel) {
        save_per_chan_stat(&entry.pkt);
        save_per_sf_stat(&entry.pkt);
      }
      ++batch->n;
      ++taken;
    }
    if (pop_entry(chip) < 0) return -1;
  }
  return int(taken);
}

}  // namespace crx::rx
