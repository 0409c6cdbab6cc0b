// One AES-128 block at a time, as an application encrypting short LoRa
// frames would call it, against OpenSSL's ECB mode through EVP. Run it with
// OPENSSL_ia32cap="~0x200000200000000" to compare against OpenSSL's
// software path instead of the AES instructions.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>

#include "crx.h"

namespace {

constexpr uint8_t kKey[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                              0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};

void BM_Encrypt_crx(benchmark::State& state) {
  aes_context ctx{};
  aes_set_key(&ctx, kKey, 128);
  uint8_t block[16] = {1, 2, 3};
  for (auto _ : state) {
    aes_encrypt(&ctx, block, block);  // chained: each block depends on the last
    benchmark::DoNotOptimize(block);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 16);
}

void BM_Decrypt_crx(benchmark::State& state) {
  aes_context ctx{};
  aes_set_key(&ctx, kKey, 128);
  uint8_t block[16] = {1, 2, 3};
  for (auto _ : state) {
    aes_decrypt(&ctx, block, block);
    benchmark::DoNotOptimize(block);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 16);
}

void openssl_blocks(benchmark::State& state, int encrypt) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, kKey, nullptr, encrypt);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  uint8_t block[16] = {1, 2, 3};
  uint8_t out[32];
  int len = 0;
  for (auto _ : state) {
    EVP_CipherUpdate(ctx, out, &len, block, 16);
    __builtin_memcpy(block, out, 16);
    benchmark::DoNotOptimize(block);
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 16);
}

void BM_Encrypt_OpenSSL(benchmark::State& state) { openssl_blocks(state, 1); }
void BM_Decrypt_OpenSSL(benchmark::State& state) { openssl_blocks(state, 0); }

}  // namespace

BENCHMARK(BM_Encrypt_crx);
BENCHMARK(BM_Encrypt_OpenSSL);
BENCHMARK(BM_Decrypt_crx);
BENCHMARK(BM_Decrypt_OpenSSL);
