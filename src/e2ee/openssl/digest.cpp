// SHA-256 and HMAC-SHA256 from OpenSSL libcrypto.
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "e2ee/crypto.h"

namespace qel::crypto {

Digest sha256(const unsigned char* data, std::size_t size) {
  Digest out{};
  unsigned int length = 0;
  EVP_Digest(data, size, out.data(), &length, EVP_sha256(), nullptr);
  return out;
}

struct Sha256::State {
  struct Free {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
  };
  std::unique_ptr<EVP_MD_CTX, Free> ctx;
};

// As with sha256(), a library that cannot give a context or compute the digest yields a
// wrong digest (all zeros), which the service refuses, rather than a crash.
Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->ctx.reset(EVP_MD_CTX_new());
  if (state_->ctx && EVP_DigestInit_ex(state_->ctx.get(), EVP_sha256(), nullptr) != 1) {
    state_->ctx.reset();
  }
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(const unsigned char* data, std::size_t size) {
  if (state_->ctx && size > 0) EVP_DigestUpdate(state_->ctx.get(), data, size);
}

Digest Sha256::finish() {
  Digest out{};
  if (!state_->ctx) return out;
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(state_->ctx.get(), out.data(), &length) != 1) out = Digest{};
  if (EVP_DigestInit_ex(state_->ctx.get(), EVP_sha256(), nullptr) != 1) state_->ctx.reset();
  return out;
}

Digest hmac_sha256(const unsigned char* key, std::size_t key_size, const unsigned char* data,
                   std::size_t size) {
  // The library wants a key pointer even for an empty key.
  static const unsigned char empty = 0;
  if (key_size == 0) key = &empty;
  if (size == 0) data = &empty;
  Digest out{};
  unsigned int length = 0;
  HMAC(EVP_sha256(), key, static_cast<int>(key_size), data, size, out.data(), &length);
  return out;
}

}  // namespace qel::crypto
