// NMEA sentences: the checksum, the field split, the sentence classifier and
// the RMC and GGA parsers. All stateless; the caller's buffer is cut into
// fields in place.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "errors.h"
#include "gps/gps_internal.h"

namespace crx::gps {
namespace {

// RMC has 13 fields up to NMEA 4.0 and 14 from 4.10 on (the navigational
// status field that current u-blox modules send by default).
constexpr unsigned kRmcMaxFields = 14;
constexpr unsigned kRmcMinFields = 12;
constexpr unsigned kGgaFields = 15;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower-case digits are not accepted
}

// Degrees and minutes ("DDMM.mmmm" with `degree_digits` digits of degrees)
// and a hemisphere word, as the two parsers read them.
bool read_angle(const char* value, const char* hemisphere, bool latitude, double* out) {
  short degrees = 0;
  double minutes = 0;
  const int got = std::sscanf(value, latitude ? "%2hd%lf" : "%3hd%lf", &degrees, &minutes);
  if (got != 2) return false;
  const char* positive = latitude ? "N" : "E";
  const char* negative = latitude ? "S" : "W";
  const bool north_east = std::strcmp(hemisphere, positive) == 0;
  if (!north_east && std::strcmp(hemisphere, negative) != 0) return false;
  const double angle = degrees + minutes / 60.0;
  *out = north_east ? angle : -angle;
  return true;
}

// The time and date words of RMC into UTC. The seconds keep their decimal
// fraction exactly: through a double, ".487" would come out 486999999 ns.
bool read_rmc_time(const char* time_word, const char* date_word, struct timespec* utc) {
  short day = 0, month = 0, year = 0;
  if (std::sscanf(date_word, "%2hd%2hd%hd", &day, &month, &year) != 3) return false;
  short hours = 0, minutes = 0;
  double seconds = 0;
  if (std::sscanf(time_word, "%2hd%2hd%lf", &hours, &minutes, &seconds) != 3) return false;
  int offset = 0;
  std::sscanf(time_word, "%2hd%2hd%n", &hours, &minutes, &offset);
  long whole = 0, nanoseconds = 0;
  if (!parse_decimal_seconds(time_word + offset, &whole, &nanoseconds)) {
    // Forms only scanf reads (a sign, an exponent): the seconds as written,
    // as long as they are a number of seconds at all.
    if (!(seconds >= 0 && seconds < 1e9)) return false;
    whole = static_cast<long>(seconds);
    nanoseconds = static_cast<long>((seconds - static_cast<double>(whole)) * 1e9);
  }
  struct tm tm {};
  tm.tm_year = year > 99 ? year - 1900 : year + 100;  // a two-digit year is 20yy
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hours;
  tm.tm_min = minutes;
  tm.tm_sec = static_cast<int>(whole);
  utc->tv_sec = timegm(&tm);
  utc->tv_nsec = nanoseconds;
  return true;
}

}  // namespace

bool nmea_checksum_ok(const char* sentence, unsigned length) {
  unsigned i = (length > 0 && sentence[0] == '$') ? 1 : 0;
  unsigned sum = 0;
  while (i < length && sentence[i] != '*' && sentence[i] != '\0') sum ^= static_cast<unsigned char>(sentence[i++]);
  if (i >= length || sentence[i] != '*') return false;
  if (i + 2 >= length) return false;
  const int high = hex_digit(sentence[i + 1]);
  const int low = hex_digit(sentence[i + 2]);
  if (high < 0 || low < 0) return false;
  return unsigned(high * 16 + low) == sum;
}

int nmea_split(char* sentence, unsigned length, unsigned* starts, unsigned max_fields) {
  unsigned count = 1;
  starts[0] = 0;
  for (unsigned i = 0; i < length; ++i) {
    if (sentence[i] == '\0') return static_cast<int>(count);
    if (sentence[i] != ',') continue;
    if (count == max_fields) return -1;
    sentence[i] = '\0';
    starts[count++] = i + 1;
  }
  return -1;  // no NUL ends the sentence inside the buffer
}

bool parse_decimal_seconds(const char* text, long* whole, long* nanoseconds) {
  while (*text == ' ' || *text == '\t') ++text;
  long w = 0;
  int int_digits = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    if (++int_digits > 9) return false;
    w = w * 10 + (*text - '0');
  }
  long ns = 0;
  int frac_digits = 0;
  if (*text == '.') {
    for (++text; *text >= '0' && *text <= '9'; ++text) {
      if (frac_digits < 9) {
        ns = ns * 10 + (*text - '0');
        ++frac_digits;
      }
    }
  }
  if (int_digits == 0 && frac_digits == 0) return false;
  if (*text == 'e' || *text == 'E' || *text == 'x' || *text == 'X') return false;
  for (; frac_digits < 9; ++frac_digits) ns *= 10;
  *whole = w;
  *nanoseconds = ns;
  return true;
}

}  // namespace crx::gps

using crx::fail;
using namespace crx::gps;

extern "C" {

int crx_get_nmea_type(const char* sentence, unsigned length, uint32_t* type) {
  if (!sentence || !type || length < 10) return fail(ERR_UNSPECIFIED);
  *type = CRX_NMEA_UNKNOWN;
  if (sentence[0] != '$' || sentence[1] != 'G' || !std::strchr("PLABN", sentence[2]) || sentence[2] == '\0')
    return 0;
  static constexpr struct {
    const char* formatter;
    crx_nmea_type_t type;
  } kTypes[] = {{"RMC", CRX_NMEA_RMC}, {"GGA", CRX_NMEA_GGA}, {"GNS", CRX_NMEA_GNS},
                {"ZDA", CRX_NMEA_ZDA}, {"GBS", CRX_NMEA_GBS}, {"GST", CRX_NMEA_GST},
                {"GSA", CRX_NMEA_GSA}, {"GSV", CRX_NMEA_GSV}, {"GLL", CRX_NMEA_GLL},
                {"TXT", CRX_NMEA_TXT}, {"VTG", CRX_NMEA_VTG}};
  for (const auto& t : kTypes) {
    if (std::memcmp(sentence + 3, t.formatter, 3) == 0) {
      *type = t.type;
      break;
    }
  }
  return 0;
}

int crx_parse_rmc(char* sentence, unsigned length, struct timespec* utc, crx_coord_t* coord) {
  if (!sentence || length <= 22) return fail(ERR_UNSPECIFIED);
  if (!nmea_checksum_ok(sentence, length)) return CRX_NMEA_BAD_CHECKSUM;
  unsigned f[kRmcMaxFields];
  const int fields = nmea_split(sentence, length, f, kRmcMaxFields);
  if (fields < static_cast<int>(kRmcMinFields)) return CRX_NMEA_BAD_FIELDS;
  const char* status = sentence + f[2];
  if (std::strcmp(status, "V") == 0) return CRX_NMEA_NO_FIX;
  if (std::strcmp(status, "A") != 0) return CRX_NMEA_BAD_FIELDS;
  if (utc && !read_rmc_time(sentence + f[1], sentence + f[9], utc)) return CRX_NMEA_BAD_VALUE;
  if (coord) {
    double lat = 0, lon = 0;
    if (!read_angle(sentence + f[3], sentence + f[4], true, &lat) ||
        !read_angle(sentence + f[5], sentence + f[6], false, &lon))
      return CRX_NMEA_BAD_VALUE;
    coord->lat = lat;
    coord->lon = lon;
    coord->alt = 0;
  }
  return CRX_NMEA_OK;
}

int crx_parse_gga(char* sentence, unsigned length, crx_coord_t* coord, uint32_t* num_sats, float* hdop) {
  if (!sentence || length <= 26) return fail(ERR_UNSPECIFIED);
  if (!nmea_checksum_ok(sentence, length)) return CRX_NMEA_BAD_CHECKSUM;
  unsigned f[kGgaFields];
  if (nmea_split(sentence, length, f, kGgaFields) != static_cast<int>(kGgaFields)) return CRX_NMEA_BAD_FIELDS;
  if (coord) {
    double lat = 0, lon = 0;
    int alt = 0;
    if (!read_angle(sentence + f[2], sentence + f[3], true, &lat) ||
        !read_angle(sentence + f[4], sentence + f[5], false, &lon) ||
        std::sscanf(sentence + f[9], "%d", &alt) != 1)
      return CRX_NMEA_BAD_VALUE;
    coord->lat = lat;
    coord->lon = lon;
    coord->alt = static_cast<uint16_t>(alt);
  }
  if (num_sats) {
    short sats = 0;
    if (std::sscanf(sentence + f[7], "%hd", &sats) != 1) return CRX_NMEA_BAD_VALUE;
    *num_sats = static_cast<uint32_t>(sats);
  }
  if (hdop && std::sscanf(sentence + f[8], "%f", hdop) != 1) return CRX_NMEA_BAD_VALUE;
  return CRX_NMEA_OK;
}

}  // extern "C"
