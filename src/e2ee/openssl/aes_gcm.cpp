// AES-256-GCM from OpenSSL libcrypto.
//
// create() keys one context (key schedule and GHASH key computed there, with the
// processor's AES and carry-less multiplication instructions when present). Each sealing
// or open duplicates that keyed context, which copies the expanded key instead of
// computing it again, so calls on one instance share nothing they write.
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "e2ee/crypto.h"

namespace qel::crypto {
namespace {

struct CtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using Ctx = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

// The library takes lengths as int; longer inputs go in pieces.
constexpr std::size_t MAX_PIECE = std::size_t{1} << 30;

bool crypt(EVP_CIPHER_CTX* ctx, bool encrypt, unsigned char* data, std::size_t size) {
  while (size > 0) {
    const std::size_t piece = size < MAX_PIECE ? size : MAX_PIECE;
    int out = 0;
    const int ok = encrypt ? EVP_EncryptUpdate(ctx, data, &out, data, static_cast<int>(piece))
                           : EVP_DecryptUpdate(ctx, data, &out, data, static_cast<int>(piece));
    if (ok != 1 || static_cast<std::size_t>(out) != piece) return false;
    data += piece;
    size -= piece;
  }
  return true;
}

bool add_aad(EVP_CIPHER_CTX* ctx, bool encrypt, const unsigned char* aad, std::size_t size) {
  if (size == 0) return true;
  if (size > static_cast<std::size_t>(INT_MAX)) return false;
  int out = 0;
  return (encrypt ? EVP_EncryptUpdate(ctx, nullptr, &out, aad, static_cast<int>(size))
                  : EVP_DecryptUpdate(ctx, nullptr, &out, aad, static_cast<int>(size))) == 1;
}

}  // namespace

struct AesGcm::State {
  Ctx keyed;
};

AesGcm::AesGcm() = default;
AesGcm::~AesGcm() = default;
AesGcm::AesGcm(AesGcm&&) noexcept = default;
AesGcm& AesGcm::operator=(AesGcm&&) noexcept = default;

Result<AesGcm> AesGcm::create(const unsigned char key[KEY_SIZE]) {
  Ctx ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key, nullptr) != 1) {
    return fail("encryption failed");
  }
  AesGcm aead;
  aead.state_ = std::make_unique<State>();
  aead.state_->keyed = std::move(ctx);
  return aead;
}

struct AesGcm::Sealing::State {
  Ctx ctx;
};

AesGcm::Sealing::Sealing() = default;
AesGcm::Sealing::~Sealing() = default;
AesGcm::Sealing::Sealing(Sealing&&) noexcept = default;
AesGcm::Sealing& AesGcm::Sealing::operator=(Sealing&&) noexcept = default;

Result<AesGcm::Sealing> AesGcm::start_seal(const unsigned char nonce[NONCE_SIZE],
                                           const unsigned char* aad,
                                           std::size_t aad_size) const {
  if (!state_) return fail("encryption failed");
  Ctx ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CIPHER_CTX_copy(ctx.get(), state_->keyed.get()) != 1 ||
      EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, nullptr, nonce) != 1 ||
      !add_aad(ctx.get(), true, aad, aad_size)) {
    return fail("encryption failed");
  }
  Sealing sealing;
  sealing.state_ = std::make_unique<Sealing::State>();
  sealing.state_->ctx = std::move(ctx);
  return sealing;
}

Status AesGcm::Sealing::update(unsigned char* data, std::size_t size) {
  if (!state_ || !crypt(state_->ctx.get(), true, data, size)) {
    return fail("encryption failed");
  }
  return {};
}

Status AesGcm::Sealing::finish(unsigned char tag[TAG_SIZE]) {
  if (!state_) return fail("encryption failed");
  // GCM is a stream mode: every byte came out of update(), so nothing is written here.
  unsigned char none[16];
  int out = 0;
  const bool ok = EVP_EncryptFinal_ex(state_->ctx.get(), none, &out) == 1 && out == 0 &&
                  EVP_CIPHER_CTX_ctrl(state_->ctx.get(), EVP_CTRL_GCM_GET_TAG,
                                      static_cast<int>(TAG_SIZE), tag) == 1;
  state_.reset();
  if (!ok) return fail("encryption failed");
  return {};
}

bool AesGcm::open(const unsigned char nonce[NONCE_SIZE], const unsigned char* aad,
                  std::size_t aad_size, unsigned char* data, std::size_t size,
                  const unsigned char tag[TAG_SIZE]) const {
  if (!state_) return false;
  Ctx ctx(EVP_CIPHER_CTX_new());
  int out = 0;
  unsigned char expected[TAG_SIZE];
  std::copy(tag, tag + TAG_SIZE, expected);
  return ctx && EVP_CIPHER_CTX_copy(ctx.get(), state_->keyed.get()) == 1 &&
         EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, nullptr, nonce) == 1 &&
         add_aad(ctx.get(), false, aad, aad_size) && crypt(ctx.get(), false, data, size) &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(TAG_SIZE),
                             expected) == 1 &&
         EVP_DecryptFinal_ex(ctx.get(), data + size, &out) == 1;
}

}  // namespace qel::crypto
