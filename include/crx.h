/*
 * libcrx: radio-side hardware abstraction library of the Ostra LoRa gateways.
 *
 * The one public header. Plain C records, enumerations, exported variables
 * and functions; it compiles as C99 and as C++. Results are 0 on success and
 * -1 on failure with a code left in crx_errno, unless a function says
 * otherwise.
 */
#ifndef CRX_H
#define CRX_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include <semaphore.h>

#if defined(CRX_BUILDING_LIBRARY)
#define CRX_API __attribute__((visibility("default")))
#else
#define CRX_API
#endif

#if defined(__GNUC__)
#define CRX_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define CRX_PRINTF(fmt, args)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ======================================================================== */
/* Errors and logging                                                        */
/* ======================================================================== */

typedef enum crx_err_e {
  ERR_NONE = 0,
  ERR_SPI_READ = 1,
  ERR_SPI_WRITE = 2,
  ERR_NULL_PTR = 3,
  ERR_BAD_BOARD_NB = 4,
  ERR_BAD_CHIP_NB = 5,
  ERR_BAD_DSP_NB = 6,
  ERR_BAD_CHAN_NB = 7,
  ERR_BAD_RFCHAIN_NB = 8,
  ERR_FPGA_VERSION_ZERO = 9,
  ERR_FPGA_VERSION = 10,
  ERR_CHIP_VERSION_ZERO = 11,
  ERR_CHIP_VERSION = 12,
  ERR_CHIP_ID = 13,
  ERR_BAD_CONFIG = 14,
  ERR_BOARD_RUNNING = 15,
  ERR_FREQ_OUT_OF_BAND = 16,
  ERR_NO_RX_RFCHAIN = 17,
  ERR_MAX_IF = 18,
  ERR_CHIP_DISABLED = 19,
  ERR_BAD_SF = 20,
  ERR_BAD_BITRATE = 21,
  ERR_BAD_BW = 22,
  ERR_BAD_MODULATION = 23,
  ERR_BAD_CHANNEL = 24,
  ERR_BAD_TX_LUT = 25,
  ERR_BAD_TX_MODE = 26,
  ERR_FPGA_PLL_LOCK = 27,
  ERR_AGC_FW_VERSION = 28,
  ERR_ARB_FW_VERSION = 29,
  ERR_WRONG_STATE = 30,
  ERR_DSP_PLL_LOCK = 31,
  ERR_DSP_BOOT = 32,
  ERR_DSP_SIGNATURE = 33,
  ERR_FINE_TS_NOT_ALLOWED = 34,
  ERR_AGC_INIT = 35,
  ERR_UBX_SEND = 36,
  ERR_UBX_ACK = 37,
  ERR_AD9361_VERSION = 38,
  ERR_AD9361_ALERT = 39,
  ERR_AD9361_CP_CAL = 40,
  ERR_AD9361_BBPLL_LOCK = 41,
  ERR_AD9361_RXPLL_LOCK = 42,
  ERR_AD9361_TXPLL_LOCK = 43,
  ERR_AD9361_RX_BBF_CAL = 44,
  ERR_AD9361_TX_BBF_CAL = 45,
  ERR_AD9361_AGC_TABLE = 46,
  ERR_AD9361_RX_FIR = 47,
  ERR_AD9361_TX_FIR = 48,
  ERR_AD9361_RX_BBDC_CAL = 49,
  ERR_AD9361_RX_RFDC_CAL = 50,
  ERR_AD9361_RX_QUAD_CAL = 51,
  ERR_AD9361_TX_QUAD_CAL = 52,
  ERR_AD9361_TDD_TEST = 53,
  ERR_BAD_FREQ_BAND = 54,
  ERR_SPI_OPEN = 55,
  ERR_RX_FETCH = 56,
  /* 57 to 59 are not assigned. */
  ERR_BAD_CHAN_CONFIG = 60,
  ERR_BAD_CHAN_GROUPING = 61,
  ERR_LBT_BUSY = 62,
  ERR_LBT_TOA_TOO_LONG = 63,
  ERR_LBT_NO_TOA_ENTRY = 64,
  ERR_NOT_SYNCED = 65,
  ERR_LOC_FETCH_TIMEOUT = 66,
  ERR_TOO_LATE = 67,
  ERR_FETCH_TIMEOUT = 68,
  ERR_UNSPECIFIED = 69
} crx_err_t;

/* Code of the last failure in any thread; success never clears it. */
extern CRX_API int crx_errno;

CRX_API const char *crx_err_message(int code);
CRX_API int crx_console_log_enable(int enable);
CRX_API void LogToConsole(const char *fmt, ...) CRX_PRINTF(1, 2);
CRX_API void LogToSyslog(const char *fmt, ...) CRX_PRINTF(1, 2);

/* Array dumps: flags bit 0 = console, bit 1 = syslog. */
#define CRX_LOG_CONSOLE 0x01u
#define CRX_LOG_SYSLOG 0x02u
CRX_API void LogBytes(unsigned flags, const uint8_t *data, unsigned count, unsigned per_line,
                      const char *title_fmt, ...) CRX_PRINTF(5, 6);
CRX_API void LogWords(unsigned flags, const uint16_t *data, unsigned count, unsigned per_line,
                      const char *title_fmt, ...) CRX_PRINTF(5, 6);
CRX_API void LogLongwords(unsigned flags, const int32_t *data, unsigned count, unsigned per_line,
                          const char *title_fmt, ...) CRX_PRINTF(5, 6);

/* ======================================================================== */
/* Configuration records and value conversions                               */
/* ======================================================================== */

/* Modulation. */
enum { MOD_UNDEFINED = 0, MOD_LORA = 1, MOD_FSK = 2 };

/* Bandwidth. */
typedef enum crx_bw_e {
  BW_UNDEFINED = 0,
  BW_500KHZ = 1,
  BW_250KHZ = 2,
  BW_125KHZ = 3,
  BW_62K5HZ = 4,
  BW_31K2HZ = 5,
  BW_15K6HZ = 6,
  BW_7K8HZ = 7
} crx_bw_t;

/* Spreading factor: one bit per SF (bit number = SF - 6). */
typedef enum crx_sf_e {
  MR_UNDEFINED = 0x00,
  DR_LORA_SF7 = 0x02,
  DR_LORA_SF8 = 0x04,
  DR_LORA_SF9 = 0x08,
  DR_LORA_SF10 = 0x10,
  DR_LORA_SF11 = 0x20,
  DR_LORA_SF12 = 0x40,
  DR_LORA_MULTI = 0x7E
} crx_sf_t;

/* Coding rate. */
typedef enum crx_cr_e {
  CR_UNDEFINED = 0,
  CR_LORA_4_5 = 1,
  CR_LORA_4_6 = 2,
  CR_LORA_4_7 = 3,
  CR_LORA_4_8 = 4
} crx_cr_t;

/* CRC status of a received packet. */
enum { STAT_UNDEFINED = 0, STAT_NO_CRC = 1, STAT_CRC_BAD = 2, STAT_CRC_OK = 3 };

/* Transmit mode. */
enum { TX_IMMEDIATE = 0, TX_TIMESTAMPED = 1, TX_ON_GPS = 2 };

/* Frequency band. */
typedef enum crx_freq_band_e {
  FREQ_BAND_UNDEFINED = 0,
  FREQ_BAND_EU868 = 1,
  FREQ_BAND_US915 = 2,
  FREQ_BAND_US_FULL_ISM = 3,
  FREQ_BAND_923_933 = 4,
  FREQ_BAND_AS923_J = 5
} crx_freq_band_t;

/* One listen-before-talk entry: six 32-bit words. */
typedef struct crx_lbt_entry_s {
  int32_t max_tx_power_dbm;
  uint32_t min_freq_hz;
  uint32_t max_freq_hz;
  int32_t max_talk_time_ms;
  int32_t listen_time_us;
  int32_t threshold_dbm;
} crx_lbt_entry_t;

#define CRX_LBT_MAX_ENTRIES 16

/* Listen-before-talk configuration (392 bytes). */
typedef struct crx_lbt_cfg_s {
  int32_t enabled; /* "required" in the database's record */
  uint8_t count;
  crx_lbt_entry_t entries[CRX_LBT_MAX_ENTRIES];
} crx_lbt_cfg_t;

/* Per RF chain part of the board configuration. */
typedef struct crx_rf_chain_cfg_s {
  bool rx_enable;
  bool tx_enable;
  float rssi_offset;
  int16_t rssi_offset_coeff_a;
  int16_t rssi_offset_coeff_b;
  uint8_t reserved[260]; /* not read by the library */
} crx_rf_chain_cfg_t;

typedef struct crx_board_cfg_s {
  uint32_t reserved[2];
  bool full_start;
  uint32_t freq_band; /* crx_freq_band_t */
  uint32_t rx_freq;
  crx_rf_chain_cfg_t rf_chain[2];
  uint64_t fsk_sync;
  uint8_t fsk_sync_size;
  bool loramac_public;
  uint8_t calibration_temperature_celsius_room;
  uint8_t calibration_temperature_code_ad9361;
  crx_lbt_cfg_t lbt;
} crx_board_cfg_t;

typedef struct crx_chip_cfg_s {
  bool enable;
  uint32_t freq_hz;
  uint8_t rf_chain;
} crx_chip_cfg_t;

typedef struct crx_chan_cfg_s {
  bool enable;
  uint32_t freq_hz;
  uint32_t modrate;   /* LoRa: crx_sf_t mask; FSK: bit rate in bit/s */
  uint32_t bandwidth; /* crx_bw_t */
} crx_chan_cfg_t;

#define CRX_PAYLOAD_MAX 255

typedef struct crx_tx_pkt_s {
  uint32_t tx_mode;
  uint32_t count_us;
  uint32_t freq_hz;
  float rf_power;
  uint8_t rf_chain;
  uint8_t carrier;
  uint32_t modulation;
  uint32_t bandwidth;
  uint32_t datarate;
  uint32_t coderate;
  uint8_t f_dev;
  uint16_t preamble;
  bool invert_pol;
  bool no_crc;
  bool no_header;
  uint8_t size;
  uint8_t reserved;
  bool gps_time_en;
  uint32_t gps_sec;
  uint32_t gps_subsec;
  uint8_t payload[CRX_PAYLOAD_MAX];
} crx_tx_pkt_t;

/* Reception on one RF chain. */
typedef struct crx_rsig_s {
  bool valid;
  uint8_t fine_ts_flag;
  uint8_t chan;
  int32_t freq_offset_hz;
  uint32_t fine_ts_gps_s;
  uint32_t fine_ts_ns;
  uint32_t fine_ts_ns_adj;
  float rssi;
  uint32_t reserved[2];
  float snr;
  float snr_min;
  float snr_max;
  float time_accuracy_ns;
  float freq_accuracy_hz;
} crx_rsig_t;

typedef struct crx_rx_pkt_s {
  uint32_t status;
  uint32_t freq_hz;
  uint32_t count_us;
  uint32_t modulation;
  uint32_t bandwidth;
  uint32_t datarate;
  uint32_t coderate;
  uint8_t if_chain;
  uint8_t size;
  uint16_t crc;
  uint8_t payload[CRX_PAYLOAD_MAX];
  crx_rsig_t rsig[8];
} crx_rx_pkt_t;

/* 16 bytes; the library reads none of its fields. */
typedef struct crx_tx_gain_s {
  int32_t value0;
  uint8_t value1;
  uint16_t value2;
  uint8_t value3;
  uint16_t value4;
  uint16_t value5;
  uint16_t value6;
} crx_tx_gain_t;

CRX_API crx_board_cfg_t *crx_init_board_cfg(crx_board_cfg_t *cfg);
CRX_API crx_chip_cfg_t *crx_init_chip_cfg(crx_chip_cfg_t *cfg);
CRX_API crx_chan_cfg_t *crx_init_chan_cfg(crx_chan_cfg_t *cfg);
CRX_API crx_tx_pkt_t *crx_init_tx_pkt(crx_tx_pkt_t *pkt);
CRX_API crx_tx_gain_t *crx_init_tx_gain(crx_tx_gain_t *gain);

CRX_API crx_sf_t crx_sf_nb2enum(int sf);
CRX_API int crx_sf_enum2nb(crx_sf_t sf);
CRX_API crx_sf_t crx_sf_range_nb2enum(int a, int b);
CRX_API int crx_sf_min_enum2nb(crx_sf_t sf);
CRX_API int crx_sf_max_enum2nb(crx_sf_t sf);
CRX_API crx_cr_t crx_cr_nb2enum(int n);
CRX_API int crx_cr_enum2nb(crx_cr_t cr);
CRX_API const char *crx_cr_enum2str(crx_cr_t cr);
CRX_API crx_bw_t crx_bw_nb2enum(int hz);
CRX_API int crx_bw_enum2nb(crx_bw_t bw);
CRX_API int ppm_mode_en(crx_bw_t bw, int sf);

CRX_API uint32_t bytes_be_to_uint32_le(const uint8_t *p);
CRX_API uint32_t bytes_le_to_uint32_le(const uint8_t *p);
CRX_API uint16_t bytes_be_to_uint16_le(const uint8_t *p);
CRX_API int16_t bytes_be_to_int16_le(const uint8_t *p);
CRX_API uint16_t bytes_le_to_uint16_le(const uint8_t *p);
CRX_API uint64_t bytes_be_to_uint64_le(const uint8_t *p);
CRX_API float bytes_to_float(const uint8_t *p);

CRX_API int float_to_signed_fpga(int32_t *out, uint8_t total, uint8_t int_bits, float value);
CRX_API int float_to_unsigned_fpga(uint32_t *out, uint8_t total, uint8_t int_bits, float value);
CRX_API int signed_fpga_to_float(uint32_t raw, float *out, uint8_t total, uint8_t int_bits);
CRX_API int unsigned_fpga_to_float(uint32_t raw, float *out, uint8_t total, uint8_t int_bits);

CRX_API void crx_calculate_fletcher_checksum(const uint8_t *data, unsigned len, uint8_t *ck_a,
                                             uint8_t *ck_b);
CRX_API void crx_wait_us(unsigned us);
CRX_API void crx_wait_ms(unsigned ms);

/* ======================================================================== */
/* Base64 codec                                                              */
/* ======================================================================== */

CRX_API int bin_to_b64_nopad(const uint8_t *in, int size, char *out, int max);
CRX_API int b64_to_bin_nopad(const char *in, int size, uint8_t *out, int max);
CRX_API int bin_to_b64(const uint8_t *in, int size, char *out, int max);
CRX_API int b64_to_bin(const char *in, int size, uint8_t *out, int max);

/* ======================================================================== */
/* Board identification                                                      */
/* ======================================================================== */

typedef enum crx_board_type_e {
  CRX_BOARD_UNKNOWN = 0,
  CRX_BOARD_CONDOR_NA = 1,
  CRX_BOARD_CONDOR_EU = 2,
  CRX_BOARD_CONDOR_JP = 3,
  CRX_BOARD_CALDER_CONDOR = 4,
  CRX_BOARD_OPAL = 5,
  CRX_BOARD_PLOVER = 6,
  CRX_BOARD_HERON_FDD = 7,
  CRX_BOARD_HERON_TDD = 8,
  CRX_BOARD_HERON_PLOVER_NORVIK = 9,
  CRX_BOARD_HERON_CALDER = 10,
  CRX_BOARD_HERON_RAIL = 11,
  CRX_BOARD_WREN_TDD = 12,
  CRX_BOARD_SCM = 13,
  CRX_BOARD_TAMAR = 14,
  CRX_BOARD_WREN_OUTDOOR = 15
} crx_board_type_t;

/* The identified board (a crx_board_type_t) and its SX1301 chip count. */
extern CRX_API uint32_t board_type;
extern CRX_API int32_t num_sx1301_chips;

/* Module identity as crx_get_module_id reports it. */
typedef struct crx_module_id_s {
  char module_name[17];
  char module_product_code[17];
  char module_revision[3];
  char module_serial_number[17];
  char gateway_id[17]; /* the "Customer_Gateway_ID" column */
} crx_module_id_t;

/* Reads the PCBA (and for some boards the module) product code from the
   commissioning database; never fails, an unknown board is a Condor NA. */
CRX_API crx_board_type_t get_board_type(void);
/* SX1301 chip count: the database's value when it has one, else by type. */
CRX_API int get_num_chips(crx_board_type_t type);
CRX_API int crx_get_module_id(crx_module_id_t *out);

/* Exports the chip's receive-status GPIO line as a rising-edge, active-high
 * input; a line already exported is left as it is. 0 or the failing GPIO
 * step's result. */
CRX_API int setup_rx_status_pin(uint8_t chip);

/* ======================================================================== */
/* SPI and GPIO device layer                                                 */
/* ======================================================================== */

/* ======================================================================== */
/* Register access                                                           */
/* ======================================================================== */

/* One register field of the FPGA or of an SX1301, named by its row in the
   library's tables. */
typedef struct crx_reg_s {
  int8_t page;           /* -1: present on every page, no page selection */
  uint16_t address;
  uint8_t offset;        /* position of the field's lowest bit in its first byte */
  bool is_signed;        /* two's complement field */
  uint8_t width;         /* 1 to 32 bits */
  bool read_only;        /* writes are refused */
  int32_t default_value; /* reset value of the hardware; never written by the library */
} crx_reg_t;

/* Register path of the board: the FPGA port on the large boards, the Wren
   ports on the small ones. Only board number 0 exists (code 4 otherwise). */
CRX_API int crx_reg_setup(int board);
/* Closes what crx_reg_setup opened. 0, or -1 (code 55) when a Wren port
   would not close. */
CRX_API int crx_reg_close(void);
/* True while the FPGA port is open. */
CRX_API bool crx_reg_isSpiInitialized(void);
/* Soft reset of the FPGA (large boards) or of every SX1301 (Wren boards). */
CRX_API int crx_reg_reset(int board);
/* Two resets, then the FPGA version and every SX1301's version and identity:
   codes 9, 11, 12 and 13 for a board that does not answer as it should. */
CRX_API int crx_reg_init(int board);

/* One register field by its row in the FPGA (board) or SX1301 (chip) table:
   bit-field extraction, sign extension and read-modify-write included.
   Bad rows, null pointers and read-only rows give code 69 before any bus
   traffic; a failed read gives code 1, a failed write code 2. On the Wren
   boards the FPGA registers do not exist: board-register calls give 69. */
CRX_API int crx_reg_brd_r(int board, int index, int32_t *value);
CRX_API int crx_reg_brd_w(int board, int index, int32_t value);
CRX_API int crx_reg_chip_r(int board, int chip, int index, int32_t *value);
CRX_API int crx_reg_chip_w(int board, int chip, int index, int32_t value);
/* Raw bytes from a row's address (no field handling). The FPGA port moves
   at most CRX_REG_BURST_MAX bytes in one burst: a longer one fails with
   code 1 (read) or 2 (write) and no traffic. On the Wren boards a longer
   burst goes in 1024-byte chunks, each after the same command byte. */
#define CRX_REG_BURST_MAX 8192u
CRX_API int crx_reg_brd_rb(int board, int index, uint8_t *data, uint32_t length);
CRX_API int crx_reg_brd_wb(int board, int index, const uint8_t *data, uint32_t length);
CRX_API int crx_reg_chip_rb(int board, int chip, int index, uint8_t *data, uint32_t length);
CRX_API int crx_reg_chip_wb(int board, int chip, int index, const uint8_t *data, uint32_t length);

/* One transaction on the FPGA's SPI bridge to the AD9361: tx_count bytes
   out, then rx_count answer bytes in; together at most CRX_SPIBDG_MAX. */
#define CRX_SPIBDG_MAX 16u
CRX_API int crx_spibdg_w_r(int board, const uint8_t *tx, uint32_t tx_count, uint8_t *rx,
                           uint32_t rx_count);
/* One AD9361 field (a row of the AD9361 field table) through the bridge. */
CRX_API int crx_ad9361_r(int board, int index, uint8_t *value);
CRX_API int crx_ad9361_w(int board, int index, uint8_t value);
/* Byte hooks of the AD9361 driver: `count` registers from `address`
   downwards, one bridge transaction each. `device` is not used. 0, or -1
   at the first failing transaction, for a count of 0 or for a range that
   leaves the transceiver's 10-bit address space. */
CRX_API int platform_spi_write(void *device, uint16_t address, const uint8_t *data, uint32_t count);
CRX_API int platform_spi_read(void *device, uint16_t address, uint8_t *data, uint32_t count);

/* ======================================================================== */
/* Commissioning database                                                    */
/* ======================================================================== */

/* Flash storage of the database image. Offsets count from the start of the
   commissioning area; results are byte counts (possibly short) or -1. */
CRX_API int LddFlashReadCommissionDb(uint32_t offset, void *buffer, size_t length);
CRX_API int LddFlashWriteCommissionDb(uint32_t offset, const void *buffer, size_t length);
/* Erases every sector that covers [0, length) of the area: 0 or -1. */
CRX_API int LddFlashEraseCommissionDb(size_t length);
CRX_API int LddFlashCloseCommissionDb(void);

/* The unit's identity, region and option columns of table "Configuration".
   The three modem fields carry a leading 'M' (a name cannot start with a
   digit). ifhwaddr reads this record, so its layout is fixed. */
typedef struct cx_config_table_s {
  int32_t Version;
  char Module_Name[18];
  char Module_Product_Code[18];
  char PCBA_Product_Code[18];
  char Duplexer1_Product_Code[18];
  char Duplexer2_Product_Code[18];
  char M3G_4G_Modem_Product_Code[18];
  char Factory_ID[6];
  char Vendor_ID[10];
  char Operating_Band[18];
  float Min_UL_Frequency_MHz;
  float Max_UL_Frequency_MHz;
  float Min_DL_Frequency_MHz;
  float Max_DL_Frequency_MHz;
  float Min_DL_Power_dBm;
  float Max_DL_Power_dBm;
  float Tx_Bandwidth_MHz;
  float Rx_Bandwidth_MHz;
  float Tx_LO_MHz;
  float Rx_LO_MHz;
  int32_t Tx_FIR_Index;
  int32_t Rx_FIR_Index;
  char Module_Revision[4];
  char Module_Serial_Number[18];
  char PCBA_Revision[4];
  char PCBA_Serial_Number[18];
  char Duplexer1_Revision[4];
  char Duplexer1_Serial_Number[18];
  char Duplexer2_Revision[4];
  char Duplexer2_Serial_Number[18];
  char M3G_4G_Modem_Revision[4];
  char M3G_4G_Modem_Serial_Number[18];
  int32_t Mfg_Year;
  int32_t Mfg_Week;
  char Test_Station_ID[18];
  int32_t Tested_Year;
  int32_t Tested_Week;
  char PCBA_MAC_Address[14];
  char PCBA_IP_Address[16];
  char Customer_Gateway_ID[18];
  char Customer_Inventory_Name[18];
  char Customer_Inventory_Product_Code[18];
  char Customer_Inventory_Revision[4];
  char Customer_Inventory_Serial_Number[18];
  char Customer_Key1[18];
  char Customer_Key2[18];
  char Customer_Boot_Configuration[10];
  char Customer_Runtime_Configuration[10];
  int32_t Num_of_SX1301s;
  int32_t Tx_Lbt_required;
  int32_t Tx_Lbt_max_threshold;
} cx_config_table_t;

/* Table "Tx": AD936x attenuation and corrections, VCXO calibration. */
typedef struct cx_tx_dig_gain_table_s {
  int32_t Version;
  int32_t AD936x_TX1_Atten_MSB;
  int32_t AD936x_TX1_Atten_LSB;
  int32_t AD936x_TX2_Atten_MSB;
  int32_t AD936x_TX2_Atten_LSB;
  float Temperature_degC;
  int32_t TX1_Phase_Corr;
  int32_t TX1_Gain_Corr;
  int32_t TX1_Offset_I;
  int32_t TX1_Offset_Q;
  int32_t TX2_Phase_Corr;
  int32_t TX2_Gain_Corr;
  int32_t TX2_Offset_I;
  int32_t TX2_Offset_Q;
  int32_t VCXO_CAL_VOLTAGE;
} cx_tx_dig_gain_table_t;

/* Table "Rx": RSSI offsets and dBFS-to-dBm gains of both receivers. */
typedef struct cx_rx_table_s {
  int32_t Version;
  float RSSI_OFFSET_RX0;
  float RSSI_OFFSET_RX1;
  float DBFS_TO_DBM_GAIN_RX0;
  float DBFS_TO_DBM_GAIN_RX1;
} cx_rx_table_t;

typedef struct cx_ad9361_tx_attens_s {
  int32_t TX1_Atten_MSB;
  int32_t TX1_Atten_LSB;
  int32_t TX2_Atten_MSB;
  int32_t TX2_Atten_LSB;
} cx_ad9361_tx_attens_t;

typedef struct cx_module_id_s {
  char Module_Name[18];
  char Module_Product_Code[18];
  char Module_Revision[4];
  char Module_Serial_Number[18];
  char Customer_Gateway_ID[18];
} cx_module_id_t;

typedef struct cx_rf_region_info_s {
  int32_t Version;
  char Operating_Band[18];
  float Min_UL_Frequency_MHz;
  float Max_UL_Frequency_MHz;
  float Min_DL_Frequency_MHz;
  float Max_DL_Frequency_MHz;
  float Min_DL_Power_dBm;
  float Max_DL_Power_dBm;
  float Tx_Bandwidth_MHz;
  float Rx_Bandwidth_MHz;
  float Tx_LO_MHz;
  float Rx_LO_MHz;
  int32_t Tx_FIR_Index;
  int32_t Rx_FIR_Index;
} cx_rf_region_info_t;

/* Called by CxExec for each result row; reads the columns of `statement`. */
struct sqlite3_stmt;
typedef void (*cx_row_callback_t)(struct sqlite3_stmt *statement, void *arg, int row_index);

/* Connection: the first CxInit copies the image out of flash once per boot. */
CRX_API bool CxInit(void);
CRX_API bool CxCleanup(void);
CRX_API int CxGetDatabaseVersion(void);
CRX_API int CxExec(const char *sql, cx_row_callback_t callback, void *arg, int max_rows);

/* Single values from the first row of a table (caller brackets them with
   CxInit and CxCleanup). */
CRX_API bool CxGetInt(const char *item, const char *table, int *out);
CRX_API bool CxGetFloat(const char *item, const char *table, float *out);
CRX_API bool CxGetString(const char *item, const char *table, int size, char *out);
CRX_API bool CxGetIntArr(const char *item, const char *table, int *out, int *count);
CRX_API bool CxGetLbtWholeTable(crx_lbt_cfg_t *lbt, const char *band, const char *table, int *rows);

/* Whole records; each opens and closes the database itself. */
CRX_API bool CxGetConfigTable(cx_config_table_t *out);
CRX_API bool CxGetTxDigGainTable(cx_tx_dig_gain_table_t *out);
CRX_API bool CxGetRxTable(cx_rx_table_t *out);
CRX_API bool CxGetAd9361TxAttens(cx_ad9361_tx_attens_t *out);
CRX_API bool CxGetModuleId(cx_module_id_t *out);
CRX_API bool CxGetPcbaCode(char *buf, int size);
CRX_API bool CxGetRfRegioInfo(cx_rf_region_info_t *out);
CRX_API bool CxGetNumofChips(int *out);
CRX_API bool CxGetLbtParameters(crx_lbt_cfg_t *lbt);

/* ======================================================================== */
/* Small-gateway (Wren) driver                                               */
/* ======================================================================== */

/* One SX125x radio: the record setup_sx125x takes and the Wren private
   configuration holds per radio. */
typedef struct sx125x_radio_s {
  bool enabled;
  bool clk_src;   /* this radio drives the clock output */
  bool tx_enable;
  uint32_t freq_hz;  /* centre frequency */
  float rssi_offset; /* dB */
  uint32_t type;     /* 1 SX1255, 2 SX1257 */
} sx125x_radio_t;

/* Per radio of the one SX1301 (index = chip x 2 + RF chain), from the
   commissioning database. */
typedef struct ostra_wren_db_radio_s {
  uint8_t clk_src;
  uint8_t tx_enable;
  float rssi_offset; /* dB */
} ostra_wren_db_radio_t;

/* The Wren boards' snapshot of the commissioning database, read once.
   Strings are cut to their field and always terminated. */
typedef struct ostra_indoor_db_config_s {
  uint8_t region_set;        /* 1 once the frequency limits are loaded */
  int32_t config_version;    /* "Version" of "Configuration" */
  int32_t rx_table_version;  /* "Version" of "Rx" */
  int32_t tx_table_version;  /* "Version" of "Tx" */
  char Module_Name[17];
  char Module_Product_Code[17];
  char PCBA_Product_Code[17];
  char M3G_4G_Modem_Product_Code[17];
  char Factory_ID[5];
  char Vendor_ID[9];
  char Operating_Band[17];
  float Min_UL_Frequency_MHz;
  float Max_UL_Frequency_MHz;
  float Min_DL_Frequency_MHz;
  float Max_DL_Frequency_MHz;
  float Min_DL_Power_dBm;
  float Max_DL_Power_dBm;
  int32_t Num_of_SX1301s;
  char RF_Type[17];
  ostra_wren_db_radio_t radio[2];
  char Module_Revision[3];
  char Module_Serial_Number[17];
  char PCBA_Revision[3];
  char PCBA_Serial_Number[17];
  char M3G_4G_Modem_Revision[3];
  char M3G_4G_Modem_Serial_Number[17];
  int32_t Mfg_Year;
  int32_t Mfg_Week;
  char Test_Station_ID[17];
  int32_t Tested_Year;
  int32_t Tested_Week;
  char PCBA_MAC_Address[13];
  char PCBA_IP_Address[15];
  char Customer_Gateway_ID[17];
  char Customer_Inventory_Name[17];
  char Customer_Inventory_Product_Code[17];
  char Customer_Inventory_Revision[3];
  char Customer_Inventory_Serial_Number[17];
  char Customer_Key1[17];
  char Customer_Key2[17];
  char Customer_Boot_Configuration[9];
  char Customer_Runtime_Configuration[9];
  crx_lbt_cfg_t lbt;  /* enabled = "Tx_LBT_enable" of "Tx" */
  uint8_t lbt_status; /* cleared whenever the LBT table is read */
  char Tx_LUT_JSON_Location[256];
} ostra_indoor_db_config_t;

extern CRX_API ostra_indoor_db_config_t ostra_indoor_db_config;
/* 1 after a complete, successful read of the snapshot. */
extern CRX_API uint8_t ostra_indoor_db_configured;

/* The Wren driver's private configuration. */
typedef struct ostra_wren_prv_cfg_s {
  uint8_t board_configured;
  uint8_t chip_configured[1];
  uint8_t radio_enable[2];
  uint8_t radio_number[2]; /* 0 and 1 */
  uint8_t chan_radio[10];  /* radio feeding each channel of the chip */
  int32_t reserved_m40;    /* -40 after initialisation; nothing reads it */
  sx125x_radio_t radio[2];
  uint32_t rx_freq_min; /* Hz, bounds inclusive */
  uint32_t rx_freq_max;
  uint32_t tx_freq_min;
  uint32_t tx_freq_max;
} ostra_wren_prv_cfg_t;

extern CRX_API ostra_wren_prv_cfg_t ostra_wren_prv_cfg;

/* The region loader crx_conf_board installs: fills the frequency limits of
   a crx_freq_band_t; 0 or -1. */
typedef int (*ostra_wren_region_loader_t)(uint32_t freq_band);
typedef struct ostra_wren_function_pointers_s {
  ostra_wren_region_loader_t get_region_info;
} ostra_wren_function_pointers_t;
extern CRX_API ostra_wren_function_pointers_t ostra_wren_function_pointers;

/* Reads the snapshot (0, or -1 with code 69; the database is closed again
   either way). */
CRX_API int ostra_wren_get_db_config(void);
/* Closes the database after a failed read: 0, or -1 when that fails too. */
CRX_API int wren_cx_err_close_and_cleanup(void);
/* *flag = 1 when the database carries the frequency limits (configuration
   version 4 or later), else 0; loads the snapshot first if needed. */
CRX_API int ostra_wren_db_rf_region(uint8_t *flag);
CRX_API int ostra_wren_region_info_version(uint8_t *flag);
/* Frequency limits from the snapshot, or through the region loader. */
CRX_API int ostra_wren_get_region_info(uint32_t freq_band);
CRX_API int ostra_wren_set_region_info_from_db(uint32_t freq_band);
/* Initial values of the private configuration, once per process. */
CRX_API void ostra_wren_priv_cfg_init(void);

/* The configuration calls of the Wren boards (channel id = chip x 16 +
   channel index). */
CRX_API int ostra_wren_conf_board(const crx_board_cfg_t *cfg);
CRX_API int ostra_wren_conf_chip(uint8_t chip, const crx_chip_cfg_t *cfg);
CRX_API int ostra_wren_conf_chan(uint8_t chan, const crx_chan_cfg_t *cfg);
CRX_API int ostra_wren_conf_board_priv(const crx_board_cfg_t *cfg);
CRX_API int ostra_wren_conf_chip_priv(uint8_t chip, const crx_chip_cfg_t *cfg);
CRX_API int ostra_wren_conf_chan_priv(uint8_t chan, const crx_chan_cfg_t *cfg);

CRX_API int ostra_wren_get_module_id(crx_module_id_t *out);

/* TX gain table: loaded from the file the snapshot names (default
   "/etc/default/tx_lut.json"); 0 or -1 with code 69. */
CRX_API int ostra_wren_load_tx_lut(void);
CRX_API int ostra_wren_parse_txlut_json(const char *path);

/* Register hooks of a side radio's port: (descriptor, address, data,
   length, optional status byte) -> 0 or -1. */
typedef int (*crx_spi_reg_write_t)(int fd, uint8_t address, const uint8_t *data, uint32_t length,
                                   uint8_t *status);
typedef int (*crx_spi_reg_read_t)(int fd, uint8_t address, uint8_t *data, uint32_t length,
                                  uint8_t *status);

/* The SX127x side radio as the Wren bus hands it to its driver. */
typedef struct sx127x_cfg_s {
  int *spi_fd;          /* the side-radio port's descriptor (-1 while closed) */
  uint32_t rx_bw_index; /* receive-bandwidth index of the last set-up */
  int32_t radio_type;   /* 0 not identified, 1 SX1272, 2 SX1276 */
  crx_spi_reg_write_t reg_write;
  crx_spi_reg_read_t reg_read;
} sx127x_cfg_t;

/* The SX126x side radio: the same port. */
typedef struct sx126x_cfg_s {
  int *spi_fd;
} sx126x_cfg_t;

extern CRX_API sx127x_cfg_t sx127x_cfg;
extern CRX_API sx126x_cfg_t sx126x_cfg;

/* Identifies the board if needed, fills the side-radio records and opens
   the three Wren ports (ostra_wren_open_spi). */
CRX_API int ostra_wren_reg_setup(void);
/* Opens every closed port: SX1301, side radio, GPIO FPGA. 0, or -1 with
   code 55 at the first that will not open. */
CRX_API int ostra_wren_open_spi(void);
/* Closes every open port in the same order; a failing close stops there
   with code 55, leaving the later ports open. */
CRX_API int ostra_wren_close_spi(void);
/* Opens the ports unless the GPIO FPGA's is already published. */
CRX_API int ostra_wren_reg_open_spi(void);
/* Publishes the GPIO FPGA descriptor to the GPIO-register functions; null
   while the ports are not open. */
CRX_API void ostra_wren_reg_set_gpio_fd(int *fd);

/* One field of the GPIO FPGA by its row: the value is masked but left at
   its bit position. Row errors and read-only rows give code 69, a closed
   port that will not open 55, a failed read 1, a failed write 2. */
CRX_API int ostra_wren_gpio_fpga_read(int row, uint16_t *value);
CRX_API int ostra_wren_gpio_fpga_write(int row, uint16_t value);
/* The row's bits within its register: ((1 << width) - 1) << offset. */
CRX_API int ostra_wren_reg_create_gpio_mask(int row, uint16_t *mask);

/* Raw transfers to the Wren SX1301 at a 7-bit address, after opening any
   closed port. No page selection: the register calls above do that. */
CRX_API int ostra_wren_sx1301_spi_read(uint8_t address, uint8_t *data, uint32_t length,
                                       uint8_t *status);
CRX_API int ostra_wren_sx1301_spi_write(uint8_t address, const uint8_t *data, uint32_t length,
                                        uint8_t *status);

/* Wren start and stop. ostra_wren_start brings up the SX1301, its radios
   and firmware, the channels and the side radio (0, or -1 with crx_errno:
   55 ports, 69 not configured / database / semaphores / calibration
   status, 28 calibration or AGC firmware, 29 arbiter firmware, or the
   register layer's code); the board is running only once it returned 0.
   ostra_wren_stop holds the radios in reset and unlinks the named
   semaphores (nothing unless running). */
CRX_API int ostra_wren_start(void);
CRX_API int ostra_wren_stop(void);
/* Pulses the SX1301 reset line and re-initialises its registers. */
CRX_API int ostra_wren_reset_rf(void);
/* Fixed tuning values of the SX1301's demodulators; the last write's
   result. */
CRX_API int ostra_wren_constant_adjust(uint8_t chip);
/* Diagnostic self-test printing to standard output; 0, or -1 when the
   database snapshot cannot be loaded. */
CRX_API int ostra_wren_test(void);
/* Loads `image` into the program RAM of `mcu` (0 arbiter, 1 AGC) and reads
   it back; a mismatch is logged only. 0, or -1 with crx_errno: 4 board,
   5 chip, 69 a null image, another MCU or more than 8192 bytes, or the
   register layer's code. */
CRX_API int load_wren_firmware(uint8_t board, uint8_t chip, int mcu, const uint8_t *image, uint32_t length);
/* Channel IF word from (radio centre - channel frequency) in Hz: steps of
   488.28125 Hz, sign inverted; -32768 outside [-1 999 512, 2 000 000]. */
CRX_API int16_t if_to_reg(int32_t offset_hz);
/* 1 when the GPIO FPGA reports an SX126x side radio, else 0; read once. */
CRX_API int read_wren_variant(void);
/* Board type 15's FPGA time counters. The instantaneous count: 0, or -1
   (null pointer, failed read). The FPGA timer minus the SX1301 counter:
   0 with the difference (0 on other boards), or -1 with *delta untouched
   when a read failed. */
CRX_API int ostra_wren_outdoor_get_instcnt(uint32_t *count);
CRX_API int ostra_wren_get_delta_t(uint32_t *delta);
/* RSSI in dBm of a packet received on `chan` (0-9) with the raw byte. */
CRX_API float ostra_wren_calc_rssi(uint8_t chan, uint8_t raw_rssi);
/* Wren transmit: gain entry, scan-TX hold, listen-before-talk, TX offsets
   of the transmitting radio, descriptor, buffer and trigger. Overwrites
   pkt->rf_chain with the transmitting radio. 0; -1 with crx_errno (25 an
   empty TX gain table; 20, 21, 22, 23 the packet's parameters; 26 the
   mode; 69 an FSK payload of 255 bytes or no side radio for LBT; the
   register layer's code); or the LBT results 62 (channel busy), 63 (too
   long for the LBT entry), 64 (no LBT entry) without crx_errno. */
CRX_API int ostra_wren_send(crx_tx_pkt_t *pkt);
/* Board type 15: the output power offset for a board temperature in
   degrees C, added to every requested power. Always 0. */
CRX_API int wren_outdoor_rf_power_temp_compensation(float temp_c);
/* Wren board temperature in degrees C: the analog sensor on type 15 and
   variant-1 boards, the SX127x side radio otherwise. 0, or -1 (3 null
   pointer, 69 no side radio or an unreadable sensor). */
CRX_API int ostra_wren_read_temperature(float *temp_c);

/* Energy measurements of the Wren side radio through the GPIO FPGA: one
   listen-before-talk reading before a transmission, and the spectral scan
   (a 101-bin level histogram per frequency, written to
   "/tmp/spectralScan.csv"). */

/* A scan request, as runSpectralScanFlexible builds it. Frequencies and
   steps in kHz. */
typedef struct ostra_wren_spec_scan_req_s {
  uint32_t *status;   /* caller's word: 2 running, 1 failed, 0 done */
  uint32_t samples;   /* per frequency; the Wren scan always takes 4096 */
  uint32_t count_125k;
  uint32_t freq_125k;
  uint32_t step_125k;
  uint32_t count_500k;
  uint32_t freq_500k;
  uint32_t step_500k;
} ostra_wren_spec_scan_req_t;

/* Starts one LBT measurement at freq_hz with the side radio's receive
   bandwidth index (the SX127x table's; on an SX126x board the nearest
   SX126x code is used) over `length` units of 5 us (at most 65535: longer
   is clamped with a warning). 0, or -1 with code 69 (no side radio, a
   failed retune or FPGA write, the side radio's guard not obtained). */
CRX_API int ostra_wren_start_lbt_meas(uint32_t freq_hz, uint32_t bw_index, uint32_t length);
/* Waits for the measurement started above and reads its level in dBm.
   0, or -1 with code 69 (null output, no side radio, FPGA access, no
   result within the listen time plus a margin). */
CRX_API int ostra_wren_get_lbt_meas(int32_t *rssi_dbm);
/* Runs a whole scan in the calling thread: 0 done, -1 failed (status word
   1), 3 for a null request. Only one scan at a time per gateway. */
CRX_API int ostra_wren_spec_scan(ostra_wren_spec_scan_req_t *req);
/* Percentage of the requested frequencies measured (0 when nothing was
   requested). */
CRX_API uint8_t ostra_wren_spec_scan_get_progress(void);
/* Measures one frequency into histogram[index x 101 + bin]: 0, 1 when a
   transmission took the air meanwhile, 3 for a null histogram, else the
   failing step's error. */
CRX_API int ostra_wren_measure_spec_scan_freq(uint32_t index, uint32_t freq_hz, uint32_t bw_index,
                                              uint32_t *histogram);
/* Retunes the side radio and converts its instantaneous RSSI into a bin
   (0-100): 0, 3 for a null output, or the side radio's error. */
CRX_API int ostra_wren_measure_rssi_hist_index(uint32_t freq_hz, uint32_t bw_index, uint32_t *bin);
/* 0 when the semaphore's value is positive within 20 reads, else 1. */
CRX_API int ostra_wren_wait_sem(sem_t *sem);

/* Channel planning of the Wren boards: which radio feeds each enabled
   channel and where the two radios are tuned. */

/* One enabled channel of the working list (16 bytes). */
typedef struct wren_chan_entry_s {
  int32_t chip;
  int32_t chan;    /* 0-7 multi-SF LoRa, 8 single-SF LoRa, 9 FSK */
  int32_t radio;   /* -1 unassigned, 0 or 1 */
  uint32_t freq_hz;
} wren_chan_entry_t;

/* Plans the chip's enabled channels: both radio centre frequencies and each
   channel's radio byte in ostra_wren_prv_cfg. Always 0. */
CRX_API int wren_assign_sx1301_channels_to_RF(uint8_t chip);
/* Ascending by frequency; equal frequencies keep their order. */
CRX_API void sort_channel_array(wren_chan_entry_t *list, int count);
/* Gives each entry of a sorted list radio 0 or 1. */
CRX_API void auto_split_channels(wren_chan_entry_t *list, int count);
/* Centre for the entries [from, to) into *centre; an empty range leaves
   *centre as it is. Always 0. */
CRX_API int auto_determine_sx125x_freq(uint8_t chip, uint32_t *centre, const wren_chan_entry_t *list,
                                       int from, int to);
/* The shift that brings a channel's outer edge within 550 kHz of the centre:
   negative to move the centre down, positive up, 0 when it fits. */
CRX_API int32_t adjust_avg_sx125x_frequency(uint32_t centre, uint32_t freq_hz, uint32_t bandwidth_hz);
/* Entries of [from, to) whose outer edge lies within 550 kHz of the centre;
   flags, when given, receive 0 for a fitting entry and 1 for another
   (indexed like the list). */
CRX_API int auto_sx125x_count_ok_channels(uint8_t chip, uint32_t centre, const wren_chan_entry_t *list,
                                          uint8_t *flags, int from, int to);

/* ======================================================================== */
/* Listen-before-talk                                                        */
/* ======================================================================== */

/* Clears the whole record (392 bytes). */
CRX_API void init_lbt_structure(crx_lbt_cfg_t *lbt);
/* Builds the board's active LBT table from the application's block and the
   database's record (a null pointer counts as an all-zero record). The
   database wins where it makes LBT mandatory. Always 0. */
CRX_API int set_lbt_brd_priv(const crx_lbt_cfg_t *app, const crx_lbt_cfg_t *db);
/* Sorts the active table by maximum TX power, ascending when 0; equal
   powers keep their order. */
CRX_API void sort_brd_priv_lbt_lut(int descending);
/* Index of the first active entry with power_dbm <= its maximum power and
   min <= freq_hz < max, or -1. */
CRX_API int crx_get_lbt_LUT_index(uint32_t freq_hz, int power_dbm);
/* Copies the active table out; -1 with code 3 for a null pointer. */
CRX_API int crx_get_lbt_configuration(crx_lbt_cfg_t *out);
/* True when the database's "Tx_Lbt_required" is non-zero. */
CRX_API bool isLbtRequired(void);
/* The board's transmit limits in Hz; -1 with code 3 for a null pointer. */
CRX_API int crx_get_tx_freq(uint32_t *min_hz, uint32_t *max_hz);
/* Every power is accepted: always 1. */
CRX_API int crx_tx_power_valid(float power_dbm);

/* ======================================================================== */
/* Radios: SX125x front ends and the SX127x side radio                       */
/* ======================================================================== */

/* One register of SX125x radio `rf_chain` (0 radio A, 1 radio B) through
   the SX1301's radio SPI master. Addresses 0 to 126. 0, or -1: code 69 for
   a refused argument, else the register layer's code. */
CRX_API int sx125x_write(uint8_t board, uint8_t chip, uint8_t rf_chain, uint8_t address, uint8_t value);
CRX_API int sx125x_read(uint8_t board, uint8_t chip, uint8_t rf_chain, uint8_t address, uint8_t *value);
/* Clock output, oscillator, gains, frequency and PLL lock of one radio;
   a radio not enabled is left in standby after its clock and oscillator
   settings. 0, or -1 with code 69. */
CRX_API int setup_sx125x(uint8_t board, uint8_t chip, uint8_t rf_chain, uint32_t freq_hz, sx125x_radio_t radio);

/* One FSK receive bandwidth of the SX127x: RegRxBw = exponent | mantissa << 3. */
typedef struct sx127x_fsk_bw_s {
  uint32_t bandwidth_hz;
  uint8_t mantissa;
  uint8_t exponent;
} sx127x_fsk_bw_t;

#define SX127X_FSK_BW_COUNT 21
/* Index 0 (2.6 kHz) to 20 (250 kHz). */
extern CRX_API const sx127x_fsk_bw_t sx127x_FskBandwidths[SX127X_FSK_BW_COUNT];

/* One side-radio register through sx127x_cfg's hooks, guarded between
   processes by the named semaphore "/sx127x_in_use". 0, or -1 (a closed
   port or missing hook gives code 2 for a write, 1 for a read). */
CRX_API int sx127x_reg_w(uint8_t address, uint8_t value);
CRX_API int sx127x_reg_r(uint8_t address, uint8_t *value);
/* Identifies the side radio (SX1272 or SX1276), configures FSK reception
   in continuous mode at freq_hz with bandwidth index rxbw_index (0-20) and
   the RSSI offset in dB (kept in a 5-bit two's complement field), and
   records the type in sx127x_cfg. Modulation must be 2 (FSK). 0, or
   non-zero (code 69). */
CRX_API int sx127x_setup(uint32_t freq_hz, uint8_t modulation, uint32_t rxbw_index, int8_t rssi_offset);
/* Retunes the running receiver: frequency and bandwidth index. */
CRX_API int sx127x_change_FSK(uint32_t freq_hz, uint32_t rxbw_index);
CRX_API int setup_sx1272_FSK(uint32_t freq_hz, uint32_t rxbw_index, int8_t rssi_offset);
CRX_API int setup_sx1276_FSK(uint32_t freq_hz, uint32_t rxbw_index, int8_t rssi_offset);
CRX_API int change_sx1272_FSK(uint32_t freq_hz, uint32_t rxbw_index);
CRX_API int change_sx1276_FSK(uint32_t freq_hz, uint32_t rxbw_index);
/* Closes and unlinks "/sx127x_in_use" when this process has it open. 0. */
CRX_API int sx127x_deinit(void);
/* Direct side-radio accessors on a port of their own (opened on first use),
   without the guard semaphore. */
CRX_API int crx_sx127x_reg_w(uint8_t address, uint8_t value);
CRX_API int crx_sx127x_reg_r(uint8_t address, uint8_t *value);

/* SX126x side radio (outdoor Wren and variant-1 boards), on the side-radio
   port of sx126x_cfg. Every call returns 0, or -1 with crx_errno: 3 for a
   null pointer, 69 for a refused argument or a BUSY line that stays high,
   2 (write) or 1 (read) for a failed transfer. */

/* GFSK modulation: bit rate in bit/s, pulse shape, the chip's RxBw code,
   frequency deviation in Hz. */
typedef struct sx126x_gfsk_mod_params_s {
  uint32_t bit_rate;
  uint8_t pulse_shape;
  uint8_t bandwidth;
  uint32_t fdev_hz;
} sx126x_gfsk_mod_params_t;

/* LoRa modulation: the four bytes as the chip takes them. */
typedef struct sx126x_lora_mod_params_s {
  uint8_t sf;
  uint8_t bw;
  uint8_t cr;
  uint8_t low_dr_opt;
} sx126x_lora_mod_params_t;

/* GFSK packet parameters (9 bytes on the wire, the preamble length first,
   most significant byte first). */
typedef struct sx126x_gfsk_pkt_params_s {
  uint16_t preamble_len;
  uint8_t preamble_detect;
  uint8_t sync_word_len;
  uint8_t addr_comp;
  uint8_t pkt_type;
  uint8_t payload_len;
  uint8_t crc_type;
  uint8_t whitening;
} sx126x_gfsk_pkt_params_t;

/* LoRa packet parameters (6 bytes on the wire, likewise). */
typedef struct sx126x_lora_pkt_params_s {
  uint16_t preamble_len;
  uint8_t header_type;
  uint8_t payload_len;
  uint8_t crc_type;
  uint8_t invert_iq;
} sx126x_lora_pkt_params_t;

/* Interrupt routing: the IRQ mask and the masks of DIO1-3. */
typedef struct sx126x_dio_irq_params_s {
  uint16_t irq_mask;
  uint16_t dio1_mask;
  uint16_t dio2_mask;
  uint16_t dio3_mask;
} sx126x_dio_irq_params_t;

/* Continuous receive (or transmit until the packet is sent). */
#define SX126X_TIMEOUT_CONTINUOUS 0xFFFFFFu
/* Longest finite time-out in ms. */
#define SX126X_TIMEOUT_MAX_MS 262000u

/* One transfer: tx_len command bytes, then rx_len bytes clocked in after
   them into rx. At most 260 bytes in all. Waits (about 10 ms at most) for
   the BUSY line (GPIO 48) to drop first. */
CRX_API int sx126x_spi_access(const uint8_t *tx, uint32_t tx_len, uint8_t *rx, uint32_t rx_len);
/* Opcode and up to 255 parameter bytes. */
CRX_API int sx126x_write_cmd(uint8_t opcode, const uint8_t *params, uint32_t n);
/* Opcode and one status byte clocked out, then n response bytes. */
CRX_API int sx126x_read_cmd(uint8_t opcode, uint8_t *out, uint32_t n);

CRX_API int sx126x_get_op_mode(uint8_t *mode);      /* (status >> 4) & 7 */
CRX_API int sx126x_get_dev_status(uint8_t *status); /* (status >> 1) & 7 */
CRX_API int sx126x_set_standby(uint8_t mode);       /* 0 RC, 1 crystal */
CRX_API int sx126x_get_pkt_type(uint8_t *type);
CRX_API int sx126x_set_pkt_type(uint8_t type);      /* 0 GFSK, 1 LoRa */
CRX_API int sx126x_set_rf_freq(uint32_t freq_hz);
CRX_API int sx126x_set_gfsk_mod_params(const sx126x_gfsk_mod_params_t *params);
CRX_API int sx126x_set_lora_mod_params(const sx126x_lora_mod_params_t *params);
CRX_API int sx126x_set_gfsk_pkt_params(const sx126x_gfsk_pkt_params_t *params);
CRX_API int sx126x_set_lora_pkt_params(const sx126x_lora_pkt_params_t *params);
/* The two bases must differ. */
CRX_API int sx126x_set_buf_base_addr(uint8_t tx_base, uint8_t rx_base);
/* Time-outs in ms: SX126X_TIMEOUT_CONTINUOUS, or 0 to SX126X_TIMEOUT_MAX_MS. */
CRX_API int sx126x_set_rx(uint32_t timeout_ms);
CRX_API int sx126x_set_tx(uint32_t timeout_ms);
CRX_API int sx126x_stop_timer_on_preamble(uint8_t enable);
CRX_API int sx126x_dio_irq_params(const sx126x_dio_irq_params_t *params);
CRX_API int sx126x_get_irq_status(uint16_t *irq);
CRX_API int sx126x_clear_irq_status(uint16_t mask);
CRX_API int sx126x_get_rx_buffer_status(uint8_t *payload_len, uint8_t *rx_start);
/* Instantaneous RSSI in dBm. */
CRX_API int sx126x_get_rssi(float *rssi_dbm);
CRX_API int sx126x_write_register(uint16_t address, uint8_t value);
CRX_API int sx126x_read_register(uint16_t address, uint8_t *value);
CRX_API int sx126x_write_buffer(uint8_t offset, const uint8_t *data, uint8_t n);
CRX_API int sx126x_read_buffer(uint8_t offset, uint8_t *data, uint8_t n);

/* Continuous GFSK receive at freq_hz with the RxBw code `bandwidth` (the
   spectral scan uses 12, 58.6 kHz, and 10, 234.3 kHz). */
CRX_API int sx126x_setup_fsk(uint32_t freq_hz, uint8_t bandwidth);
/* Retunes the running receiver: frequency and RxBw code. */
CRX_API int sx126x_change_fsk(uint32_t freq_hz, uint8_t bandwidth);
/* Continuous LoRa receive with the caller's modulation (its low-data-rate
   byte is sent as 0). */
CRX_API int sx126x_setup_lora(uint32_t freq_hz, const sx126x_lora_mod_params_t *params);
/* Kept for callers of the SX127x shape: does nothing, returns rssi_offset. */
CRX_API int sx126x_setup(uint32_t freq_hz, uint8_t modulation, uint32_t rxbw_index, int8_t rssi_offset);

/* ======================================================================== */
/* Board, chip and channel configuration; time on air                        */
/* ======================================================================== */

/* Configuration of board 0, its SX1301 chips and their ten IF channels each
   (channel byte: chip number in the high nibble, channel in the low one).
   Refused while the board runs. crx_conf_board may rewrite cfg->rx_freq. */
CRX_API int crx_conf_board(uint8_t board, crx_board_cfg_t *cfg);
CRX_API int crx_conf_chip(uint8_t board, uint8_t chip, const crx_chip_cfg_t *cfg);
CRX_API int crx_conf_chan(uint8_t board, uint8_t chan, const crx_chan_cfg_t *cfg);

/* Time on air of a packet to send, in whole ms (truncated); 0 when it cannot
   be computed. LoRa counts the payload CRC whatever no_crc says. */
CRX_API uint32_t crx_time_on_air(const crx_tx_pkt_t *pkt);

/* Time on air of a received LoRa packet in ms, assuming an 8-symbol preamble;
   each non-null out pointer receives the duration of that part. 0 when it
   cannot be computed, the out pointers then left untouched. */
CRX_API double time_on_air_rx(const crx_rx_pkt_t *pkt, bool no_header, double *t_preamble,
                              double *t_sync, double *t_payload);

/* ======================================================================== */
/* Configuration file                                                        */
/* ======================================================================== */

/* A time-out as seconds and microseconds. */
typedef struct crx_gw_timeout_s {
  uint32_t seconds;
  uint32_t microseconds;
} crx_gw_timeout_t;

/* The packet forwarder's settings from "gateway_conf". One record owned by
   the library: it starts with the defaults noted here, and each read of a
   configuration file changes only the fields whose keys the file holds. */
typedef struct crx_gw_cfg_s {
  uint64_t gateway_id;           /* from the commissioning database; 0 */
  char server_address[64];       /* "127.0.0.1" */
  char serv_port_up[8];          /* "1780" */
  char serv_port_down[8];        /* "1782" */
  int32_t keepalive_interval;    /* s; 5 */
  uint32_t stat_interval;        /* s; 30 */
  crx_gw_timeout_t push_timeout_half; /* half the PUSH_DATA time-out; 0 s 50000 us */
  crx_gw_timeout_t pull_timeout; /* 0 s 200000 us, not read from the file */
  bool forward_crc_valid;        /* true */
  bool forward_crc_error;        /* false */
  bool forward_crc_disabled;     /* false */
  uint32_t autoquit_threshold;   /* 0 */
  uint32_t link_mote;            /* device address; 0 */
  uint32_t beacon_period;        /* s; 0: no beacon */
  uint32_t beacon_freq_hz;       /* 869525000 */
  uint8_t beacon_freq_nb;        /* 1 */
  uint32_t beacon_freq_step;     /* Hz; 0 */
  uint8_t beacon_datarate;       /* SF; 9 */
  uint32_t beacon_bw_hz;         /* 125000 */
  int8_t beacon_power;           /* dBm; 14 */
  uint8_t beacon_infodesc;       /* 0 */
  uint8_t multi_antenna;         /* 0 */
  uint8_t stat_no_ack_timeout_cnt; /* 60 */
  uint8_t use_utc_timestamp;     /* 0 */
  uint8_t use_gps_timestamp;     /* 1 */
  uint8_t antenna_schedule;      /* 0 */
  uint8_t report_count;          /* 0 */
} crx_gw_cfg_t;

/* Reads a configuration file ("/etc/default/config.json" when path is
   NULL; comments allowed), applies its "crx_conf" element 0 with
   crx_conf_board, crx_conf_chip and crx_conf_chan, reads "gateway_conf"
   into the library's gateway record, sets the LED intensity and adds the
   "filter_conf" addresses to the localization filter. Returns the record
   (owned by the library: never free it) or NULL after logging the reason;
   what was applied before a failure stays applied. Not thread-safe. */
CRX_API crx_gw_cfg_t *crx_read_cfg_json(const char *path);

/* True when the gateway record's multi_antenna is 1. */
CRX_API bool is_multi_antenna_enabled(void);

/* ======================================================================== */
/* Localization                                                              */
/* ======================================================================== */

/* The filter list of device addresses whose uplinks are localized, shared
   by every process of the gateway (up to 100; an empty list localizes every
   eligible uplink). Add: 0 for an address listed already or added, -1 for
   address 0, a full list or no shared memory. Delete: -1 for address 0 or
   an address not listed. Failures are logged; crx_errno is left alone. */
CRX_API int crx_loc_add_mote(uint32_t addr);
CRX_API int crx_loc_del_mote(uint32_t addr);

/* ======================================================================== */
/* LED control                                                               */
/* ======================================================================== */

/* The front-panel LEDs behind the GPIO FPGA (bits 2-13 of its LED
   register). Each call opens and closes the port; failures are logged and
   set no error code. */
CRX_API int crx_set_led_state(uint16_t state);
CRX_API int crx_get_led_state(uint16_t *state);
CRX_API void crx_set_led_intensity(uint16_t intensity);

/* ======================================================================== */
/* Start and stop                                                           */
/* ======================================================================== */

/* The unit's gateway identifier as text, filled by crx_start from the module
   identity (all zero when that cannot be read). */
extern CRX_API char gateway_id[17];

/* The HAL version text "4.0.4". For board 0 also the FPGA version (48 when
   it cannot be read) and the DSP version (0); null outputs are skipped. */
CRX_API const char *crx_version_info(uint8_t board, uint16_t *fpga_version, uint16_t *dsp_version);

/* One SX1301 MCU image the library carries (kind 1 AGC, 0 arbiter). */
typedef struct crx_fw_image_s {
  uint32_t size;     /* bytes loaded into the MCU's program RAM */
  uint8_t version;   /* the version the chip reports once the image runs */
  bool stand_in;     /* a labelled stand-in that runs only on the simulator */
  uint32_t checksum; /* byte sum of the whole image, to compare builds */
} crx_fw_image_t;
/* Describes the image of `kind` that crx_start loads. 0, or -1 with code
   69 for an unknown kind or a null record. */
CRX_API int crx_get_fw_image(int kind, crx_fw_image_t *out);
/* Bring-up and release of the configured board: 0, or -1 with crx_errno. */
CRX_API int crx_start(uint8_t board);
CRX_API int crx_stop(uint8_t board);
/* 1 stopped, 2 running. */
CRX_API int crx_brd_status(uint8_t board, int *status);
/* The concentrator counter now, in µs (chip 1 is refused: its counter
   latches at the PPS). */
CRX_API int crx_get_instcnt(uint8_t board, uint8_t chip, uint32_t *count);
/* The counter value latched at the last PPS. */
CRX_API int crx_get_trigcnt(uint8_t board, uint32_t *count);
/* Register-layer check and the front-end reset writes of start. */
CRX_API int crx_reset_radio(uint8_t board);
/* PoE status lines: out[0] DC_AUX, out[1] T2P, out[2] T4P. */
CRX_API int readPoeStatus(uint8_t out[3]);

/* Transmit status, part of the transmit path, used by crx_stop: 2 free,
   3 scheduled, 4 emitting (1 while the board is not running). */
CRX_API int crx_tx_status(uint8_t board, uint8_t chip, int *status);
/* Clears the transmit command of every chip. */
CRX_API int crx_abort_tx(uint8_t board);

/* (end of section) */

/* ======================================================================== */
/* Transmit power, temperature and the AD9361 transceiver                   */
/* ======================================================================== */

/* Board-level bring-up and release of the AD9361 transceiver. */
CRX_API int ad9361_start(uint8_t board, uint32_t brd_type, uint32_t rx_freq, uint32_t rx_freq_high,
                         uint8_t rx_en, uint8_t tx_en, uint32_t band);
CRX_API int ad9361_stop(void);
/* FPGA digital gain for one chain and carrier (each 0 or 1). */
CRX_API int crx_set_tx_power(uint8_t board, uint8_t rf_chain, uint8_t carrier, float power_dbm);
/* Transceiver attenuation from the unit's calibration, corrected for the
   board temperature (degrees C). -1 for a unit without calibration; 0 and
   nothing done on the Wren boards. */
CRX_API int crx_set_temp_compened_rf_atten(float temp_c);
/* Attenuation correction in 0.25 dB for a temperature code against the
   calibration code, from the two coefficients. */
CRX_API int8_t crx_ad9361_temp2atten(uint8_t code, uint8_t cal_code, int16_t coeff_a, int16_t coeff_b);
/* Board temperature in degrees C from the sensor. */
CRX_API int crx_get_temperature(float *temp_c);
/* SX1301 temperature code of chip 0 and the temperature it gives (each
   pointer may be null). */
CRX_API int crx_get_1301_temperature(uint8_t board, uint8_t *code, int16_t *temp_c);

/* (end of section) */

/* ======================================================================== */
/* Receive path                                                             */
/* ======================================================================== */

/* Packets one fetch or one poll of the chips handles at most. */
#define CRX_MAX_PKT_NB 128

struct timeval;

/* The packet counters: a leading control word (0 in every copy), then the
   counters from the fifth byte on; 32 bytes, the layout of the packet-
   statistics shared memory. */
typedef struct counters_s {
  uint16_t control;
  uint16_t reserved;
  uint32_t downlink; /* successful sends */
  uint32_t uplink;   /* packets taken from the chips */
  uint32_t crc_ok;   /* received with a correct CRC */
  uint32_t crc_err;  /* received with a wrong CRC */
  uint32_t spare[3]; /* kept at 0 by the library */
} counters;

/* The counters themselves, process-wide; read them through the getters
   below when another thread may be receiving or sending. */
extern CRX_API counters crx_packet_counters;

/* Copies up to max_nb queued packets, oldest first, and stores the count
   (0 when the queue is empty). Board 0 only (4), non-null pointers (3),
   max_nb <= CRX_MAX_PKT_NB (69), a running board (30). */
CRX_API int crx_fetch(uint8_t board, crx_rx_pkt_t *pkts, uint8_t max_nb, uint8_t *nb);
/* As crx_fetch, after waiting for a packet: without limit when timeout is
   NULL, else until now + timeout (code 68 when it passes). */
CRX_API int crx_fetch_v2(crx_rx_pkt_t *pkts, uint8_t max_nb, uint8_t *nb, const struct timeval *timeout);
/* Takes the queue from the oldest packet: packets of `chip` are copied (up to
   max_nb), packets of other chips are discarded on the way. Every refusal
   sets code 69, a board other than 0 code 4. */
CRX_API int crx_fetch_chip(uint8_t board, uint8_t chip, crx_rx_pkt_t *pkts, uint8_t max_nb, uint8_t *nb);

CRX_API void crx_get_packet_counters(counters *out);
CRX_API void crx_reset_txrx_packet_statistics(void);
CRX_API void crx_get_uplink_pakets(uint32_t *n);
CRX_API void crx_get_downlink_pakets(uint32_t *n);
CRX_API void crx_get_received_pkt_crc_ok(uint32_t *n);
CRX_API void crx_get_received_pkt_crc_err(uint32_t *n);

/* Calibrated RSSI in whole dB of a raw chip value on IF channel chan (0-7
   multi-SF, 8 stand-alone LoRa, 9 FSK), with the chain's temperature term. */
CRX_API float calc_rssi(uint8_t board, uint8_t chan, uint8_t raw_rssi, uint8_t rf_chain, uint8_t temp_code);
/* RSSI correction in dB for a transceiver temperature code. */
CRX_API float crx_ad9361_temp2rssi(uint8_t code, uint8_t cal_code, int16_t coeff_a, int16_t coeff_b);

/* (end of section) */

/* ======================================================================== */
/* Transmit path                                                            */
/* ======================================================================== */

/* Transmit status as crx_tx_status reports it. */
enum { TX_STATUS_UNKNOWN = 0, TX_OFF = 1, TX_FREE = 2, TX_SCHEDULED = 3, TX_EMITTING = 4 };

/* Sends one packet: 0; -1 with crx_errno set; or, without touching
   crx_errno, 61 (RF chain on the wrong side of a split band), 62 (LBT:
   channel busy), 63 (LBT: too long for the entry) or 64 (LBT: no entry). */
CRX_API int crx_send(uint8_t board, crx_tx_pkt_t *pkt);
/* The SX1301 that drives an RF chain and carrier (chain 0: chips 0 and 1,
   chain 1: chips 2 and 3; another chain gives chip 0 with a warning). */
CRX_API uint8_t crx_tx_path2chip(uint8_t rf_chain, uint8_t carrier);

/* Multi-carrier capabilities of the identified board. */
CRX_API int crx_mc_supported(void);
CRX_API int crx_get_mc_type(void);
CRX_API int crx_get_max_carriers(uint8_t *n);
CRX_API int crx_get_num_antennas(uint8_t *n);
CRX_API int crx_mc_max_tx_pwr(float *p);
CRX_API int crx_mc_adj_tx_pwr(crx_tx_pkt_t *pkt);
/* 1 when the packets given (up to four, NULL for none) cannot be sent
   together on this board, 0 when they can. */
CRX_API int crx_mc_collision_check(const crx_tx_pkt_t *a, const crx_tx_pkt_t *b, const void *c, const void *d);

/* (end of section) */

/* ======================================================================== */
/* GPS receiver and NMEA                                                    */
/* ======================================================================== */

/* The receiver's byte interface, reached through the application's own
   functions. read: `length` bytes from register `reg`, negative on failure;
   write: `length` bytes, -1 on failure. `dev` is handed to both unchanged. */
typedef struct crx_gps_cfg_s {
  int (*read)(uint8_t dev, uint8_t reg, uint8_t *buf, uint16_t length);
  int (*write)(uint8_t dev, uint8_t *buf, uint16_t length);
  uint8_t dev;
  uint8_t fix_2d;     /* non-zero: 2D fixes at fixed_alt; zero: 3D only */
  uint16_t fixed_alt; /* 0.01 m */
} crx_gps_cfg_t;

/* A position: degrees north and east positive; altitude as each filler
   states it (metres for the NMEA parsers and the position file). */
typedef struct crx_coord_s {
  double lat;
  double lon;
  uint16_t alt;
} crx_coord_t;

typedef enum crx_nmea_type_e {
  CRX_NMEA_UNKNOWN = 0,
  CRX_NMEA_RMC = 4,
  CRX_NMEA_GGA = 5,
  CRX_NMEA_GNS = 6,
  CRX_NMEA_ZDA = 7,
  CRX_NMEA_GBS = 8,
  CRX_NMEA_GST = 9,
  CRX_NMEA_GSA = 10,
  CRX_NMEA_GSV = 11,
  CRX_NMEA_GLL = 12,
  CRX_NMEA_TXT = 13,
  CRX_NMEA_VTG = 14
} crx_nmea_type_t;

/* Results of the two sentence parsers (-1 is a bad argument, code 69). */
enum {
  CRX_NMEA_OK = 0,
  CRX_NMEA_BAD_CHECKSUM = 1,
  CRX_NMEA_BAD_FIELDS = 2,
  CRX_NMEA_NO_FIX = 4,
  CRX_NMEA_BAD_VALUE = 8
};

struct timespec;

CRX_API crx_gps_cfg_t *crx_init_gps_cfg(crx_gps_cfg_t *cfg);
/* Keeps a copy of the record; both functions are required (code 69). */
CRX_API int crx_conf_gps(const crx_gps_cfg_t *cfg);
/* Configures the receiver over UBX: codes 36 (send) and 37 (no answer). */
CRX_API int crx_init_gps(void);
/* 0 with *type a crx_nmea_type_t (0 when not recognised). */
CRX_API int crx_get_nmea_type(const char *sentence, unsigned length, uint32_t *type);
/* Both parsers need a NUL-terminated sentence inside `length` and cut it
   into fields in place. Outputs may be NULL. */
CRX_API int crx_parse_rmc(char *sentence, unsigned length, struct timespec *utc, crx_coord_t *coord);
CRX_API int crx_parse_gga(char *sentence, unsigned length, crx_coord_t *coord, uint32_t *num_sats,
                          float *hdop);
/* The position kept in "/tmp/position"; all zero without a fix. */
CRX_API int crx_get_gps_position(crx_coord_t *coord);

/* Kept for applications written against older versions; they do nothing. */
CRX_API int crx_gps_enable(void);
CRX_API int crx_gps_disable(void);
CRX_API int crx_parse_nmea(void);
CRX_API int crx_parse_ubx(void);
CRX_API int crx_gps_get(void);
CRX_API int crx_gps_sync(void);

/* (end of section) */

/* ======================================================================== */
/* UBX protocol                                                             */
/* ======================================================================== */

/* Receiver commands over the configured byte interface: 0, or -1 with code
   36 (send failed) or 37 (no acknowledgement). */
CRX_API int set_time_pulse(uint16_t value);
CRX_API int set_conf_msg_param(uint8_t port, uint8_t msg_class, uint8_t msg_id, uint8_t enable);
CRX_API int save_config(void);
CRX_API int factory_reset(void);
/* lat and lon in 1e-7 degree, alt the low 16 bits of the height in mm. */
CRX_API int get_geodetic_pos(crx_coord_t *coord);

/* Fire-and-forget commands on a serial port the caller opened. */
CRX_API int configure_gps(int fd, uint16_t rate_ms);
CRX_API int reset_gps(int fd);

/* (end of section) */

/* ======================================================================== */
/* Counter, UTC and GPS time                                                */
/* ======================================================================== */

/* Seconds and nanoseconds, 32 bits each, as the time reference keeps them. */
typedef struct crx_time32_s {
  int32_t sec;
  int32_t nsec;
} crx_time32_t;

/* The application's time reference, filled at a PPS by crx_synchronize. */
typedef struct crx_tref_s {
  int32_t systime;     /* UTC seconds (time()) of the last synchronisation */
  uint32_t hs_pps;     /* fine count (256 MHz scale) at the PPS */
  uint64_t fpga_hs;    /* FPGA high-speed count (37 bits, 32 MHz) */
  uint32_t count_us;   /* concentrator count latched at the PPS */
  crx_time32_t utc;    /* UTC of the PPS */
  crx_time32_t gps;    /* GPS time of the PPS */
  double xtal_err;     /* crystal correction of the 1 MHz counter */
  double hs_xtal_err;  /* crystal correction of the fine count */
  uint32_t sync_count; /* synchronisations so far (saturating); 0: unusable */
} crx_tref_t;

/* The library's copy of the application's reference (crx_save_tref). */
extern CRX_API crx_tref_t time_ref_hal;

/* Conversions against the reference the library samples at the PPS while
   the concentrator runs. The GPS ones fail with code 65 before the first
   sample and code 3 for a null pointer; a time before the reference cannot
   be converted (-1, count 0). crx_cnt2utc and crx_utc2cnt ignore the
   record they are passed. GPS times need the kernel's TAI offset set. */
CRX_API int crx_gps2cnt(struct timespec gps_time, uint32_t *count_us);
CRX_API int crx_cnt2gps(uint32_t count_us, struct timespec *gps_time);
CRX_API int crx_cnt2utc(crx_tref_t ref, uint32_t count_us, struct timespec *utc);
CRX_API int crx_utc2cnt(crx_tref_t ref, struct timespec utc, uint32_t *count_us);
/* The sampled reference as a crx_tref_t (fpga_hs, count_us, utc.sec and
   gps.sec set); -1 without an error code when there is none. */
CRX_API int crx_get_ref_time(crx_tref_t *ref);
/* 1 while the sampled reference is valid. */
CRX_API int crx_get_sync_status(uint32_t *status);
/* The FPGA's high-speed count latched at the PPS (37 bits). */
CRX_API int crx_get_fpga_hs(uint64_t *hs);

/* The application reference: initial values, one PPS recorded, and the
   library's copy refreshed. */
CRX_API crx_tref_t *crx_init_tref(crx_tref_t *ref);
CRX_API int crx_synchronize(uint8_t board, crx_tref_t *ref, struct timespec utc, uint64_t fpga_hs,
                            uint32_t hs_pps, uint32_t *status);
CRX_API int crx_save_tref(crx_tref_t *ref);
/* A fine count to UTC with the record's PPS and crystal correction. */
CRX_API int gwloc_hs2utc(crx_tref_t ref, uint32_t hs, struct timespec *utc);

/* (end of section) */

/* ======================================================================== */
/* Sync block and holdover                                                  */
/* ======================================================================== */

/* Whether the board's timing sync block follows the GPS pulse: 1 in sync,
   0 not (also on boards without one and after a failed read), -1 when its
   SPI device cannot be opened (code 55). Raises or clears fault 65. */
CRX_API int read_sync_block_status(void);
/* *synced = 1 when in sync, else 0; -1 only for a null pointer. */
CRX_API int crx_get_sync_block_status(uint32_t *synced);
/* How long the block keeps time without the pulse, in seconds. */
CRX_API int set_gps_holdover_time(uint16_t seconds);

/* (end of section) */

/* ======================================================================== */
/* Meter-reading receivers: SCM and SCM+, BCH                               */
/* ======================================================================== */

/* The SCM board's meter-reading receiver: crx_start calls crx_cg_init on
   that board and crx_stop calls crx_cg_close. */
CRX_API int crx_cg_init(void);
CRX_API int crx_cg_close(void);

/* One meter frame as crx_cg_fetch delivers it (24 bytes). */
typedef struct crx_cg_pkt_s {
  uint8_t valid;        /* 1 when a frame was delivered */
  uint8_t type;         /* 0 SCM, 1 SCM+ */
  uint8_t chan;         /* receiving channel, 0 to 63 */
  uint8_t nb_err;       /* bit errors corrected (SCM, 0 to 2) */
  uint32_t timestamp;   /* the four bytes after the frame, MSB first */
  uint8_t ert_type;     /* SCM: ERT type (4 bits); SCM+: endpoint type */
  uint32_t id;          /* meter (endpoint) id */
  uint32_t consumption; /* SCM: 24 bits; SCM+: 32 bits */
  uint16_t tamper;      /* SCM: physical (bits 7-6) and encoder (bits 1-0)
                           tamper flags; SCM+: the 16 tamper bits */
} crx_cg_pkt_t;

/* Polls the FPGA for one frame: 0 when nothing failed (valid tells whether
   a frame came), -1 otherwise (a frame failing its check is dropped). */
CRX_API int crx_cg_fetch(crx_cg_pkt_t *pkt);

/* Binary BCH codec over GF(2^m), m from 5 to 15, correcting t errors
   (t * m below 2^m - 1). prim_poly 0 selects the default primitive
   polynomial for m. A codeword is the data followed by the parity; bytes go
   most significant bit first, and the parity fills its bytes from the most
   significant bit (bch_parity_bits bits, at most m * t). One codec serves
   one thread at a time.
   Byte calls: an error location is 8 * byte + bit (bit 0 the least
   significant); locations from 8 * len on are parity bits, counted the same
   way from the first parity byte. Bit-string calls take one bit per byte
   (non-zero is 1); a location is the index in the data string, or nbits +
   the index in the parity string. The location buffer holds t entries.
   Decoding returns the number of errors, BCH_ERR_UNCORRECTABLE, or
   BCH_ERR_ARGS for a null pointer or a codeword longer than 2^m - 1 bits. */
typedef struct crx_bch_s crx_bch_t;
#define BCH_ERR_UNCORRECTABLE (-1)
#define BCH_ERR_ARGS (-2)
CRX_API crx_bch_t *init_bch(int m, int t, unsigned int prim_poly);
CRX_API void free_bch(crx_bch_t *bch);
CRX_API int bch_parity_bits(const crx_bch_t *bch);
/* Parity of len data bytes into (bch_parity_bits + 7) / 8 bytes: 0 or -1. */
CRX_API int encode_bch(crx_bch_t *bch, const uint8_t *data, unsigned int len, uint8_t *parity);
CRX_API int encodebits_bch(crx_bch_t *bch, const uint8_t *bits, unsigned int nbits, uint8_t *parity_bits);
CRX_API int decode_bch(crx_bch_t *bch, const uint8_t *data, unsigned int len, const uint8_t *parity,
                       unsigned int *errloc);
CRX_API int decodebits_bch(crx_bch_t *bch, const uint8_t *bits, unsigned int nbits,
                           const uint8_t *parity_bits, unsigned int *errloc);
/* Flip the located data bits (locations in the parity are left alone);
   at most t locations are read. */
CRX_API void correct_bch(crx_bch_t *bch, uint8_t *data, unsigned int len, const unsigned int *errloc,
                         int nerr);
CRX_API void correctbits_bch(crx_bch_t *bch, uint8_t *bits, unsigned int nbits, const unsigned int *errloc,
                             int nerr);

/* (end of section) */

/* ======================================================================== */
/* Meter-reading receivers: AMR FSK and RF v3                               */
/* ======================================================================== */

/* Complete only where the application includes <time.h> with POSIX
   definitions; the declarations below need no more than the name. */
struct timespec;

/* The OPAL board's LoRa channel number nearest to freq_hz in the plan of
   bandwidth code 1 (500 kHz) or 3 (125 kHz); -1 for another code. */
CRX_API int opalLoraChannelFromFreq(uint32_t freq_hz, int bw_code);

/* CRC-16 of RF v3 messages: the Modbus CRC with its two bytes swapped
   ("123456789" gives 0x374B). A message stores the low byte of the result
   first. A null buffer or zero length returns the start value. */
CRX_API uint16_t crc16Calculate(const uint8_t *data, uint32_t length);
CRX_API uint16_t crc16CalculatePartial(const uint8_t *data, uint32_t length, uint16_t start);

/* One AMR frame from the FPGA's FSK receivers. */
typedef struct amr_fsk_pkt_s {
  uint32_t freq_hz;
  uint32_t rssi;     /* tenths of dB */
  uint8_t length;
  uint8_t data[255];
} amr_fsk_pkt_t;

/* 1 a frame was read, 0 none waiting, -1 error or null record. */
CRX_API int amr_fsk_fetch(amr_fsk_pkt_t *out);

/* RF v3 messaging. Channels index the 102-entry RF v3 plan (50 and 51 are
   empty). Receive buffers: *len holds the buffer's size on entry and the
   message length (0xC4 first, CRC excluded) on return; a message is copied
   only when it fits (it needs its FIFO length plus one byte). */
CRX_API int rfv3_fsk_tx_msg(uint32_t channel, uint8_t size, uint32_t start, const uint8_t *data,
                            uint32_t preamble);
CRX_API int rfv3_startScan(uint32_t scan_time, uint16_t preamble_bits);
CRX_API int rfv3_readScan(uint32_t *channel, uint8_t *buf, uint32_t *len, int32_t *rssi,
                          struct timespec *when);
CRX_API int rfv3_stopScan(void);
CRX_API int rfv3_fsk_rx_msg(uint32_t channel, uint32_t data_rate, uint8_t *buf, uint32_t *len,
                            uint32_t timeout_ms);
/* Wall-clock time of the last scan start, and the RF v3 CRC failures. */
extern CRX_API struct timespec scanStartTime;
extern CRX_API int crcFailCount;

/* (end of section) */

/* ======================================================================== */
/* Localization engine                                                      */
/* ======================================================================== */

/* One fine timestamp, as crx_loc_fetch returns it from the result queue
   that every process of the gateway shares (96 bytes). */
typedef struct crx_loc_result_s {
  uint32_t dev_addr;
  uint32_t fcnt;
  uint32_t freq_hz;
  uint32_t bandwidth_hz;
  uint8_t sf;
  uint8_t antenna;
  uint32_t gps_sec;
  uint32_t gps_nsec;
  uint32_t gps_nsec_adj; /* (gps_nsec + 2^sf * 64000 + 101145) mod 1e9 */
  uint32_t rssi_raw;     /* the bits of the antenna's rssi float */
  uint32_t snr_raw;      /* the bits of the antenna's snr float */
  int32_t freq_offset_hz;
  float time_accuracy_ns;
  float freq_accuracy_hz;
  double gw_lat;
  double gw_lon;
  uint16_t gw_alt;
  char gw_id[17];
  uint32_t payload_tail; /* last four payload bytes, the first least significant */
} crx_loc_result_t;

/* 1: thread mode (results through the shared queue); 0: direct mode
   (results in the packets' rsig blocks). */
extern CRX_API uint8_t loc_use_thread;

/* flag 1 enables localization for every process of the gateway, 0
   disables it and clears the filter list; anything else is refused. */
CRX_API int crx_loc_enable(uint8_t flag);
/* Selects direct mode; -1 when the geolocation block cannot do it. */
CRX_API int crx_loc_config(void);
struct timeval;
/* Takes the oldest queued result. timeout NULL waits for ever; otherwise
   -1 with ERR_LOC_FETCH_TIMEOUT when nothing came in time. */
CRX_API int crx_loc_fetch(crx_loc_result_t *out, const struct timeval *timeout);
/* Peaks the block reports per request in thread mode: up 1-8, down 1-2. */
CRX_API int crx_set_num_peaks(uint8_t up, uint8_t down);
CRX_API bool is_loc_enabled(void);


/* (end of section) */

/* ======================================================================== */
/* AES block cipher and matrices                                            */
/* ======================================================================== */

/* AES (FIPS-197) on one 16-byte block, no chaining mode. Key and block
   bytes load into words most significant byte first. The shared tables are
   built once, on the first aes_set_key or aes_gen_tables, safely from any
   number of threads. */
typedef struct aes_context_s {
  uint32_t erk[64]; /* encryption round keys */
  uint32_t drk[64]; /* decryption round keys */
  int nr;           /* rounds: 10, 12 or 14 */
} aes_context;

CRX_API void aes_gen_tables(void);
/* bits 128, 192 or 256: 0. Any other size (or a null pointer): 1, the
   context left as it was. */
CRX_API int aes_set_key(aes_context *ctx, const uint8_t *key, int bits);
CRX_API void aes_encrypt(aes_context *ctx, const uint8_t in[16], uint8_t out[16]);
CRX_API void aes_decrypt(aes_context *ctx, const uint8_t in[16], uint8_t out[16]);

/* A rows x cols matrix of doubles in row-major order. Record and data are
   separate heap blocks; matrix_free releases both. Failures are logged and
   return NULL (or -1 from matrix_scale). */
typedef struct matrix_s {
  int rows;
  int cols;
  double *data;
} matrix;

/* Zero-filled; rows and cols at least 1. */
CRX_API matrix *matrix_new(int rows, int cols);
/* Accepts NULL; returns 0. */
CRX_API int matrix_free(matrix *m);
CRX_API matrix *matrix_transpose(const matrix *m);
/* rows(a) x cols(b); cols(a) must equal rows(b). */
CRX_API matrix *matrix_multiply(const matrix *a, const matrix *b);
CRX_API int matrix_scale(matrix *m, double factor);


/* (end of section) */

/* ======================================================================== */
/* Fault and alarm status                                                   */
/* ======================================================================== */

/* The fault memory (System V key 44946) that other processes of the gateway
   read. Status bytes are 0 (clear) or 1 (active). */
CRX_API int crx_update_fault_status(uint16_t fault_id, uint8_t status);
CRX_API int crx_get_fault_status(uint16_t fault_id);
CRX_API int crx_get_alarm_status(uint16_t alarm_id);
/* Sets (or clears) the fault that an error code maps to, and its alarm. */
CRX_API int raise_fault_alarms(int error_code);
CRX_API int clear_fault_alarms(int error_code);
/* The same memory without the wrappers: a status byte, 0 for an id the
   memory's version lacks, or -1. Updating a fault also updates its alarm;
   an alarm other than 3 and 4 is only cleared once none of its faults is
   active. */
CRX_API int get_shm_fault_status(uint16_t fault_id);
CRX_API int get_shm_alarm_status(uint16_t alarm_id);
CRX_API int update_shm_fault_status(uint16_t fault_id, uint8_t status);
CRX_API int update_shm_alarm_status(uint16_t alarm_id, uint8_t status);

/* (end of section) */

/* ======================================================================== */
/* Packet statistics and history                                            */
/* ======================================================================== */

/* Counting of one received packet for the current hour's statistics, per
   IF chain (0-71) and per spreading factor (SF7-SF12); the receive path calls
   them. */
CRX_API void save_per_chan_stat(const crx_rx_pkt_t *pkt);
CRX_API void save_per_sf_stat(const crx_rx_pkt_t *pkt);
/* The history files as tables, oldest record first. The library grows
   *buffer with realloc (the caller frees it) and stores the record count
   (24 hourly, 31 daily) in *count: 72 channel entries of four uint32_t
   (CRC-correct count, other count, frequency in Hz, bandwidth in Hz) per
   record, or 6 spreading-factor entries of 12 bytes (CRC-correct count, other
   count, crx_sf_t mask byte, 3 zero bytes) per record. 0, or -1 with a count
   of 0. */
CRX_API int crx_per_chan_stat_hourly(void **buffer, uint16_t *count);
CRX_API int crx_per_chan_stat_daily(void **buffer, uint16_t *count);
CRX_API int crx_per_sf_stat_hourly(void **buffer, uint16_t *count);
CRX_API int crx_per_chan_sf_daily(void **buffer, uint16_t *count);
/* The current hour's statistics as this process counts them: one record
   laid out as in the history files (72 channel entries, then 6 spreading-
   factor entries; CRX_STAT_RECORD_SIZE bytes). Copies at most `size` bytes
   into `record` and returns the number copied, or -1 for a null record. */
#define CRX_STAT_RECORD_SIZE 1224u
CRX_API int crx_get_current_stat(void *record, uint32_t size);

/* (end of section) */

/* ======================================================================== */
/* Spectral scan                                                            */
/* ======================================================================== */

/* Power distribution of LoRa channels from the FPGA's power detector, one
   101-bin histogram per channel written to "/tmp/spectralScan.csv". A scan
   runs in the caller's thread; *status is 2 while it runs, then 1 (failed)
   or 0 (done), which the scan also returns (2 at once when another scan is
   running). Frequencies and steps in kHz. */
CRX_API int runSpectralScan(uint32_t *status, uint32_t dwell, uint32_t rf_chain);
CRX_API int runSpectralScanFlexible(uint32_t *status, uint32_t dwell, uint32_t rf_chain,
                                    uint32_t count_125k, uint32_t freq_125k, uint32_t step_125k,
                                    uint32_t count_500k, uint32_t freq_500k, uint32_t step_500k);
/* Percentage of channels done while a scan runs; 100 after a scan, 0
   before the first. */
extern CRX_API uint8_t progress;
CRX_API uint8_t readSpectralScanProgress(void);
/* One power measurement on `freq_khz` (bandwidth 0 = 125 kHz, 1 = 500 kHz)
   of RF chain 0 or (non-zero) 1: 0, or 1 on failure. Also the
   listen-before-talk measurement of the transmit path. */
CRX_API int startSpectralScanMeasurement(uint32_t freq_khz, uint32_t bandwidth, uint32_t dwell,
                                         uint32_t rf_chain);
/* The receive LO in Hz: the database's, else the configured receive
   frequency (reading "/etc/default/config.json" when none is applied). */
CRX_API uint32_t readRxLoFreq(void);
/* dBFS-to-dBm offset of an RF chain (database, else 37.0 dB). */
CRX_API float readDbfs2dbmOffset(uint32_t rf_chain);
/* (end of section) */

#ifdef __cplusplus
}
#endif

#endif /* CRX_H */
