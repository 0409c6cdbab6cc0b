// The estimators on peaks whose truth is known: a hand-solved fit, synthetic
// chirps from a chosen arrival and frequency offset, and designs too small
// to solve.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "loc/loc_engine.h"

namespace {

using crx::loc::Estimate;
using crx::loc::Peaks;
using crx::loc::Request;

Request request(uint8_t sf, uint8_t up, uint8_t down) {
  Request r{};
  r.sf = sf;
  r.bandwidth_hz = 125000;
  r.up_peaks = up;
  r.down_peaks = down;
  r.us_from_ref = 250000;
  r.ref_gps_s = 1400000000;
  return r;
}

// Three up-chirps and one down-chirp, SF7, all peaks where a perfect packet
// puts them except the first up-chirp, one sample late. Solved by hand:
// B·Bᵀ = [[4,-4,-2],[-4,18,8],[-2,8,4]], det 24, A00 = 1/3, A22 = 7/3,
// θ = (-1/6, 1/2, -5/6), residual sum of squares 1/6, σ = √(1/24).
TEST(Estimator, HandSolvedFitOfVersionTwo) {
  Request r = request(7, 3, 1);
  Peaks p;
  p.up = 3;
  p.down = 1;
  p.up_pos[0] = 1;
  p.up_coarse = p.down_coarse = 16 + 128;  // (coarse - 16) × 64 cancels 2^(SF+6)
  const auto e = crx::loc::estimate_v2(r, p);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->gps_s, 1400000000u);
  EXPECT_EQ(e->ns, 249999995u);  // 0.25 s - (1/6) / 32 MHz
  EXPECT_EQ(e->freq_offset_hz, -3);  // round(-5/6 × 125000 / 2^15)
  const double sigma = std::sqrt(1.0 / 24);
  EXPECT_NEAR(e->time_accuracy_ns, sigma * std::sqrt(1.0 / 3) * 125 / 4, 1e-4);
  EXPECT_NEAR(e->freq_accuracy_hz, 125000.0 / 32768 * sigma * std::sqrt(7.0 / 3), 1e-5);

  // The result record's adjusted nanoseconds wrap at one second.
  crx_loc_result_t out{};
  crx::loc::fill_result(out, r, *e);
  EXPECT_EQ(out.gps_nsec_adj, (249999995u + 128u * 64000u + 101145u) % 1000000000u);
  Estimate late = *e;
  late.ns = 999999999;
  crx::loc::fill_result(out, r, late);
  EXPECT_EQ(out.gps_nsec_adj, (999999999ull + 128 * 64000 + 101145) % 1000000000);
}

// A packet that started before the reference's PPS is dated in the second
// before it, on both block versions.
TEST(Estimator, PacketStartedBeforeTheReference) {
  for (int version : {1, 2}) {
    Request r = request(7, 3, 1);
    r.us_from_ref = uint32_t(-250000);  // as the block was programmed: 32-bit wrap
    Peaks p;
    p.up = 3;
    p.down = 1;
    p.up_coarse = p.down_coarse = version == 2 ? 16 + 128 : 0;
    const auto e = crx::loc::estimate(r, p, uint32_t(version));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->gps_s, 1399999999u) << version;
    EXPECT_NEAR(double(e->ns), 750000000.0, 100.0) << version;
  }
}

// Peaks as the block reports them for an arrival `offset` samples after
// the programmed position and a frequency offset `hz`, rounded to whole
// samples, plus Gaussian noise.
Peaks synthetic(int version, const Request& r, double offset, double hz, double noise, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> n(0.0, noise);
  Peaks p;
  p.up = r.up_peaks;
  p.down = r.down_peaks;
  const double bw = r.bandwidth_hz;
  for (int kind = 0; kind < 2; ++kind) {
    const int count = kind == 0 ? p.up : p.down;
    const double sign = kind == 0 ? -1.0 : 1.0;
    double m[8];
    double low = 1e300;
    for (int k = 0; k < count; ++k) {
      m[k] = version == 2 ? sign * offset + hz * std::ldexp(1.0, r.sf + 8) / bw + std::ldexp(1.0, r.sf + 6)
                          : offset + sign * hz * std::ldexp(1.0, r.sf) * 32e6 / (bw * bw);
      m[k] += noise > 0 ? n(rng) : 0.0;
      low = std::min(low, m[k]);
    }
    const int step = version == 2 ? 64 : 128;
    const int coarse = static_cast<int>(std::floor(low / step)) + (version == 2 ? 16 : 0);
    const double base = (coarse - (version == 2 ? 16 : 0)) * double(step);
    uint16_t* pos = kind == 0 ? p.up_pos : p.down_pos;
    for (int k = 0; k < count; ++k) pos[k] = static_cast<uint16_t>(std::lround(m[k] - base));
    (kind == 0 ? p.up_coarse : p.down_coarse) = static_cast<uint16_t>(coarse);
  }
  return p;
}

TEST(Estimator, RecoversArrivalAndFrequencyOffsetOnBothVersions) {
  struct Case {
    int version;
    uint8_t sf, up, down;
    double offset, hz, noise;
  };
  const Case cases[] = {
      {2, 7, 8, 2, 123.4, 1500.0, 0.0}, {2, 9, 8, 2, -40.7, -2200.0, 0.8}, {2, 10, 5, 2, 300.2, 0.0, 1.5},
      {1, 7, 8, 2, 321.6, 900.0, 0.0},  {1, 8, 8, 2, 977.3, -1300.0, 0.8},  {1, 9, 5, 2, 1000.5, 450.0, 1.5},
  };
  for (const auto& c : cases) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
      SCOPED_TRACE(testing::Message() << "version " << c.version << " SF" << int(c.sf) << " seed " << seed);
      const Request r = request(c.sf, c.up, c.down);
      const auto e = crx::loc::estimate(r, synthetic(c.version, r, c.offset, c.hz, c.noise, seed), c.version);
      ASSERT_TRUE(e);
      const double true_ns = 250000000.0 + c.offset / 32e6 * 1e9;
      const double got_ns = (double(e->gps_s) - 1400000000.0) * 1e9 + e->ns;
      // Within four reported standard errors, and never worse than the
      // rounding of the peaks to whole samples allows for a clean packet.
      const double time_tol = 4 * e->time_accuracy_ns + 16.0;
      EXPECT_NEAR(got_ns, true_ns, time_tol);
      const double hz_per_sample = c.version == 2 ? 125000.0 / std::ldexp(1.0, c.sf + 8)
                                                  : 125000.0 * 125000.0 / std::ldexp(1.0, c.sf) / 32e6;
      EXPECT_NEAR(e->freq_offset_hz, c.hz, 4 * e->freq_accuracy_hz + hz_per_sample + 1.0);
      EXPECT_TRUE(std::isfinite(e->time_accuracy_ns) && std::isfinite(e->freq_accuracy_hz));
    }
  }
}

TEST(Estimator, DesignsThatCannotBeSolvedGiveNoResult) {
  for (int version : {1, 2}) {
    SCOPED_TRACE(version);
    Request r = request(7, 1, 1);  // two peaks, three unknowns
    Peaks p;
    p.up = p.down = 1;
    EXPECT_FALSE(crx::loc::estimate(r, p, version));
    r = request(7, 0, 1);  // no up-chirp at all
    p.up = 0;
    EXPECT_FALSE(crx::loc::estimate(r, p, version));
    r = request(7, 9, 2);  // more peaks than the block has
    p.up = 9;
    p.down = 2;
    EXPECT_FALSE(crx::loc::estimate(r, p, version));
    r = request(0, 8, 2);  // no spreading factor
    p.up = 8;
    EXPECT_FALSE(crx::loc::estimate(r, p, version));
  }
}

TEST(Estimator, SmallestSolvableDesignFitsExactly) {
  Request r = request(8, 2, 1);
  const auto e = crx::loc::estimate_v2(r, synthetic(2, r, 50.0, 0.0, 0.0, 1));
  ASSERT_TRUE(e);
  EXPECT_FLOAT_EQ(e->time_accuracy_ns, 0.0f);
  EXPECT_EQ(e->ns, 250000000u + 1563u);  // 50 samples of 31.25 ns
}

}  // namespace
