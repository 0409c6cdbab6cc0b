// The exported Base64 codec: known vectors, round trips, exact capacities,
// refused input and the texts it logs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "crx.h"
#include "sim/testing.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr char kSentinel = '#';
constexpr size_t kGuard = 8;

struct Result {
  int r;
  std::string out;  // the first `max` bytes of the output buffer
};

// Runs one of the four functions on a buffer of `max` sentinel bytes
// followed by a guard that must stay untouched.
template <typename In, typename Out>
Result run(int (*fn)(const In*, int, Out*, int), const std::string& in, int max) {
  std::string out(static_cast<size_t>(max) + kGuard, kSentinel);
  const int r = fn(reinterpret_cast<const In*>(in.data()), static_cast<int>(in.size()),
                   reinterpret_cast<Out*>(out.data()), max);
  EXPECT_EQ(out.substr(static_cast<size_t>(max)), std::string(kGuard, kSentinel)) << "wrote past max";
  return {r, out.substr(0, static_cast<size_t>(max))};
}

// Unpadded and padded encoded lengths of n bytes (without the NUL).
int unpadded_len(int n) { return n / 3 * 4 + (n % 3 == 0 ? 0 : n % 3 + 1); }
int padded_len(int n) { return (n + 2) / 3 * 4; }

class Base64 : public crx::sim::SandboxTest {
 protected:
  // The text of a successful encoding into a buffer of exactly the needed size.
  std::string encode(int (*fn)(const uint8_t*, int, char*, int), const std::string& bin) {
    const int n = static_cast<int>(bin.size());
    const int len = fn == bin_to_b64 ? padded_len(n) : unpadded_len(n);
    const Result res = run(fn, bin, len + 1);
    EXPECT_EQ(res.r, len);
    if (res.r != len) return "<failed>";
    EXPECT_EQ(res.out[static_cast<size_t>(len)], '\0');
    return res.out.substr(0, static_cast<size_t>(len));
  }

  // The bytes of a successful decoding into a buffer of `max` bytes.
  std::string decode(int (*fn)(const char*, int, uint8_t*, int), const std::string& text, int max) {
    const Result res = run(fn, text, max);
    EXPECT_GE(res.r, 0) << text;
    if (res.r < 0) return "<failed>";
    EXPECT_EQ(res.out.substr(static_cast<size_t>(res.r)), std::string(static_cast<size_t>(max - res.r), kSentinel));
    return res.out.substr(0, static_cast<size_t>(res.r));
  }
  std::string decode(int (*fn)(const char*, int, uint8_t*, int), const std::string& text) {
    return decode(fn, text, static_cast<int>(text.size()));
  }

  std::vector<std::string> logged() { return sandbox().syslog_texts(); }
};

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

TEST_F(Base64, RfcTestVectors) {
  struct Vector {
    const char *bin, *padded, *unpadded;
  };
  // RFC 4648, section 10.
  const Vector vectors[] = {
      {"", "", ""},
      {"f", "Zg==", "Zg"},
      {"fo", "Zm8=", "Zm8"},
      {"foo", "Zm9v", "Zm9v"},
      {"foob", "Zm9vYg==", "Zm9vYg"},
      {"fooba", "Zm9vYmE=", "Zm9vYmE"},
      {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(encode(bin_to_b64, v.bin), v.padded);
    EXPECT_EQ(encode(bin_to_b64_nopad, v.bin), v.unpadded);
    EXPECT_EQ(decode(b64_to_bin, v.padded), v.bin);
    EXPECT_EQ(decode(b64_to_bin, v.unpadded), v.bin);
    EXPECT_EQ(decode(b64_to_bin_nopad, v.unpadded), v.bin);
  }
  EXPECT_THAT(logged(), IsEmpty());
}

TEST_F(Base64, EverySixBitValueHasItsCharacter) {
  const std::string bytes = decode(b64_to_bin_nopad, kAlphabet);
  ASSERT_EQ(bytes.size(), 48u);
  EXPECT_EQ(bytes.substr(0, 3), std::string("\x00\x10\x83", 3));
  EXPECT_EQ(bytes.substr(45), "\xf3\xdf\xbf");
  EXPECT_EQ(encode(bin_to_b64_nopad, bytes), kAlphabet);
  EXPECT_EQ(encode(bin_to_b64, "\xfb\xff\xbf"), "+/+/");
}

TEST_F(Base64, RoundTripsOfEveryLengthUpTo300) {
  std::mt19937 rng(4648);
  std::string data(300, '\0');
  for (auto& c : data) c = static_cast<char>(rng());
  for (size_t n = 0; n <= data.size(); ++n) {
    const std::string bin = data.substr(0, n);
    const std::string padded = encode(bin_to_b64, bin);
    const std::string unpadded = encode(bin_to_b64_nopad, bin);
    ASSERT_EQ(padded.substr(0, unpadded.size()), unpadded) << n;
    ASSERT_EQ(padded.find_first_not_of('=', unpadded.size()), std::string::npos) << n;
    ASSERT_EQ(unpadded.find_first_not_of(kAlphabet), std::string::npos) << n;
    // Decoded into exactly the room the bytes need.
    ASSERT_EQ(decode(b64_to_bin, padded, static_cast<int>(n)), bin) << n;
    ASSERT_EQ(decode(b64_to_bin, unpadded, static_cast<int>(n)), bin) << n;
    ASSERT_EQ(decode(b64_to_bin_nopad, unpadded, static_cast<int>(n)), bin) << n;
  }
  EXPECT_THAT(logged(), IsEmpty());
}

TEST_F(Base64, OutputOneByteShortIsRefusedBeforeAnythingIsWritten) {
  const std::string data = "0123456789";
  for (int n = 0; n <= 10; ++n) {
    SCOPED_TRACE(n);
    const std::string bin = data.substr(0, static_cast<size_t>(n));
    sandbox().clear_logs();

    // Unpadded encoding: the text and its NUL.
    Result res = run(bin_to_b64_nopad, bin, unpadded_len(n));
    EXPECT_EQ(res.r, -1);
    EXPECT_EQ(res.out, std::string(static_cast<size_t>(unpadded_len(n)), kSentinel));
    EXPECT_THAT(logged(), ElementsAre("ERROR: OUTPUT BUFFER TOO SMALL IN BIN_TO_B64: " + std::to_string(n)));

    // Padded encoding: room for the text but not for its padding.
    sandbox().clear_logs();
    res = run(bin_to_b64, bin, padded_len(n));
    EXPECT_EQ(res.r, -1);
    EXPECT_EQ(res.out, std::string(static_cast<size_t>(padded_len(n)), kSentinel));
    if (padded_len(n) == unpadded_len(n))
      EXPECT_THAT(logged(), ElementsAre("ERROR: OUTPUT BUFFER TOO SMALL IN BIN_TO_B64: " + std::to_string(n)));
    else
      EXPECT_THAT(logged(), ElementsAre("ERROR: not enough room to add padding in bin_to_b64: " +
                                        std::to_string(unpadded_len(n))));
    if (n == 0) continue;

    // Decoding, padded and unpadded.
    const std::string padded = encode(bin_to_b64, bin);
    const std::string unpadded = encode(bin_to_b64_nopad, bin);
    using Decoder = int (*)(const char*, int, uint8_t*, int);
    const std::pair<Decoder, std::string> inputs[] = {
        {b64_to_bin, padded}, {b64_to_bin, unpadded}, {b64_to_bin_nopad, unpadded}};
    for (const auto& [fn, text] : inputs) {
      sandbox().clear_logs();
      res = run(fn, text, n - 1);
      EXPECT_EQ(res.r, -1) << text;
      EXPECT_EQ(res.out, std::string(static_cast<size_t>(n - 1), kSentinel)) << text;
      // The size reported is that of the text once its padding is stripped.
      EXPECT_THAT(logged(), ElementsAre("ERROR: OUTPUT BUFFER TOO SMALL IN B64_TO_BIN: " +
                                        std::to_string(unpadded.size())));
    }
  }
}

TEST_F(Base64, EmptyInput) {
  // Nothing to decode needs no room at all.
  EXPECT_EQ(run(b64_to_bin, "", 0).r, 0);
  EXPECT_EQ(run(b64_to_bin_nopad, "", 0).r, 0);
  // But the NUL of an empty text does.
  EXPECT_EQ(run(bin_to_b64, "", 0).r, -1);
  EXPECT_EQ(run(bin_to_b64_nopad, "", 0).r, -1);
  EXPECT_THAT(logged(), ElementsAre("ERROR: OUTPUT BUFFER TOO SMALL IN BIN_TO_B64: 0",
                                    "ERROR: OUTPUT BUFFER TOO SMALL IN BIN_TO_B64: 0"));
}

TEST_F(Base64, InvalidCharactersAreRefusedAndTheProcessGoesOn) {
  struct Case {
    std::string text;
    std::string logged;
    std::string decoded_before;  // the whole groups ahead of the bad one
  };
  const Case cases[] = {
      {"Zm9v!m9v", "ERROR: ! (0x21) IS INVALID CHARACTER FOR BASE64 DECODING", "foo"},
      {"-m9v", "ERROR: - (0x2d) IS INVALID CHARACTER FOR BASE64 DECODING", ""},
      {"Zm9vY_", "ERROR: _ (0x5f) IS INVALID CHARACTER FOR BASE64 DECODING", "foo"},
      {"Zm9vYm ", "ERROR:   (0x20) IS INVALID CHARACTER FOR BASE64 DECODING", "foo"},
      {"Zm9vZg==Zm9v", "ERROR: = (0x3d) IS INVALID CHARACTER FOR BASE64 DECODING", "foo"},
      {"Zm\xc3\xa9", "ERROR: \xc3 (0xc3) IS INVALID CHARACTER FOR BASE64 DECODING", ""},
      {std::string("Zm\0v", 4), std::string("ERROR: "), ""},
  };
  for (const auto& c : cases) {
    for (auto fn : {b64_to_bin, b64_to_bin_nopad}) {
      SCOPED_TRACE(c.text);
      sandbox().clear_logs();
      const Result res = run(fn, c.text, 12);
      EXPECT_EQ(res.r, -1);
      EXPECT_EQ(res.out.substr(0, c.decoded_before.size()), c.decoded_before);
      EXPECT_EQ(res.out.substr(c.decoded_before.size()), std::string(12 - c.decoded_before.size(), kSentinel));
      ASSERT_EQ(logged().size(), 1u);
      EXPECT_EQ(logged()[0].substr(0, c.logged.size()), c.logged);
    }
  }
}

TEST_F(Base64, PaddingForms) {
  // The padded forms that decode are those of the test vectors. Padding is
  // only stripped from a text of whole groups, and never more than two
  // characters; the unpadded decoder accepts none at all.
  for (const std::string text : {"Zg=", "Z===", "====", "Zm9vYg=", "Zg=="}) {
    auto fn = text == "Zg==" ? b64_to_bin_nopad : b64_to_bin;
    sandbox().clear_logs();
    EXPECT_EQ(run(fn, text, 8).r, -1) << text;
    EXPECT_THAT(logged(), ElementsAre("ERROR: = (0x3d) IS INVALID CHARACTER FOR BASE64 DECODING")) << text;
  }
}

TEST_F(Base64, ALoneTrailingCharacterIsRefused) {
  for (auto fn : {b64_to_bin, b64_to_bin_nopad}) {
    sandbox().clear_logs();
    const Result res = run(fn, "Zm9vY", 8);
    EXPECT_EQ(res.r, -1);
    EXPECT_EQ(res.out, std::string(8, kSentinel));
    EXPECT_THAT(logged(), ElementsAre("ERROR: ONLY ONE CHAR LEFT IN B64_TO_BIN: 5"));
  }
}

TEST_F(Base64, UnusableBitsInTheLastCharacterWarnButDecode) {
  const char* warning = "WARNING: last character contains unusable bits";
  // "Zh": 'h' carries 0001 below the byte; "Zm9": '9' carries 01.
  EXPECT_EQ(decode(b64_to_bin_nopad, "Zh"), "f");
  EXPECT_EQ(decode(b64_to_bin, "Zh=="), "f");
  EXPECT_EQ(decode(b64_to_bin_nopad, "Zm9"), "fo");
  EXPECT_THAT(logged(), ElementsAre(warning, warning, warning));
  sandbox().clear_logs();
  EXPECT_EQ(decode(b64_to_bin_nopad, "Zm8"), "fo");
  EXPECT_EQ(decode(b64_to_bin_nopad, "Zg"), "f");
  EXPECT_THAT(logged(), IsEmpty());
}

TEST_F(Base64, NullPointersAndNegativeSizesAreRefused) {
  char text[16] = "unchanged";
  uint8_t bin[16] = {7};
  const uint8_t src[3] = {1, 2, 3};
  for (auto fn : {bin_to_b64, bin_to_b64_nopad}) {
    EXPECT_EQ(fn(nullptr, 3, text, 16), -1);
    EXPECT_EQ(fn(src, 3, nullptr, 16), -1);
    EXPECT_EQ(fn(nullptr, 0, text, 16), -1);
    EXPECT_EQ(fn(src, -1, text, 16), -1);
  }
  for (auto fn : {b64_to_bin, b64_to_bin_nopad}) {
    EXPECT_EQ(fn(nullptr, 4, bin, 16), -1);
    EXPECT_EQ(fn("Zm9v", 4, nullptr, 16), -1);
    EXPECT_EQ(fn("Zm9v", -4, bin, 16), -1);
  }
  EXPECT_STREQ(text, "unchanged");
  EXPECT_EQ(bin[0], 7);
  const std::string enc_null = "ERROR: NULL POINTER AS OUTPUT IN BIN_TO_B64";
  const std::string dec_null = "ERROR: NULL POINTER AS OUTPUT OR INPUT IN B64_TO_BIN";
  EXPECT_THAT(logged(), ElementsAre(enc_null, enc_null, enc_null, "ERROR: INVALID INPUT SIZE IN BIN_TO_B64: -1",
                                    enc_null, enc_null, enc_null, "ERROR: INVALID INPUT SIZE IN BIN_TO_B64: -1",
                                    dec_null, dec_null, "ERROR: INVALID INPUT SIZE IN B64_TO_BIN: -4",
                                    dec_null, dec_null, "ERROR: INVALID INPUT SIZE IN B64_TO_BIN: -4"));
}

TEST_F(Base64, MessagesReachTheConsoleWithTheTimePrefix) {
  crx_console_log_enable(1);
  sandbox().set_calendar_time(1700000000);
  EXPECT_EQ(run(b64_to_bin, "Zm9vY", 8).r, -1);
  EXPECT_THAT(sandbox().console_lines(), ElementsAre("[1700000000] ERROR: ONLY ONE CHAR LEFT IN B64_TO_BIN: 5\n"));
}

}  // namespace
