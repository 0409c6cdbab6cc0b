// The concentrator's private board state and the regional frequency limits:
// what crx_conf_board, crx_conf_chip and crx_conf_chan accept, for start,
// receive and transmit to read. One instance each, process-wide, zero at
// load. No lock: configuration runs before start, from one thread.
#pragma once

#include <cstdint>

#include "crx.h"

namespace crx {

// A frequency at or below this is refused (CRX_MIN_FREQ is 10000000 Hz).
inline constexpr uint32_t kMinFreqHz = 10000000;
inline constexpr int kBoardChips = 8;    // CRX_BOARD_CHIPS_NB
inline constexpr int kChipChannels = 10; // CRX_CHIP_CHAN_NB: 0-7 multi-SF, 8 LoRa, 9 FSK
inline constexpr int kMaxBoards = 1;     // CRX_MAX_BOARD_NB: only board 0
inline constexpr int kRfChains = 2;
inline constexpr int kMultiSfChannels = 8;
inline constexpr uint8_t kLoraStdChannel = 8;
inline constexpr uint8_t kFskChannel = 9;

// Database region records of this version and later carry the frequency
// limits, the LO frequencies and the receive bandwidth.
inline constexpr int kRegionRecordVersion = 4;

struct brd_rf_chain_priv_t {
  bool rx_enable;
  bool tx_enable;
  float rssi_offset;
  int16_t rssi_offset_coeff_a;
  int16_t rssi_offset_coeff_b;
  // Room for the chain's gain table; the transmit path owns its contents.
  crx_tx_gain_t tx_gain[16];
  uint8_t tx_gain_count;
};

struct brd_cfg_priv_t {
  bool running;  // set by start, cleared by stop
  bool full_start;
  uint32_t rx_freq;    // Hz, receive centre of the board
  uint32_t freq_band;  // crx_freq_band_t
  brd_rf_chain_priv_t rf_chain[kRfChains];
  uint32_t fsk_sync[2];  // sync word left-aligned in 64 bits: [0] upper half, [1] lower half
  uint8_t fsk_sync_size;
  bool loramac_public;
  bool chip_enable[kBoardChips];
  uint8_t chip_rf_chain[kBoardChips];
  uint32_t chip_freq[kBoardChips];
  uint32_t chan_enable[kBoardChips][kChipChannels];
  uint32_t chan_freq[kBoardChips][kChipChannels];
  uint8_t multisf_mask[kBoardChips][kMultiSfChannels];  // crx_sf_t masks
  uint32_t std_bandwidth[kBoardChips];  // crx_bw_t of channel 8
  uint8_t std_sf[kBoardChips];          // SF number (7-12) of channel 8
  uint32_t fsk_bandwidth[kBoardChips];  // crx_bw_t of channel 9
  uint32_t fsk_bitrate[kBoardChips];    // bit/s of channel 9
  uint8_t calibration_temperature_celsius_room;
  uint8_t calibration_temperature_code_ad9361;
  // The active listen-before-talk table; its `enabled` word is the board's
  // lbt_enable. Entries sorted by maximum TX power after configuration.
  crx_lbt_cfg_t lbt;
};

extern brd_cfg_priv_t brd_cfg_priv;

// Stores a sync word of `size` bytes (its first byte the most significant)
// left-aligned; a size of 0 stores the word as given.
void store_fsk_sync(uint64_t sync, uint8_t size);
uint64_t fsk_sync_word();

// Regional limits in Hz, bounds inclusive.
struct region_limits_t {
  uint32_t rx_min;
  uint32_t rx_max;
  uint32_t tx_min;
  uint32_t tx_max;
};
extern region_limits_t region_limits;

// The database's region record; Version is -1 until it has been read.
// Its Max_DL_Power_dBm is the board's maximum transmit power.
extern cx_rf_region_info_t rfRegionInfo;

// The region loader: reads the region record once per process and sets the
// limits from it (version 4 and later) or from the static table of `band`.
// 0, or -1 when the record cannot be read (logged; crx_errno untouched).
int load_region_limits(uint32_t band);

// True once a region record of version 4 or later has been read.
inline bool region_from_database() { return rfRegionInfo.Version >= kRegionRecordVersion; }

// A database frequency in MHz as Hz rounded to whole kHz; negative, NaN and
// out-of-range values give 0 or the largest whole-kHz value.
uint32_t mhz_to_hz(float mhz);

}  // namespace crx

namespace crx {

// Texts of the modem checks, which differ between the board families.
struct channel_texts_t {
  const char* who;
  const char* multi_sf_line;  // logged for channels 0-7, or null
  const char* std_line;       // logged for channel 8, or null
  const char* multi_bandwidth;
  const char* std_bandwidth;
  const char* multi_modrate;
};

// Checks the modem part of an enabled channel's record (bandwidth and data
// rate for its kind) and stores it: 0, or -1 with the code set and nothing
// of the modem part stored.
int store_channel_modem(uint8_t chip, uint8_t chan, const crx_chan_cfg_t& cfg, const channel_texts_t& texts);

// Refuses a null configuration record: logs it for `who`, code 3, -1.
int refuse_null_record(const char* who);

}  // namespace crx
