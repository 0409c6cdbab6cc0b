// Least-squares fit of a time offset, a drift and a frequency offset to the
// chirp peaks the geolocation block reports. One design row per peak; the
// two block versions differ in the order of the rows' terms, in how a peak
// becomes a measurement and in the units of the frequency term.
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "loc/loc_engine.h"
#include "log.h"

namespace crx::loc {
namespace {

struct MatrixFree {
  void operator()(matrix* m) const { matrix_free(m); }
};
using Mat = std::unique_ptr<matrix, MatrixFree>;

double& at(matrix* m, int r, int c) { return m->data[r * m->cols + c]; }

// (M)^-1 of a symmetric 3x3 matrix by cofactors; null when singular.
Mat inverse3(const matrix* m) {
  const double* a = m->data;
  const double c00 = a[4] * a[8] - a[5] * a[7], c01 = a[5] * a[6] - a[3] * a[8], c02 = a[3] * a[7] - a[4] * a[6];
  const double det = a[0] * c00 + a[1] * c01 + a[2] * c02;
  const double scale = std::fabs(a[0] * a[4] * a[8]) + 1e-300;
  if (!std::isfinite(det) || std::fabs(det) <= 1e-9 * scale) return nullptr;
  Mat inv(matrix_new(3, 3));
  if (!inv) return nullptr;
  double* o = inv->data;
  o[0] = c00, o[1] = a[2] * a[7] - a[1] * a[8], o[2] = a[1] * a[5] - a[2] * a[4];
  o[3] = c01, o[4] = a[0] * a[8] - a[2] * a[6], o[5] = a[2] * a[3] - a[0] * a[5];
  o[6] = c02, o[7] = a[1] * a[6] - a[0] * a[7], o[8] = a[0] * a[4] - a[1] * a[3];
  matrix_scale(inv.get(), 1.0 / det);
  return inv;
}

struct Fit {
  double theta[3];
  double sigma;
  double a00, a22;
};

// Builds the design and measurements of a version and solves them.
std::optional<Fit> fit(const Request& req, const Peaks& pk, bool v2, const char* who) {
  const int up = pk.up, down = pk.down, n = up + down;
  if (up < 1 || up > int(kMaxUp) || down < 1 || down > int(kMaxDown) || req.sf < 7 || req.sf > 12) return std::nullopt;
  Mat b(matrix_new(3, n));
  Mat t(matrix_new(n, 1));
  if (!t) log_line("%s: failed to allocate mem for t_mea", who);
  if (!b || !t) return std::nullopt;
  const double offset = std::ldexp(1.0, req.sf + 6);
  for (int i = 0; i < n; ++i) {
    const bool is_up = i < up;
    const int k = is_up ? i : i - up;
    const double pos = is_up ? ((k + 1) * 4.0 - 6 - 3.0 * up - down) / 4.0 : ((k + 1) * 4.0 + 2 + up - down) / 4.0;
    const double sign = is_up ? -1.0 : 1.0;
    const double peak = is_up ? pk.up_pos[k] : pk.down_pos[k];
    const double coarse = is_up ? pk.up_coarse : pk.down_coarse;
    if (v2) {
      at(b.get(), 0, i) = sign;
      at(b.get(), 1, i) = is_up ? -pos : pos;
      at(b.get(), 2, i) = 1.0;
      at(t.get(), i, 0) = peak + (coarse - 16.0) * 64.0 - offset;
    } else {
      at(b.get(), 0, i) = 1.0;
      at(b.get(), 1, i) = pos;
      at(b.get(), 2, i) = sign;
      at(t.get(), i, 0) = coarse * 128.0 + peak;
    }
  }
  Mat bt(matrix_transpose(b.get()));
  if (!bt) return std::nullopt;
  Mat bbt(matrix_multiply(b.get(), bt.get()));
  if (!bbt) return std::nullopt;
  Mat a = inverse3(bbt.get());
  if (!a) return std::nullopt;
  Mat bt_meas(matrix_multiply(b.get(), t.get()));
  if (!bt_meas) return std::nullopt;
  Mat theta(matrix_multiply(a.get(), bt_meas.get()));
  if (!theta) return std::nullopt;
  Mat model(matrix_multiply(bt.get(), theta.get()));
  if (!model) return std::nullopt;
  double ss = 0.0;
  for (int i = 0; i < n; ++i) {
    const double r = t->data[i] - model->data[i];
    ss += r * r;
  }
  Fit f{{theta->data[0], theta->data[1], theta->data[2]}, std::sqrt(ss / n), at(a.get(), 0, 0), at(a.get(), 2, 2)};
  for (double v : {f.theta[0], f.theta[1], f.theta[2], f.sigma, f.a00, f.a22})
    if (!std::isfinite(v)) return std::nullopt;
  if (f.a00 < 0 || f.a22 < 0) return std::nullopt;
  return f;
}

// The estimate from a fit: `t_s` seconds after the reference, and the
// frequency of one unit of θ2 (the versions scale it differently). One
// sample is 31.25 ns, hence the time accuracy's 125 / 4.
std::optional<Estimate> finish(const Request& req, const Fit& f, double t_s, double hz_per_unit) {
  const double freq = f.theta[2] * hz_per_unit;
  if (!std::isfinite(t_s) || !std::isfinite(freq) || std::fabs(freq) > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  double whole = std::floor(t_s);
  double ns = std::round((t_s - whole) * 1e9);
  if (ns >= 1e9) {  // rounding reached the next second
    ns -= 1e9;
    whole += 1.0;
  }
  Estimate e{};
  e.gps_s = static_cast<uint32_t>(static_cast<int64_t>(whole) + req.ref_gps_s);
  e.ns = static_cast<uint32_t>(ns);
  e.freq_offset_hz = static_cast<int32_t>(std::round(freq));
  e.time_accuracy_ns = static_cast<float>(f.sigma * std::sqrt(f.a00) * 125.0 / 4.0);
  e.freq_accuracy_hz = static_cast<float>(hz_per_unit * f.sigma * std::sqrt(f.a22));
  return e;
}

// Seconds from the reference's PPS to the packet's start. The reference is
// sampled every few seconds, so a long packet (or one heard just after a
// new sample) starts before it: the 32-bit offset is then negative, not
// seventy minutes ahead.
double seconds_from_ref(const Request& req) {
  return static_cast<int32_t>(static_cast<uint32_t>(req.us_from_ref)) / 1e6;
}

}  // namespace

std::optional<Estimate> estimate_v2(const Request& req, const Peaks& peaks) {
  const auto f = fit(req, peaks, true, "estimate_v2");
  if (!f) return std::nullopt;
  const double hz_per_sample = req.bandwidth_hz / std::ldexp(1.0, req.sf + 8);
  return finish(req, *f, seconds_from_ref(req) + (req.residual + f->theta[0]) / 32e6, hz_per_sample);
}

std::optional<Estimate> estimate_v1(const Request& req, const Peaks& peaks) {
  const auto f = fit(req, peaks, false, "estimate_v1");
  if (!f) return std::nullopt;
  const double bw = req.bandwidth_hz;
  return finish(req, *f, seconds_from_ref(req) + f->theta[0] / 32e6, bw * bw / std::ldexp(1.0, req.sf) / 32e6);
}

std::optional<Estimate> estimate(const Request& req, const Peaks& peaks, uint32_t version) {
  return version == 2 ? estimate_v2(req, peaks) : estimate_v1(req, peaks);
}

void fill_result(crx_loc_result_t& out, const Request& req, const Estimate& e) {
  out.dev_addr = req.dev_addr;
  out.fcnt = req.fcnt;
  out.freq_hz = req.freq_hz;
  out.bandwidth_hz = req.bandwidth_hz;
  out.sf = req.sf;
  out.antenna = req.antenna;
  out.gps_sec = e.gps_s;
  out.gps_nsec = e.ns;
  out.gps_nsec_adj = static_cast<uint32_t>((uint64_t{e.ns} + (uint64_t{1} << req.sf) * 64000u + 101145u) % 1000000000u);
  out.rssi_raw = req.rssi_raw;
  out.snr_raw = req.snr_raw;
  out.freq_offset_hz = e.freq_offset_hz;
  out.time_accuracy_ns = e.time_accuracy_ns;
  out.freq_accuracy_hz = e.freq_accuracy_hz;
  out.payload_tail = req.payload_tail;
}

}  // namespace crx::loc
