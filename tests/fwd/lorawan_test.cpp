// The simulated devices' frame security: AES-CMAC against RFC 4493's
// vectors, and the key file's lines.
#include <gtest/gtest.h>

#include "lorawan_crypto.h"

namespace crx::sim::lorawan {
namespace {

const Key kRfcKey = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6, 0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};

TEST(LorawanCryptoTest, CmacMatchesRfc4493) {
  const std::array<uint8_t, 16> empty = {0xbb, 0x1d, 0x69, 0x29, 0xe9, 0x59, 0x37, 0x28,
                                         0x7f, 0xa3, 0x7d, 0x12, 0x9b, 0x75, 0x67, 0x46};
  EXPECT_EQ(aes_cmac(kRfcKey, {}), empty);
  const std::vector<uint8_t> block = {0x6b, 0xc1, 0xbe, 0xe2, 0x2e, 0x40, 0x9f, 0x96,
                                      0xe9, 0x3d, 0x7e, 0x11, 0x73, 0x93, 0x17, 0x2a};
  const std::array<uint8_t, 16> one = {0x07, 0x0a, 0x16, 0xb4, 0x6b, 0x4d, 0x41, 0x44,
                                       0xf7, 0x9b, 0xdd, 0x9d, 0xd0, 0x4a, 0x28, 0x7c};
  EXPECT_EQ(aes_cmac(kRfcKey, block), one);
}

TEST(LorawanCryptoTest, SealingKeepsTheFrameAndEncryptsOnlyThePayload) {
  DeviceKeys k = derived_keys(3, 0x0004A30B00100003ull, 0x26011003);
  std::vector<uint8_t> f = {0x40, 0, 0, 0, 0, 0x80, 7, 0, 1, 'h', 'e', 'l', 'l', 'o', 0, 0, 0, 0};
  const auto plain = f;
  seal_data_frame(f, k, 7);
  ASSERT_EQ(f.size(), plain.size());
  EXPECT_EQ(f[1] | f[2] << 8 | f[3] << 16 | uint32_t(f[4]) << 24, 0x26011003u);
  EXPECT_NE(std::vector<uint8_t>(f.begin() + 9, f.end() - 4), std::vector<uint8_t>(plain.begin() + 9, plain.end() - 4));
  // The keystream is its own inverse: sealing again restores the payload.
  auto again = f;
  seal_data_frame(again, k, 7);
  EXPECT_EQ(std::vector<uint8_t>(again.begin() + 9, again.end() - 4),
            std::vector<uint8_t>(plain.begin() + 9, plain.end() - 4));
  // The MIC is the CMAC of B0 and the frame under the NwkSKey.
  const uint8_t head[16] = {0x49, 0, 0, 0, 0, 0, 0x03, 0x10, 0x01, 0x26, 7, 0, 0, 0, 0, uint8_t(f.size() - 4)};
  std::vector<uint8_t> b0(head, head + 16);
  for (size_t i = 0; i + 4 < f.size(); ++i) b0.push_back(f[i]);
  const auto mac = aes_cmac(k.nwk_skey, b0);
  EXPECT_EQ(std::vector<uint8_t>(f.end() - 4, f.end()), std::vector<uint8_t>(mac.begin(), mac.begin() + 4));
}

TEST(LorawanCryptoTest, KeyLines) {
  const DeviceKeys k = derived_keys(1, 0x0004A30B00100001ull, 0x26011001);
  DeviceKeys back;
  ASSERT_TRUE(parse_keys_line(format_keys(k), back));
  EXPECT_EQ(back.dev_eui, k.dev_eui);
  EXPECT_EQ(back.dev_addr, k.dev_addr);
  EXPECT_EQ(back.app_key, k.app_key);
  EXPECT_FALSE(parse_keys_line("0004A30B00100001 26011001 00", back));
  EXPECT_FALSE(parse_keys_line("0004A30B0010000Z 26011001 " + std::string(32, '0') + " " + std::string(32, '0') + " " +
                                   std::string(32, '0'),
                               back));
}

}  // namespace
}  // namespace crx::sim::lorawan
