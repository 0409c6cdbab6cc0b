// SCM and SCM+ frames from the FPGA's meter receiver: channel set-up, one
// frame per poll, BCH correction (SCM) or CRC check (SCM+), extraction and
// the periodic statistics lines.
#include "meter/scm.h"

#include <cstddef>
#include <cstring>

#include "log.h"
#include "meter/crc16.h"

namespace crx::meter {
namespace {

// FPGA board rows of the meter receiver.
constexpr int kRowChannelAddress = 383;
constexpr int kRowChannelSelect = 384;
constexpr int kRowStatus = 385;
constexpr int kRowFrameData = 386;

constexpr int kChannels = 64;
constexpr int kBchM = 8;
constexpr int kBchT = 2;
constexpr unsigned kScmDataBytes = 8;
constexpr unsigned kScmDataBits = kScmDataBytes * 8;
constexpr uint32_t kStatsEvery = 101;
constexpr uint64_t kFetchLogEvery = 1000;

// Physical tamper (bits 7-6) and encoder tamper (bits 1-0) of byte 1; the
// bits between them are the ERT type.
constexpr uint8_t kScmTamperMask = 0xC3;

CgStatistics stats{};
// The one codec of the process, created by crx_cg_init.
crx_bch_t* codec = nullptr;

uint32_t be32(const uint8_t* b) {
  return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | uint32_t{b[3]};
}

int cg_init_chan(int chan) {
  if (crx_reg_brd_w(0, kRowChannelAddress, chan) < 0) {
    log_line("BRV_HAL: ERROR in %s, failed to set address", __func__);
    return -1;
  }
  if (crx_reg_brd_w(0, kRowChannelSelect, 1) < 0) {
    log_line("BRV_HAL: ERROR in %s, failed to set select", __func__);
    return -1;
  }
  return 0;
}

void log_statistics() {
  log_line("BRV_HAL: Received packet statistics:");
  log_line("      Total packets received: %u", stats.frames - 1);
  log_line("      Total SCM packets: %u", stats.scm);
  log_line("      BCH decoding failures: %u", stats.bch_failures);
  log_line("      BCH with 1 bit error: %u", stats.bch_one);
  log_line("      BCH with 2 bit errors: %u", stats.bch_two);
  log_line("      BCH with 3 or more bit errors: %u", stats.bch_three_or_more);
  log_line("      ");
  log_line("      Total SCM+ packets: %u", stats.scm_plus);
  log_line("      SCM+ packets with crc errors: %u", stats.crc_errors);
}

// Checks and corrects an SCM frame in place; true when it may be delivered.
bool check_scm(uint8_t* frame, crx_cg_pkt_t& pkt) {
  unsigned locations[kBchT] = {};
  const int errors = decode_bch(codec, frame, kScmDataBytes, frame + kScmDataBytes, locations);
  if (errors < 0) {
    ++stats.bch_failures;
    return false;
  }
  if (errors > kBchT) {
    ++stats.bch_three_or_more;
    return false;
  }
  if (errors == 1) ++stats.bch_one;
  if (errors == 2) ++stats.bch_two;
  for (int i = 0; i < errors; ++i) {
    if (locations[i] >= kScmDataBits) {
      ++stats.parity_errors;
      return false;
    }
  }
  pkt.nb_err = uint8_t(errors);
  correct_bch(codec, frame, kScmDataBytes, locations, errors);
  return true;
}

bool check_scm_plus(const uint8_t* frame) {
  const uint16_t received = uint16_t(frame[12] << 8 | frame[13]);
  if (crc16_genibus({frame, 12}) != received) {
    ++stats.crc_errors;
    return false;
  }
  return frame[0] == kScmPlusProtocolId;
}

// One frame, from the status word on; false when it was dropped or could
// not be read.
bool take_frame(int32_t status, crx_cg_pkt_t& pkt) {
  ++stats.frames;
  if (stats.frames % kStatsEvery == 0) log_statistics();
  const bool plus = status & 0x02;
  const size_t length = plus ? kScmPlusFrameLength : kScmFrameLength;
  pkt.type = plus ? 1 : 0;
  ++(plus ? stats.scm_plus : stats.scm);
  pkt.chan = uint8_t((status >> 2) & 0x3F);

  uint8_t frame[kScmPlusFrameLength + kTimestampLength] = {};
  if (crx_reg_brd_rb(0, kRowFrameData, frame, uint32_t(length + kTimestampLength)) < 0) {
    log_line("BRV_HAL: ERROR in %s, could not read data: %d", "crx_cg_fetch", -1);
    return false;
  }
  if (plus) {
    if (!check_scm_plus(frame)) return false;
    extract_scm_plus(std::span<const uint8_t, kScmPlusFrameLength>(frame, kScmPlusFrameLength), pkt);
  } else {
    if (!check_scm(frame, pkt)) return false;
    extract_scm(std::span<const uint8_t, kScmFrameLength>(frame, kScmFrameLength), pkt);
  }
  pkt.timestamp = be32(frame + length);
  pkt.valid = 1;
  return true;
}

void count_call() {
  ++stats.calls;
  if (stats.calls % kFetchLogEvery == 0)
    log_line("BRV_HAL: fetch total: %llu, no pkt poll: %llu", static_cast<unsigned long long>(stats.calls),
             static_cast<unsigned long long>(stats.empty_polls));
}

}  // namespace

const CgStatistics& cg_statistics() { return stats; }

void extract_scm(std::span<const uint8_t, kScmFrameLength> f, crx_cg_pkt_t& pkt) {
  pkt.ert_type = uint8_t((f[1] >> 2) & 0x0F);
  pkt.id = uint32_t((f[0] >> 1) & 3) << 24 | uint32_t{f[5]} << 16 | uint32_t{f[6]} << 8 | f[7];
  pkt.consumption = uint32_t{f[2]} << 16 | uint32_t{f[3]} << 8 | f[4];
  pkt.tamper = uint16_t(f[1] & kScmTamperMask);
}

void extract_scm_plus(std::span<const uint8_t, kScmPlusFrameLength> f, crx_cg_pkt_t& pkt) {
  pkt.ert_type = f[1];
  pkt.id = be32(&f[2]);
  pkt.consumption = be32(&f[6]);
  pkt.tamper = uint16_t(f[10] << 8 | f[11]);
}

}  // namespace crx::meter

using crx::log_line;
using namespace crx::meter;

static_assert(sizeof(crx_cg_pkt_t) == 24);
static_assert(offsetof(crx_cg_pkt_t, timestamp) == 4);
static_assert(offsetof(crx_cg_pkt_t, ert_type) == 8);
static_assert(offsetof(crx_cg_pkt_t, id) == 12);
static_assert(offsetof(crx_cg_pkt_t, consumption) == 16);
static_assert(offsetof(crx_cg_pkt_t, tamper) == 20);

extern "C" {

int crx_cg_init(void) {
  for (int chan = 0; chan < kChannels; ++chan) {
    if (cg_init_chan(chan) < 0) {
      log_line("BRV_HAL: ERROR in %s, failed to init chan", __func__);
      return -1;
    }
  }
  // A second start must not leak the first codec.
  free_bch(codec);
  codec = init_bch(kBchM, kBchT, 0);
  if (!codec) {
    log_line("BRV_HAL: ERROR in %s, failed to init bch decoder", __func__);
    return -1;
  }
  return 0;
}

int crx_cg_fetch(crx_cg_pkt_t* pkt) {
  if (!pkt) {
    log_line("BRV_HAL: ERROR in %s, null pointer", __func__);
    return -1;
  }
  std::memset(pkt, 0, sizeof *pkt);
  if (!codec) {
    // Without the codec no SCM frame could be checked; leave the FPGA's
    // queue alone rather than consume frames that would all be lost.
    log_line("BRV_HAL: ERROR in %s, bch decoder not initialized", __func__);
    return -1;
  }
  int32_t status = 0;
  if (crx_reg_brd_r(0, kRowStatus, &status) < 0) {
    log_line("BRV_HAL: ERROR in %s, failed to read status: %d", __func__, -1);
    return -1;
  }
  if (!(status & 0x01)) {
    ++stats.empty_polls;
  } else if (!take_frame(status, *pkt)) {
    return -1;
  }
  count_call();
  return 0;
}

int crx_cg_close(void) {
  free_bch(codec);
  codec = nullptr;
  return 0;
}

}  // extern "C"
