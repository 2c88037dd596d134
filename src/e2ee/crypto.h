// The cryptographic primitives the program uses, behind one small interface so that
// another back end (the Windows system library) can stand behind it. Back end here:
// OpenSSL libcrypto (src/e2ee/openssl).
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "common/result.h"

namespace qel::crypto {

using Digest = std::array<unsigned char, 32>;

Digest sha256(const unsigned char* data, std::size_t size);
Digest hmac_sha256(const unsigned char* key, std::size_t key_size, const unsigned char* data,
                   std::size_t size);
// HKDF (RFC 5869) with SHA-256, built on hmac_sha256; `length` at most 255 * 32.
std::string hkdf_sha256(std::string_view salt, std::string_view ikm, std::string_view info,
                        std::size_t length);

// AES-256-GCM (96-bit nonce, 128-bit tag). The key schedule and the hash key are computed
// once, by create(); seal() and open() only read that state, so one instance may seal
// from several threads at once.
class AesGcm {
 public:
  static constexpr std::size_t KEY_SIZE = 32;
  static constexpr std::size_t NONCE_SIZE = 12;
  static constexpr std::size_t TAG_SIZE = 16;

  AesGcm();
  ~AesGcm();
  AesGcm(AesGcm&&) noexcept;
  AesGcm& operator=(AesGcm&&) noexcept;

  // Error: "encryption failed" when the library cannot set the key up.
  static Result<AesGcm> create(const unsigned char key[KEY_SIZE]);

  // Encrypts `data` in place and writes the tag. Error: "encryption failed".
  Status seal(const unsigned char nonce[NONCE_SIZE], const unsigned char* aad,
              std::size_t aad_size, unsigned char* data, std::size_t size,
              unsigned char tag[TAG_SIZE]) const;
  // Decrypts in place; false when the tag does not match (the data is then unusable).
  bool open(const unsigned char nonce[NONCE_SIZE], const unsigned char* aad,
            std::size_t aad_size, unsigned char* data, std::size_t size,
            const unsigned char tag[TAG_SIZE]) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qel::crypto
