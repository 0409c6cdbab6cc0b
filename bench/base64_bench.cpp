// The Base64 codec against OpenSSL's on the payload sizes a forwarder sees:
// a short MAC command, a typical uplink, and the largest LoRa payload.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "crx.h"

namespace {

std::vector<uint8_t> payload(size_t n) {
  std::mt19937 rng(static_cast<unsigned>(n));
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

std::string encoded(const std::vector<uint8_t>& bin) {
  std::string text(4 * (bin.size() + 2) / 3 + 1, '\0');
  const int n = bin_to_b64(bin.data(), static_cast<int>(bin.size()), text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<size_t>(n));
  return text;
}

void BM_Encode_crx(benchmark::State& state) {
  const auto bin = payload(static_cast<size_t>(state.range(0)));
  char out[400];
  for (auto _ : state) {
    benchmark::DoNotOptimize(bin_to_b64(bin.data(), static_cast<int>(bin.size()), out, sizeof out));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Encode_OpenSSL(benchmark::State& state) {
  const auto bin = payload(static_cast<size_t>(state.range(0)));
  unsigned char out[400];
  for (auto _ : state) {
    benchmark::DoNotOptimize(EVP_EncodeBlock(out, bin.data(), static_cast<int>(bin.size())));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Decode_crx(benchmark::State& state) {
  const std::string text = encoded(payload(static_cast<size_t>(state.range(0))));
  uint8_t out[400];
  for (auto _ : state) {
    benchmark::DoNotOptimize(b64_to_bin(text.data(), static_cast<int>(text.size()), out, sizeof out));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Decode_OpenSSL(benchmark::State& state) {
  const std::string text = encoded(payload(static_cast<size_t>(state.range(0))));
  unsigned char out[400];
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        EVP_DecodeBlock(out, reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size())));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_Encode_crx)->Arg(16)->Arg(64)->Arg(255);
BENCHMARK(BM_Encode_OpenSSL)->Arg(16)->Arg(64)->Arg(255);
BENCHMARK(BM_Decode_crx)->Arg(16)->Arg(64)->Arg(255);
BENCHMARK(BM_Decode_OpenSSL)->Arg(16)->Arg(64)->Arg(255);

}  // namespace
