// The cryptographic primitives the program uses, behind one small interface. Back end, for
// both builds: OpenSSL libcrypto (src/e2ee/openssl).
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

// SHA-256 fed in pieces: the digest of pieces given in order equals sha256() of their
// concatenation, so a buffer can be hashed block by block while each block is in cache.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;

  void update(const unsigned char* data, std::size_t size);
  // The digest of everything given since construction or the last finish(); the hasher
  // then starts over.
  Digest finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

Digest hmac_sha256(const unsigned char* key, std::size_t key_size, const unsigned char* data,
                   std::size_t size);
// HKDF (RFC 5869) with SHA-256, built on hmac_sha256; `length` at most 255 * 32.
std::string hkdf_sha256(std::string_view salt, std::string_view ikm, std::string_view info,
                        std::size_t length);

// AES-256-GCM (96-bit nonce, 128-bit tag). The key schedule and the hash key are computed
// once, by create(); start_seal() and open() only read that state, so one instance may
// seal from several threads at once.
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

  // One message sealed in pieces, in place: update() with each piece in order, then
  // finish() for the tag. The pieces may have any sizes; the ciphertext and tag are those
  // of the whole message sealed at once. Owns its own copy of the keyed state.
  class Sealing {
   public:
    Sealing();
    ~Sealing();
    Sealing(Sealing&&) noexcept;
    Sealing& operator=(Sealing&&) noexcept;

    // Encrypts the next `size` bytes of the message where they lie.
    // Error: "encryption failed".
    Status update(unsigned char* data, std::size_t size);
    // Writes the tag; the sealing is then spent. Error: "encryption failed".
    Status finish(unsigned char tag[TAG_SIZE]);

   private:
    friend class AesGcm;
    struct State;
    std::unique_ptr<State> state_;
  };

  // Starts sealing one message under `nonce`, with all of its associated data.
  // Error: "encryption failed".
  Result<Sealing> start_seal(const unsigned char nonce[NONCE_SIZE], const unsigned char* aad,
                             std::size_t aad_size) const;
  // Decrypts in place; false when the tag does not match (the data is then unusable).
  bool open(const unsigned char nonce[NONCE_SIZE], const unsigned char* aad,
            std::size_t aad_size, unsigned char* data, std::size_t size,
            const unsigned char tag[TAG_SIZE]) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qel::crypto
