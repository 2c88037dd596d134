// The cryptographic primitives the program uses, behind one small interface.
// Back end: OpenSSL libcrypto (src/e2ee/openssl).
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>

#include "common/result.h"

namespace qel::crypto {

using Digest = std::array<unsigned char, 32>;

Digest sha256(const unsigned char* data, std::size_t size);
Digest hmac_sha256(const unsigned char* key, std::size_t key_size, const unsigned char* data,
                   std::size_t size);
// HKDF (RFC 5869) with SHA-256; `length` at most 255 * 32.
std::string hkdf_sha256(std::string_view salt, std::string_view ikm, std::string_view info,
                        std::size_t length);

// AES-256-GCM with a key schedule computed once; sealing is safe from several threads.
class AesGcm {
 public:
  AesGcm();
  ~AesGcm();
  AesGcm(AesGcm&&) noexcept;
  AesGcm& operator=(AesGcm&&) noexcept;

  static Result<AesGcm> create(const unsigned char key[32]);

  // Encrypts `data` in place and writes the 16-byte tag. Error: "encryption failed".
  Status seal(const unsigned char nonce[12], const unsigned char* aad, std::size_t aad_size,
              unsigned char* data, std::size_t size, unsigned char tag[16]) const;
  // Decrypts in place; false when the tag does not match (used by tests).
  bool open(const unsigned char nonce[12], const unsigned char* aad, std::size_t aad_size,
            unsigned char* data, std::size_t size, const unsigned char tag[16]) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qel::crypto
