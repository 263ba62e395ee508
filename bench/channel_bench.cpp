// The cost of the sealed datagram path next to the bare cipher it is built on.
//
// SecureChannel/DatagramSealOpen: Sealer::seal + Opener::open on the datagram lane of one
// 1,220-byte video fragment (counter, replay window, output buffers included).
// RawOpenSsl/OneShotSealOpen: the same bytes sealed and opened with ChaCha20-Poly1305
// through a fresh EVP_CIPHER_CTX for each operation, as a one-shot caller would. The
// cipher is fetched once outside the loop, which makes this baseline as cheap as a
// one-shot caller can get it.
// The goal is a ratio of at most 1.25 between the two.

#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <array>
#include <cstdint>
#include <memory>

#include "core/security/secure_channel.h"

namespace lumenbrook {
namespace {

constexpr std::size_t kFragment = 1220;

HandshakeKeys benchKeys() {
  const Uuid id = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  const Bytes psk(32, 0x11), nonceP(32, 0x22), nonceH(32, 0x33);
  return Handshake::hostReply(psk, id, nonceP, nonceH).keys.stream(1);
}

void SecureChannel_DatagramSealOpen(benchmark::State& state) {
  const HandshakeKeys keys = benchKeys();
  Sealer sealer(keys, false, true);
  Opener opener(keys, true, true);
  const Bytes fragment(kFragment, 0x5a);
  for (auto _ : state) {
    auto sealed = sealer.seal(fragment);
    if (!sealed) {
      state.SkipWithError("seal failed");
      break;
    }
    auto opened = opener.open(*sealed);
    if (!opened) {
      state.SkipWithError("open failed");
      break;
    }
    benchmark::DoNotOptimize(opened->data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kFragment);
}
BENCHMARK(SecureChannel_DatagramSealOpen);

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
struct CipherFree {
  void operator()(EVP_CIPHER* c) const { EVP_CIPHER_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

bool rawSeal(const EVP_CIPHER* cipher, const std::uint8_t* key, const std::uint8_t* nonce,
             const Bytes& plain, Bytes& ct, std::array<std::uint8_t, 16>& tag) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  int len = 0;
  if (!ctx || EVP_EncryptInit_ex2(ctx.get(), cipher, key, nonce, nullptr) != 1 ||
      EVP_EncryptUpdate(ctx.get(), ct.data(), &len, plain.data(), static_cast<int>(plain.size())) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), nullptr, &len) != 1) {
    return false;
  }
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG, tag.data(), tag.size()),
      OSSL_PARAM_construct_end()};
  return EVP_CIPHER_CTX_get_params(ctx.get(), params) == 1;
}

bool rawOpen(const EVP_CIPHER* cipher, const std::uint8_t* key, const std::uint8_t* nonce,
             const Bytes& ct, std::array<std::uint8_t, 16>& tag, Bytes& plain) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  int len = 0;
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG, tag.data(), tag.size()),
      OSSL_PARAM_construct_end()};
  return ctx && EVP_DecryptInit_ex2(ctx.get(), cipher, key, nonce, nullptr) == 1 &&
         EVP_DecryptUpdate(ctx.get(), plain.data(), &len, ct.data(), static_cast<int>(ct.size())) == 1 &&
         EVP_CIPHER_CTX_set_params(ctx.get(), params) == 1 &&
         EVP_DecryptFinal_ex(ctx.get(), nullptr, &len) == 1;
}

void RawOpenSsl_OneShotSealOpen(benchmark::State& state) {
  std::unique_ptr<EVP_CIPHER, CipherFree> cipher(
      EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr));
  const std::array<std::uint8_t, 32> key{0x42};
  std::array<std::uint8_t, 12> nonce{};
  const Bytes fragment(kFragment, 0x5a);
  Bytes ct(kFragment), plain(kFragment);
  std::array<std::uint8_t, 16> tag{};
  std::uint64_t counter = 0;
  for (auto _ : state) {
    storeU64BE(nonce.data() + 4, ++counter);
    if (!rawSeal(cipher.get(), key.data(), nonce.data(), fragment, ct, tag) ||
        !rawOpen(cipher.get(), key.data(), nonce.data(), ct, tag, plain)) {
      state.SkipWithError("raw ChaCha20-Poly1305 failed");
      break;
    }
    benchmark::DoNotOptimize(plain.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kFragment);
}
BENCHMARK(RawOpenSsl_OneShotSealOpen);

}  // namespace
}  // namespace lumenbrook
