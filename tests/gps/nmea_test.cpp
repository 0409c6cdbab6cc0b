// NMEA sentences as receivers of several makes write them, and the
// position file.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "crx.h"
#include "sim/testing.h"
#include "sim/ublox.h"
#include "tests/support/checks.h"

namespace {

// The sentence with its checksum; `lower` writes the digits in lower case.
std::string with_checksum(const std::string& body, bool lower = false) {
  unsigned x = 0;
  for (char c : body) x ^= static_cast<unsigned char>(c);
  char tail[4];
  std::snprintf(tail, sizeof tail, lower ? "%02x" : "%02X", x);
  return "$" + body + "*" + tail;
}

// A mutable, NUL-terminated copy, as the parsers want it.
struct Buffer {
  explicit Buffer(const std::string& s) : bytes(s.begin(), s.end()) { bytes.push_back('\0'); }
  char* data() { return bytes.data(); }
  unsigned size() const { return static_cast<unsigned>(bytes.size()); }
  std::vector<char> bytes;
};

int rmc(const std::string& s, timespec* utc, crx_coord_t* c) {
  Buffer b(s);
  return crx_parse_rmc(b.data(), b.size(), utc, c);
}
int gga(const std::string& s, crx_coord_t* c, uint32_t* sats, float* hdop) {
  Buffer b(s);
  return crx_parse_gga(b.data(), b.size(), c, sats, hdop);
}

TEST(Rmc, ReadsTimeAndPositionOfSeveralReceiverStyles) {
  struct Case {
    const char* body;
    time_t sec;
    long nsec;
    double lat, lon;
  } cases[] = {
      // Classic 2.x sentence; a two-digit year counts from 2000.
      {"GPRMC,123519.25,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W", 3920186119, 250000000, 48.1173,
       11.516667},
      // 2.3 mode field, southern and western hemispheres, GNSS talker.
      {"GNRMC,235959.487,A,3352.12800,S,15112.76000,W,0.01,,311224,,,A", 1735689599, 487000000, -33.868800,
       -151.212667},
      // 4.10 navigational status field (current u-blox default output).
      {"GNRMC,083559.90,A,4717.11437,N,00833.91522,E,0.004,77.52,091202,,,A,V", 1039422959, 900000000, 47.285240,
       8.565254},
      // Whole seconds only, GLONASS talker.
      {"GLRMC,000000,A,0000.000,N,00000.000,E,,,010100,,", 946684800, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    timespec utc{};
    crx_coord_t pos{1, 1, 7};
    ASSERT_EQ(rmc(with_checksum(c.body), &utc, &pos), 0);
    EXPECT_EQ(utc.tv_sec, c.sec);
    EXPECT_EQ(utc.tv_nsec, c.nsec);
    EXPECT_NEAR(pos.lat, c.lat, 1e-6);
    EXPECT_NEAR(pos.lon, c.lon, 1e-6);
    EXPECT_EQ(pos.alt, 0);
  }
}

TEST(Rmc, FractionsAreExactWhereADoubleWouldRoundDown) {
  for (auto [frac, ns] : {std::pair{".487", 487000000L}, {".90", 900000000L}, {".1", 100000000L},
                          {".123456789123", 123456789L}, {".999999999", 999999999L}}) {
    timespec utc{};
    const std::string s = with_checksum(std::string("GPRMC,1200") + "07" + frac + ",A,4807.038,N,01131.000,E,,,230394,,");
    ASSERT_EQ(rmc(s, &utc, nullptr), 0) << s;
    EXPECT_EQ(utc.tv_nsec, ns) << frac;
    EXPECT_EQ(utc.tv_sec % 60, 7);
  }
}

TEST(Rmc, RefusalCodes) {
  const std::string good = "GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W";
  EXPECT_EQ(rmc(with_checksum("GPRMC,123519,V,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W"), nullptr, nullptr), 4);
  EXPECT_EQ(rmc(with_checksum("GPRMC,123519,X,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W"), nullptr, nullptr), 2);
  EXPECT_EQ(rmc(with_checksum(good, true), nullptr, nullptr), 1);
  EXPECT_EQ(rmc("$" + good, nullptr, nullptr), 1);                        // no checksum
  EXPECT_EQ(rmc(with_checksum(good).substr(0, with_checksum(good).size() - 1), nullptr, nullptr), 1);
  EXPECT_EQ(rmc(with_checksum("GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4"), nullptr, nullptr), 2);
  EXPECT_EQ(rmc(with_checksum(good + ",A,V,X"), nullptr, nullptr), 2);  // 15 fields
  timespec utc{};
  crx_coord_t pos{};
  // No fix yet: empty position fields.
  EXPECT_EQ(rmc(with_checksum("GPRMC,123519,A,,,,,,,230394,,"), nullptr, &pos), 8);
  EXPECT_EQ(rmc(with_checksum("GPRMC,,A,4807.038,N,01131.000,E,,,230394,,"), &utc, nullptr), 8);
  EXPECT_EQ(rmc(with_checksum("GPRMC,123519,A,4807.038,X,01131.000,E,,,230394,,"), nullptr, &pos), 8);
  // Seconds that are no number of seconds.
  EXPECT_EQ(rmc(with_checksum("GPRMC,12001e35,A,4807.038,N,01131.000,E,,,230394,,"), &utc, nullptr), 8);
  EXPECT_EQ(rmc(with_checksum("GPRMC,1200-0.5,A,4807.038,N,01131.000,E,,,230394,,"), &utc, nullptr), 8);
  // Bad arguments.
  char shortbuf[] = "$GPRMC,1,A*00";
  EXPECT_FAILS_WITH(crx_parse_rmc(shortbuf, sizeof shortbuf, nullptr, nullptr), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(crx_parse_rmc(nullptr, 80, nullptr, nullptr), ERR_UNSPECIFIED);
}

TEST(Rmc, SentenceWithoutNulInsideLengthIsRefused) {
  std::string s = with_checksum("GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W");
  std::vector<char> b(s.begin(), s.end());  // no terminator
  EXPECT_EQ(crx_parse_rmc(b.data(), static_cast<unsigned>(b.size()), nullptr, nullptr), 2);
}

TEST(Gga, ReadsPositionSatellitesAndHdop) {
  crx_coord_t pos{};
  uint32_t sats = 0;
  float hdop = 0;
  ASSERT_EQ(gga(with_checksum("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,"), &pos, &sats, &hdop), 0);
  EXPECT_NEAR(pos.lat, 48.1173, 1e-6);
  EXPECT_NEAR(pos.lon, 11.516667, 1e-6);
  EXPECT_EQ(pos.alt, 545);
  EXPECT_EQ(sats, 8u);
  EXPECT_FLOAT_EQ(hdop, 0.9f);

  ASSERT_EQ(gga(with_checksum("GNGGA,092725.00,3352.12800,S,15112.76000,W,1,12,1.01,21.3,M,22.0,M,,0000"), &pos,
                nullptr, nullptr), 0);
  EXPECT_NEAR(pos.lat, -33.8688, 1e-6);
  EXPECT_NEAR(pos.lon, -151.212667, 1e-6);
  EXPECT_EQ(pos.alt, 21);
}

TEST(Gga, RefusalCodes) {
  EXPECT_EQ(gga(with_checksum("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,"), nullptr, nullptr, nullptr), 2);
  EXPECT_EQ(gga(with_checksum("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,,"), nullptr, nullptr, nullptr), 2);
  // No fix: empty fields.
  const std::string nofix = with_checksum("GPGGA,123519,,,,,0,00,,,M,,M,,");
  crx_coord_t pos{};
  uint32_t sats = 0;
  float hdop = 0;
  EXPECT_EQ(gga(nofix, &pos, nullptr, nullptr), 8);
  EXPECT_EQ(gga(nofix, nullptr, &sats, nullptr), 0);
  EXPECT_EQ(gga(nofix, nullptr, nullptr, &hdop), 8);
  EXPECT_EQ(gga(with_checksum("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,47.0,M,,", true), &pos, nullptr, nullptr), 1);
  char shortbuf[] = "$GPGGA,1,2,3,4,5*00";
  EXPECT_FAILS_WITH(crx_parse_gga(shortbuf, sizeof shortbuf, nullptr, nullptr, nullptr), ERR_UNSPECIFIED);
}

TEST(Nmea, ParsingCutsTheSentenceIntoFieldsInPlace) {
  Buffer b(with_checksum("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,"));
  ASSERT_EQ(crx_parse_gga(b.data(), b.size(), nullptr, nullptr, nullptr), 0);
  EXPECT_STREQ(b.data(), "$GPGGA");
  EXPECT_STREQ(b.data() + 7, "123519");
  EXPECT_EQ(std::count(b.bytes.begin(), b.bytes.end(), ','), 0);
}

TEST(Nmea, ClassifiesEverySentenceType) {
  struct {
    const char* s;
    uint32_t type;
  } cases[] = {{"$GPRMC,....", 4}, {"$GNGGA,....", 5}, {"$GNGNS,....", 6}, {"$GPZDA,....", 7}, {"$GPGBS,....", 8},
               {"$GPGST,....", 9}, {"$GAGSA,....", 10}, {"$GLGSV,....", 11}, {"$GBGLL,....", 12},
               {"$GPTXT,....", 13}, {"$GPVTG,....", 14}, {"$BDGSV,....", 0}, {"$GQRMC,....", 0},
               {"GPRMC,.....", 0}, {"$GPXYZ,....", 0}};
  for (const auto& c : cases) {
    uint32_t type = 99;
    EXPECT_EQ(crx_get_nmea_type(c.s, 11, &type), 0);
    EXPECT_EQ(type, c.type) << c.s;
  }
  uint32_t type = 0;
  EXPECT_FAILS_WITH(crx_get_nmea_type("$GPRMC,12", 9, &type), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(crx_get_nmea_type(nullptr, 20, &type), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(crx_get_nmea_type("$GPRMC,1234", 11, nullptr), ERR_UNSPECIFIED);
}

TEST(Nmea, SimulatedReceiverSentencesParseBack) {
  const time_t t = 1765280000;  // 2025-12-09 11:33:20 UTC
  std::string r = crx::sim::nmea_rmc(t, 37, -45.502057, -73.508333);
  r.resize(r.size() - 2);  // CR LF
  timespec utc{};
  crx_coord_t pos{};
  ASSERT_EQ(rmc(r, &utc, &pos), 0) << r;
  EXPECT_EQ(utc.tv_sec, t);
  EXPECT_EQ(utc.tv_nsec, 370000000);
  EXPECT_NEAR(pos.lat, -45.502057, 1e-6);
  std::string g = crx::sim::nmea_gga(t, 0, 10.5, 100.25, 120, 9);
  g.resize(g.size() - 2);
  uint32_t sats = 0;
  ASSERT_EQ(gga(g, &pos, &sats, nullptr), 0) << g;
  EXPECT_NEAR(pos.lon, 100.25, 1e-6);
  EXPECT_EQ(pos.alt, 120);
  EXPECT_EQ(sats, 9u);
}

class PositionFile : public crx::sim::SandboxTest {};

TEST_F(PositionFile, ReadsAFixAndZeroesWithoutOne) {
  crx_coord_t pos{1, 1, 1};
  EXPECT_EQ(crx_get_gps_position(&pos), 0);  // no file
  EXPECT_EQ(pos.lat, 0);
  EXPECT_EQ(pos.alt, 0);

  sandbox().write_file("/tmp/position", "fix yes\nlat 4530.1234S\nlon 07330.5000W\nalt 120\n");
  ASSERT_EQ(crx_get_gps_position(&pos), 0);
  EXPECT_NEAR(pos.lat, -45.502057, 1e-6);
  EXPECT_NEAR(pos.lon, -73.508333, 1e-6);
  EXPECT_EQ(pos.alt, 120);

  crx::sim::write_position_file(sandbox(), true, 48.1173, 11.516667, 545);
  ASSERT_EQ(crx_get_gps_position(&pos), 0);
  EXPECT_NEAR(pos.lat, 48.1173, 1e-4);
  EXPECT_NEAR(pos.lon, 11.516667, 1e-4);
  EXPECT_EQ(pos.alt, 545);

  for (const char* content : {"fix no\nlat 4530.1234N\nlon 07330.5000E\nalt 120\n", "fix yes\nlat 4\n",
                              "fix yes\nlat xx30.1N\nlon 07330.5000E\nalt 1\n", ""}) {
    pos = {1, 1, 1};
    sandbox().write_file("/tmp/position", content);
    EXPECT_EQ(crx_get_gps_position(&pos), 0);
    EXPECT_EQ(pos.lat, 0) << content;
    EXPECT_EQ(pos.lon, 0) << content;
    EXPECT_EQ(pos.alt, 0) << content;
  }
  EXPECT_EQ(crx_get_gps_position(nullptr), -1);
}

TEST(GpsCompatibility, FixedResults) {
  EXPECT_EQ(crx_gps_enable(), 0);
  EXPECT_EQ(crx_gps_disable(), 0);
  EXPECT_EQ(crx_parse_nmea(), 1);
  EXPECT_EQ(crx_parse_ubx(), 1);
  EXPECT_EQ(crx_gps_get(), -1);
  EXPECT_EQ(crx_gps_sync(), -1);
}

}  // namespace
