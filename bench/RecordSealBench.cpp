// Sealing a record against raw AES-256-GCM through EVP on the same data: the
// ratio of the two MB/s figures is the record layer's own overhead (prefix,
// nonce counter, output allocation).

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>

#include "platform/Bytes.hpp"
#include "platform/SymmetricKey.hpp"
#include "secure/WifiRecordSealer.hpp"

namespace {

using lumenrail::Bytes;

void BM_SealRecord(benchmark::State& state) {
  const Bytes plaintext(static_cast<size_t>(state.range(0)), 0x5a);
  lumenrail::WifiRecordSealer sealer(lumenrail::SymmetricKey(Bytes(32, 7)));
  for (auto _ : state) {
    Bytes record = sealer.seal(plaintext);
    benchmark::DoNotOptimize(record.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// The floor: one EVP context keyed once, a new nonce and one seal per
// message into a buffer that is reused.
void BM_RawAesGcmEvp(benchmark::State& state) {
  const Bytes plaintext(static_cast<size_t>(state.range(0)), 0x5a);
  const Bytes key(32, 7);
  Bytes out(plaintext.size() + 16);
  uint8_t nonce[12] = {};
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.data(), nullptr);
  uint64_t counter = 0;
  for (auto _ : state) {
    for (int i = 0; i < 8; ++i) nonce[4 + i] = static_cast<uint8_t>(counter >> (56 - 8 * i));
    ++counter;
    int n = 0;
    EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce);
    EVP_EncryptUpdate(ctx, out.data(), &n, plaintext.data(), static_cast<int>(plaintext.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + n, &n);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out.data() + plaintext.size());
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// Side by side per size, so each pair runs under the same machine load.
BENCHMARK(BM_SealRecord)->Arg(16384);
BENCHMARK(BM_RawAesGcmEvp)->Arg(16384);
BENCHMARK(BM_SealRecord)->Arg(1024);
BENCHMARK(BM_RawAesGcmEvp)->Arg(1024);

}  // namespace
