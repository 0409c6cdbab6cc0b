// Enumeration conversions, byte-order readers, fixed point, the Fletcher
// checksum, record defaults and the sleep helpers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "crx.h"
#include "sim/testing.h"

using ::testing::ElementsAre;

namespace {

crx_sf_t sf(unsigned mask) { return static_cast<crx_sf_t>(mask); }

TEST(SpreadingFactor, SingleFactorsMapToTheirBitAndBack) {
  const unsigned bits[] = {0x02, 0x04, 0x08, 0x10, 0x20, 0x40};
  for (int n = 7; n <= 12; ++n) {
    EXPECT_EQ(crx_sf_nb2enum(n), bits[n - 7]) << n;
    EXPECT_EQ(crx_sf_enum2nb(sf(bits[n - 7])), n) << n;
  }
  for (int n : {-1, 0, 6, 13, 100}) EXPECT_EQ(crx_sf_nb2enum(n), MR_UNDEFINED) << n;
  // Anything but exactly one valid bit has no number.
  for (unsigned mask : {0x00u, 0x01u, 0x06u, 0x7Eu, 0x41u}) EXPECT_EQ(crx_sf_enum2nb(sf(mask)), -1) << mask;
}

TEST(SpreadingFactor, RangeCoversBothEndsInEitherOrder) {
  // Ascending ranges are checked against every contiguous mask below.
  EXPECT_EQ(crx_sf_range_nb2enum(12, 7), 0x7E);
  EXPECT_EQ(crx_sf_range_nb2enum(12, 11), 0x60);
  EXPECT_EQ(crx_sf_range_nb2enum(6, 9), 0);
  EXPECT_EQ(crx_sf_range_nb2enum(9, 13), 0);
  EXPECT_EQ(crx_sf_range_nb2enum(0, 0), 0);
}

// The masks SFa..SFb written as arithmetic, independently of the library.
unsigned run_mask(int a, int b) { return ((1u << (b - 5)) - 1u) & ~((1u << (a - 6)) - 1u); }

TEST(SpreadingFactor, MinAndMaxAcceptExactlyTheTwentyOneContiguousMasks) {
  int contiguous = 0;
  for (int a = 7; a <= 12; ++a) {
    for (int b = a; b <= 12; ++b) {
      const unsigned mask = run_mask(a, b);
      EXPECT_EQ(crx_sf_range_nb2enum(a, b), mask);
      EXPECT_EQ(crx_sf_min_enum2nb(sf(mask)), a) << std::hex << mask;
      EXPECT_EQ(crx_sf_max_enum2nb(sf(mask)), b) << std::hex << mask;
    }
  }
  for (unsigned mask = 0; mask < 0x80; ++mask) {
    const int lo = crx_sf_min_enum2nb(sf(mask));
    const int hi = crx_sf_max_enum2nb(sf(mask));
    EXPECT_EQ(lo == -1, hi == -1) << std::hex << mask;
    if (lo != -1) ++contiguous;
  }
  EXPECT_EQ(contiguous, 21);

  EXPECT_EQ(crx_sf_min_enum2nb(sf(0x60)), 11);
  EXPECT_EQ(crx_sf_max_enum2nb(sf(0x60)), 12);
  // Gaps, the unused bit 0 and the empty mask.
  for (unsigned mask : {0x0Au, 0x42u, 0x5Eu, 0x7Au, 0x01u, 0x03u, 0x7Fu, 0x00u}) {
    EXPECT_EQ(crx_sf_min_enum2nb(sf(mask)), -1) << std::hex << mask;
    EXPECT_EQ(crx_sf_max_enum2nb(sf(mask)), -1) << std::hex << mask;
  }
}

TEST(Bandwidth, RoundsUpToTheNextSupportedBandwidth) {
  struct Case {
    int hz;
    crx_bw_t bw;
  };
  const Case cases[] = {
      {-5, BW_UNDEFINED},    {0, BW_UNDEFINED},     {1, BW_7K8HZ},         {7800, BW_7K8HZ},
      {7801, BW_15K6HZ},     {15600, BW_15K6HZ},    {15601, BW_31K2HZ},    {31200, BW_31K2HZ},
      {31201, BW_62K5HZ},    {62500, BW_62K5HZ},    {62501, BW_125KHZ},    {125000, BW_125KHZ},
      {125001, BW_250KHZ},   {250000, BW_250KHZ},   {250001, BW_500KHZ},   {500000, BW_500KHZ},
      {500001, BW_UNDEFINED}, {std::numeric_limits<int>::max(), BW_UNDEFINED},
  };
  for (const auto& c : cases) EXPECT_EQ(crx_bw_nb2enum(c.hz), c.bw) << c.hz;
}

TEST(Bandwidth, EnumToHertz) {
  const int hz[] = {500000, 250000, 125000, 62500, 31200, 15600, 7800};
  for (int e = 1; e <= 7; ++e) EXPECT_EQ(crx_bw_enum2nb(static_cast<crx_bw_t>(e)), hz[e - 1]) << e;
  EXPECT_EQ(crx_bw_enum2nb(BW_UNDEFINED), -1);
}

TEST(CodingRate, NumbersNamesAndUndefinedValues) {
  const char* names[] = {"4/5", "4/6", "4/7", "4/8"};
  for (int n = 1; n <= 4; ++n) {
    EXPECT_EQ(crx_cr_nb2enum(n), n);
    EXPECT_EQ(crx_cr_enum2nb(static_cast<crx_cr_t>(n)), n);
    EXPECT_STREQ(crx_cr_enum2str(static_cast<crx_cr_t>(n)), names[n - 1]);
  }
  for (int n : {-1, 0, 5, 8}) EXPECT_EQ(crx_cr_nb2enum(n), CR_UNDEFINED) << n;
  for (int e : {0, 5, 7}) {
    EXPECT_EQ(crx_cr_enum2nb(static_cast<crx_cr_t>(e)), -1) << e;
    EXPECT_STREQ(crx_cr_enum2str(static_cast<crx_cr_t>(e)), "???") << e;
  }
}

TEST(LowDataRateOptimisation, OnlyForTheLongestSymbols) {
  for (int s = 7; s <= 12; ++s) {
    EXPECT_EQ(ppm_mode_en(BW_125KHZ, s), s >= 11 ? 1 : 0) << s;
    EXPECT_EQ(ppm_mode_en(BW_250KHZ, s), s == 12 ? 1 : 0) << s;
    EXPECT_EQ(ppm_mode_en(BW_500KHZ, s), 0) << s;
    EXPECT_EQ(ppm_mode_en(BW_UNDEFINED, s), 0) << s;
  }
}

TEST(ByteReaders, ByteOrderSignAndNull) {
  const uint8_t b[8] = {0x81, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0xF8};
  EXPECT_EQ(bytes_be_to_uint32_le(b), 0x81020304u);
  EXPECT_EQ(bytes_le_to_uint32_le(b), 0x04030281u);
  EXPECT_EQ(bytes_be_to_uint16_le(b), 0x8102u);
  EXPECT_EQ(bytes_le_to_uint16_le(b), 0x0281u);
  EXPECT_EQ(bytes_be_to_uint64_le(b), 0x81020304050607F8ull);

  const uint8_t minus_two[2] = {0xFF, 0xFE};
  const uint8_t most_negative[2] = {0x80, 0x00};
  const uint8_t most_positive[2] = {0x7F, 0xFF};
  EXPECT_EQ(bytes_be_to_int16_le(minus_two), -2);
  EXPECT_EQ(bytes_be_to_int16_le(most_negative), -32768);
  EXPECT_EQ(bytes_be_to_int16_le(most_positive), 32767);
  EXPECT_EQ(bytes_be_to_uint16_le(minus_two), 0xFFFEu);

  // Memory order: what a float written to a buffer reads back as.
  const float value = -1234.5f;
  uint8_t raw[4];
  std::memcpy(raw, &value, sizeof raw);
  EXPECT_EQ(bytes_to_float(raw), value);

  EXPECT_EQ(bytes_be_to_uint32_le(nullptr), 0u);
  EXPECT_EQ(bytes_le_to_uint32_le(nullptr), 0u);
  EXPECT_EQ(bytes_be_to_uint16_le(nullptr), 0u);
  EXPECT_EQ(bytes_be_to_int16_le(nullptr), 0);
  EXPECT_EQ(bytes_le_to_uint16_le(nullptr), 0u);
  EXPECT_EQ(bytes_be_to_uint64_le(nullptr), 0u);
  EXPECT_EQ(bytes_to_float(nullptr), 0.0f);
}

constexpr uint32_t kUntouched = 0xDEADBEEF;

// Converts with float_to_unsigned_fpga; returns the result and the word.
std::pair<int, uint32_t> to_unsigned(uint8_t total, uint8_t int_bits, float v) {
  uint32_t out = kUntouched;
  const int r = float_to_unsigned_fpga(&out, total, int_bits, v);
  return {r, out};
}

std::pair<int, uint32_t> to_signed(uint8_t total, uint8_t int_bits, float v) {
  int32_t out = static_cast<int32_t>(kUntouched);
  const int r = float_to_signed_fpga(&out, total, int_bits, v);
  return {r, static_cast<uint32_t>(out)};
}

using Word = std::pair<int, uint32_t>;
const Word kRefused{-1, kUntouched};

TEST(FixedPoint, UnsignedRangeIsInclusiveAndOneStepOutsideIsRefused) {
  const float step = 1.0f / 65536.0f;
  EXPECT_EQ(to_unsigned(16, 0, 0.0f), Word(0, 0));
  EXPECT_EQ(to_unsigned(16, 0, 0.5f), Word(0, 0x8000));
  EXPECT_EQ(to_unsigned(16, 0, 65535.0f / 65536.0f), Word(0, 0xFFFF));
  EXPECT_EQ(to_unsigned(16, 0, 1.0f), kRefused);
  EXPECT_EQ(to_unsigned(16, 0, -step), kRefused);
  EXPECT_EQ(to_unsigned(16, 0, std::nanf("")), kRefused);
  EXPECT_EQ(to_unsigned(16, 0, std::numeric_limits<float>::infinity()), kRefused);
  // Halves round away from zero.
  EXPECT_EQ(to_unsigned(16, 0, step / 2), Word(0, 1));
  EXPECT_EQ(to_unsigned(16, 0, 2.5f * step), Word(0, 3));
  // Integer bits: 8.8 format.
  EXPECT_EQ(to_unsigned(16, 8, 255.99609375f), Word(0, 0xFFFF));
  EXPECT_EQ(to_unsigned(16, 8, 256.0f), kRefused);
  // The full 32-bit word: the largest float below 2^32 fits, 2^32 does not.
  EXPECT_EQ(to_unsigned(32, 32, 4294967040.0f), Word(0, 4294967040u));
  EXPECT_EQ(to_unsigned(32, 32, 4294967296.0f), kRefused);
}

TEST(FixedPoint, SignedRangeIsInclusiveAndOneStepOutsideIsRefused) {
  const float step = 1.0f / 2048.0f;  // total 16, 4 integer bits
  EXPECT_EQ(to_signed(16, 4, -1.0f), Word(0, 0xFFFFF800u));
  EXPECT_EQ(to_signed(16, 4, -16.0f), Word(0, 0xFFFF8000u));
  EXPECT_EQ(to_signed(16, 4, 32767.0f / 2048.0f), Word(0, 0x7FFF));
  EXPECT_EQ(to_signed(16, 4, -16.0f - step), kRefused);
  EXPECT_EQ(to_signed(16, 4, 16.0f), kRefused);
  EXPECT_EQ(to_signed(16, 4, std::nanf("")), kRefused);
  EXPECT_EQ(to_signed(16, 4, step / 2), Word(0, 1));
  EXPECT_EQ(to_signed(16, 4, -step / 2), Word(0, 0xFFFFFFFFu));
  // The whole signed 32-bit range with no fraction.
  EXPECT_EQ(to_signed(32, 31, -2147483648.0f), Word(0, 0x80000000u));
  EXPECT_EQ(to_signed(32, 31, 2147483520.0f), Word(0, 2147483520u));
  EXPECT_EQ(to_signed(32, 31, 2147483648.0f), kRefused);
}

TEST(FixedPoint, WordsBackToFloat) {
  float f = 0;
  EXPECT_EQ(signed_fpga_to_float(0xFFFF, &f, 16, 0), 0);
  EXPECT_EQ(f, -1.0f / 65536.0f);
  EXPECT_EQ(signed_fpga_to_float(0x7FFF, &f, 16, 0), 0);
  EXPECT_EQ(f, 32767.0f / 65536.0f);
  // Bits above the field are not part of the value.
  EXPECT_EQ(signed_fpga_to_float(0xABCD8000u, &f, 16, 0), 0);
  EXPECT_EQ(f, -0.5f);
  EXPECT_EQ(signed_fpga_to_float(0x80000000u, &f, 32, 0), 0);
  EXPECT_EQ(f, -0.5f);
  EXPECT_EQ(signed_fpga_to_float(0xFFFFF800u, &f, 16, 4), 0);
  EXPECT_EQ(f, -2048.0f / 4096.0f);
  EXPECT_EQ(unsigned_fpga_to_float(0x8000, &f, 16, 0), 0);
  EXPECT_EQ(f, 0.5f);
  EXPECT_EQ(unsigned_fpga_to_float(0xFFFF0000u, &f, 16, 8), 0);  // not masked
  EXPECT_EQ(f, 0xFFFF0000u / 256.0f);

  // Reading back uses one fractional bit more than float_to_signed_fpga
  // writes with the same widths; callers rely on the pair as it is.
  const auto [r, word] = to_signed(16, 0, 0.5f);
  ASSERT_EQ(r, 0);
  EXPECT_EQ(signed_fpga_to_float(word, &f, 16, 0), 0);
  EXPECT_EQ(f, 0.25f);
}

TEST(FixedPoint, NullOutputAndImpossibleWidthsAreRefused) {
  float f = 1.5f;
  EXPECT_EQ(float_to_signed_fpga(nullptr, 16, 4, 1.0f), -1);
  EXPECT_EQ(float_to_unsigned_fpga(nullptr, 16, 4, 1.0f), -1);
  EXPECT_EQ(signed_fpga_to_float(1, nullptr, 16, 4), -1);
  EXPECT_EQ(unsigned_fpga_to_float(1, nullptr, 16, 4), -1);
  EXPECT_EQ(to_signed(33, 0, 0.0f), kRefused);
  EXPECT_EQ(to_unsigned(33, 0, 0.0f), kRefused);
  EXPECT_EQ(to_signed(16, 17, 0.0f), kRefused);
  EXPECT_EQ(to_unsigned(16, 17, 0.0f), kRefused);
  EXPECT_EQ(signed_fpga_to_float(1, &f, 33, 0), -1);
  EXPECT_EQ(unsigned_fpga_to_float(1, &f, 16, 17), -1);
  EXPECT_EQ(f, 1.5f);
}

// The two checksum bytes of `bytes`, as (a, b).
std::pair<int, int> fletcher(const std::vector<uint8_t>& bytes) {
  uint8_t a = 0xAA, b = 0xBB;
  crx_calculate_fletcher_checksum(bytes.data(), static_cast<unsigned>(bytes.size()), &a, &b);
  return {a, b};
}

TEST(Fletcher, ChecksumsOfKnownUbxFramesAndWrapAround) {
  // UBX-MON-VER poll: B5 62 | 0A 04 00 00 | 0E 34 (sum over class to payload).
  EXPECT_EQ(fletcher({0x0A, 0x04, 0x00, 0x00}), std::pair(0x0E, 0x34));
  // UBX-CFG-MSG, NMEA GGA at rate 1: B5 62 | 06 01 03 00 F0 00 01 | FB 10.
  EXPECT_EQ(fletcher({0x06, 0x01, 0x03, 0x00, 0xF0, 0x00, 0x01}), std::pair(0xFB, 0x10));
  // 300 bytes of 0xFF: a = -300 mod 256, b = -(300*301/2) mod 256.
  EXPECT_EQ(fletcher(std::vector<uint8_t>(300, 0xFF)), std::pair(0xD4, 0xA2));
  EXPECT_EQ(fletcher({}), std::pair(0, 0));
}

template <typename T>
bool all_zero(const T& record) {
  T zero;
  std::memset(&zero, 0, sizeof zero);
  return std::memcmp(&record, &zero, sizeof record) == 0;
}

TEST(RecordDefaults, BoardConfigurationDefaults) {
  crx_board_cfg_t cfg;
  std::memset(&cfg, 0xA5, sizeof cfg);
  ASSERT_EQ(crx_init_board_cfg(&cfg), &cfg);
  EXPECT_EQ(std::tuple(cfg.reserved[0], cfg.reserved[1], cfg.full_start, cfg.freq_band, cfg.rx_freq),
            std::tuple(0, 0, true, FREQ_BAND_UNDEFINED, 0));
  for (const auto& c : cfg.rf_chain) {
    EXPECT_EQ(std::tuple(c.rx_enable, c.tx_enable, c.rssi_offset, c.rssi_offset_coeff_a, c.rssi_offset_coeff_b),
              std::tuple(false, false, -202.5f, 0, 0));
  }
  EXPECT_EQ(std::tuple(cfg.fsk_sync, cfg.fsk_sync_size, cfg.loramac_public, cfg.calibration_temperature_celsius_room,
                       cfg.calibration_temperature_code_ad9361),
            std::tuple(0, 0, false, 22, 77));
  EXPECT_TRUE(all_zero(cfg.lbt));
}

TEST(RecordDefaults, OtherRecordsStartAllZero) {
  // Initialises a record full of garbage; true when it comes back all zero.
  auto starts_zeroed = [](auto init, auto record) {
    std::memset(&record, 0xA5, sizeof record);
    return init(&record) == &record && all_zero(record);
  };
  EXPECT_TRUE(starts_zeroed(crx_init_chip_cfg, crx_chip_cfg_t{}));
  EXPECT_TRUE(starts_zeroed(crx_init_chan_cfg, crx_chan_cfg_t{}));
  EXPECT_TRUE(starts_zeroed(crx_init_tx_pkt, crx_tx_pkt_t{}));
  EXPECT_TRUE(starts_zeroed(crx_init_tx_gain, crx_tx_gain_t{}));

  EXPECT_EQ(crx_init_board_cfg(nullptr), nullptr);
  EXPECT_EQ(crx_init_chip_cfg(nullptr), nullptr);
  EXPECT_EQ(crx_init_chan_cfg(nullptr), nullptr);
  EXPECT_EQ(crx_init_tx_pkt(nullptr), nullptr);
  EXPECT_EQ(crx_init_tx_gain(nullptr), nullptr);
}

class Waiting : public crx::sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    sandbox().set_fast_clock(true);
  }
};

TEST_F(Waiting, AMicrosecondOrLessDoesNotSleep) {
  crx_wait_us(0);
  crx_wait_us(1);
  crx_wait_ms(0);
  EXPECT_TRUE(sandbox().sleeps().empty());
  crx_wait_us(2);
  EXPECT_THAT(sandbox().sleeps(), ElementsAre(2000));
}

TEST_F(Waiting, SleepsTheRequestedTimeInOneCall) {
  crx_wait_us(1000001);
  crx_wait_ms(1500);
  // Beyond 32 bits of microseconds.
  crx_wait_ms(5000000);
  EXPECT_THAT(sandbox().sleeps(), ElementsAre(1000001000, 1500000000, int64_t{5000000} * 1000000));
}

TEST_F(Waiting, AnInterruptedSleepResumesWithTheTimeLeft) {
  sandbox().interrupt_next_sleep({0, 400000000});
  crx_wait_us(1000000);
  EXPECT_THAT(sandbox().sleeps(), ElementsAre(1000000000, 400000000));

  // Time left of a microsecond or less is not slept.
  sandbox().clear_sleeps();
  sandbox().interrupt_next_sleep({0, 1000});
  crx_wait_ms(3);
  EXPECT_THAT(sandbox().sleeps(), ElementsAre(3000000));

  sandbox().clear_sleeps();
  sandbox().interrupt_next_sleep({2, 1001});
  crx_wait_ms(3000);
  EXPECT_THAT(sandbox().sleeps(), ElementsAre(3000000000, 2000001001));
}

}  // namespace
