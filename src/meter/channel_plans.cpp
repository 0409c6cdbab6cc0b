// The fixed channel tables: RF v3 (channel -> Hz) and the OPAL LoRa plans
// of its 500 kHz and 125 kHz channels.
#include "meter/channel_plans.h"

#include <array>
#include <cmath>
#include <span>

#include "crx.h"
#include "log.h"

namespace crx::meter {
namespace {

constexpr std::array<uint32_t, kRfv3Channels> kRfv3Plan = {
    922000000, 904500000, 908000000, 925000000, 905000000, 904250000, 906000000, 910500000, 916000000,
    915000000, 908500000, 916500000, 909500000, 923500000, 913000000, 907000000, 906500000, 923000000,
    910000000, 915500000, 903500000, 919000000, 911000000, 904000000, 926500000, 924500000, 922500000,
    913500000, 921500000, 907500000, 924000000, 911500000, 912000000, 920500000, 917000000, 927000000,
    917500000, 918000000, 925500000, 926000000, 920000000, 905500000, 919500000, 902500000, 903000000,
    912500000, 918500000, 914000000, 908250000, 914500000, 0,         0,         908150000, 919800000,
    922650000, 902650000, 907150000, 916150000, 902800000, 916650000, 925350000, 917800000, 924150000,
    926350000, 919650000, 915350000, 903150000, 905350000, 917650000, 912150000, 905150000, 903350000,
    921350000, 917150000, 908350000, 922150000, 919150000, 909150000, 922800000, 917350000, 910350000,
    906650000, 926150000, 911150000, 913350000, 923800000, 912350000, 925150000, 918150000, 927350000,
    914150000, 919350000, 924800000, 904650000, 912800000, 914350000, 921150000, 920150000, 904800000,
    916350000, 913800000, 914650000,
};

constexpr int kOpalWideFirst = 176;
constexpr std::array<uint32_t, 5> kOpalWide = {914400000, 915800000, 917400000, 919000000, 920600000};

constexpr int kOpalNarrowFirst = 102;
constexpr std::array<uint32_t, 50> kOpalNarrow = {
    915010498, 921011475, 924011963, 926712402, 912910156, 917110840, 919211182, 925812256, 915910645,
    912610107, 918911133, 919811279, 917410889, 913510254, 922811768, 914110352, 915310547, 922211670,
    918010986, 923711914, 912310059, 924912109, 916210693, 921911621, 916510742, 925512207, 920411377,
    918311035, 919511230, 914410400, 923411865, 916810791, 913810303, 924612061, 926112305, 922511719,
    921611572, 920711426, 921311523, 923111816, 913210205, 924312012, 920111328, 927012451, 925212158,
    915610596, 926412354, 917710938, 914710449, 918611084,
};

constexpr double kOffsetStepHz = 3906.25;
constexpr int64_t kOffsetLimit = 4096;

// The nearest entry; a later one wins only when strictly closer, and an
// exact match ends the walk.
int nearest(std::span<const uint32_t> plan, int first, uint32_t freq_hz) {
  int best = first;
  uint64_t best_gap = UINT64_MAX;
  for (size_t i = 0; i < plan.size(); ++i) {
    const int64_t diff = int64_t{plan[i]} - int64_t{freq_hz};
    const uint64_t gap = uint64_t(diff < 0 ? -diff : diff);
    if (gap < best_gap) {
      best_gap = gap;
      best = first + int(i);
    }
    if (gap == 0) break;
  }
  return best;
}

}  // namespace

uint32_t rfv3_channel_hz(uint32_t channel) { return channel < kRfv3Channels ? kRfv3Plan[channel] : 0; }

std::optional<int32_t> rfv3_offset(uint32_t channel, uint32_t reference_hz, int64_t* raw) {
  const int64_t delta = int64_t{rfv3_channel_hz(channel)} - int64_t{reference_hz};
  const int64_t offset = std::llround(double(delta) / kOffsetStepHz);
  if (raw) *raw = offset;
  if (offset <= -kOffsetLimit || offset >= kOffsetLimit) return std::nullopt;
  return int32_t(offset);
}

}  // namespace crx::meter

extern "C" int opalLoraChannelFromFreq(uint32_t freq_hz, int bw_code) {
  using namespace crx::meter;
  switch (bw_code) {
    case 1:
      return nearest(kOpalWide, kOpalWideFirst, freq_hz);
    case 3:
      return nearest(kOpalNarrow, kOpalNarrowFirst, freq_hz);
    default:
      crx::log_line("%s, unknown bandwidth code %d", __func__, bw_code);
      return -1;
  }
}
