// SCM frames through decode_bch + correct_bch with 0, 1 and 2 bit errors,
// and the SCM+ CRC-16 in bytes per second (over 12-byte frames, as the
// receiver uses it, and over a long buffer).
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "crx.h"
#include "meter/crc16.h"
#include "sim/meter.h"

namespace {

constexpr size_t kFrames = 1024;

std::vector<std::array<uint8_t, 10>> frames_with_errors(int errors) {
  std::mt19937 rng(uint32_t(errors) + 1);
  std::vector<std::array<uint8_t, 10>> out;
  for (size_t i = 0; i < kFrames; ++i) {
    auto f = crx::sim::scm_frame(
        {uint32_t(rng() & 0x3FFFFFF), uint8_t(rng() & 15), uint8_t(rng() & 0xC3), uint32_t(rng() & 0xFFFFFF)});
    unsigned first = 64;
    for (int e = 0; e < errors; ++e) {
      unsigned loc;
      do loc = rng() % 64;
      while (loc == first);
      first = loc;
      f[loc / 8] ^= uint8_t(1u << (loc % 8));
    }
    out.push_back(f);
  }
  return out;
}

void BM_ScmDecodeCorrect(benchmark::State& state) {
  const int errors = int(state.range(0));
  crx_bch_t* bch = init_bch(8, 2, 0);
  if (!bch) std::abort();
  const auto frames = frames_with_errors(errors);
  size_t i = 0;
  for (auto _ : state) {
    std::array<uint8_t, 10> f = frames[i];
    i = (i + 1) % kFrames;
    unsigned loc[2];
    const int n = decode_bch(bch, f.data(), 8, f.data() + 8, loc);
    if (n > 0) correct_bch(bch, f.data(), 8, loc, n);
    benchmark::DoNotOptimize(f);
    if (n != errors) state.SkipWithError("unexpected error count");
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
  free_bch(bch);
}
BENCHMARK(BM_ScmDecodeCorrect)->Arg(0)->Arg(1)->Arg(2);

void BM_ScmPlusCrc(benchmark::State& state) {
  std::vector<uint8_t> buf(size_t(state.range(0)));
  std::mt19937 rng(9);
  for (auto& b : buf) b = uint8_t(rng());
  for (auto _ : state) benchmark::DoNotOptimize(crx::meter::crc16_genibus(buf));
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ScmPlusCrc)->Arg(12)->Arg(4096);

}  // namespace
