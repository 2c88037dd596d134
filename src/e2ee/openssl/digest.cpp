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
