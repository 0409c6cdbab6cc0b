// The position file that the gateway's GPS daemon keeps: four lines of a
// label and a value (lock word, latitude, longitude, altitude).
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "errors.h"
#include "gps/gps_internal.h"
#include "platform/os.h"

namespace crx::gps {
namespace {

constexpr int kWordMax = 19;

// The second word of the next line, at most kWordMax characters. False at
// the end of the file or for a line with fewer than two words.
bool next_value(FILE* f, char (&value)[kWordMax + 1]) {
  char line[256];
  if (!std::fgets(line, sizeof line, f)) return false;
  // The rest of an over-long line is not a line of its own.
  while (!std::strchr(line, '\n')) {
    char rest[256];
    if (!std::fgets(rest, sizeof rest, f)) break;
    if (std::strchr(rest, '\n')) break;
  }
  char label[kWordMax + 1];
  return std::sscanf(line, "%19s %19s", label, value) == 2;
}

bool begins_with_yes(const char* word) { return std::strncmp(word, "yes", 3) == 0; }

// DDMM.mmmmm or DDDMM.mmmmm followed by the hemisphere letter.
bool read_position_angle(const char* word, int degree_digits, char positive, double* out) {
  const size_t len = std::strlen(word);
  if (len < size_t(degree_digits) + 1) return false;
  int degrees = 0;
  for (int i = 0; i < degree_digits; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(word[i]))) return false;
    degrees = degrees * 10 + (word[i] - '0');
  }
  char minutes[9] = {};
  std::memcpy(minutes, word + degree_digits, std::min<size_t>(8, len - size_t(degree_digits)));
  const double angle = degrees + std::strtod(minutes, nullptr) / 60.0;
  *out = word[len - 1] == positive ? angle : -angle;
  return true;
}

}  // namespace

bool gps_lock_word() {
  FILE* f = os::fopen(kPositionFile, "r");
  if (!f) return false;
  char label[kWordMax + 1] = {}, value[kWordMax + 1] = {};
  const bool locked = std::fscanf(f, "%19s %19s\n", label, value) == 2 && begins_with_yes(value);
  std::fclose(f);
  return locked;
}

}  // namespace crx::gps

extern "C" int crx_get_gps_position(crx_coord_t* coord) {
  if (!coord) return -1;
  coord->lat = 0;
  coord->lon = 0;
  coord->alt = 0;
  FILE* f = crx::os::fopen(crx::gps::kPositionFile, "r");
  if (!f) return 0;
  char lock[20] = {}, lat_word[20] = {}, lon_word[20] = {}, alt_word[20] = {};
  double lat = 0, lon = 0;
  // A fix with a value that cannot be read is reported as no position at
  // all rather than as a half-read one.
  const bool ok = crx::gps::next_value(f, lock) && crx::gps::begins_with_yes(lock) &&
                  crx::gps::next_value(f, lat_word) && crx::gps::next_value(f, lon_word) &&
                  crx::gps::next_value(f, alt_word) &&
                  crx::gps::read_position_angle(lat_word, 2, 'N', &lat) &&
                  crx::gps::read_position_angle(lon_word, 3, 'E', &lon);
  std::fclose(f);
  if (!ok) return 0;
  coord->lat = lat;
  coord->lon = lon;
  coord->alt = static_cast<uint16_t>(std::atoi(alt_word));
  return 0;
}
