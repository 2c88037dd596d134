// End-to-end encryption: per-file keys drawn from the transfer key, and the sealed chunk
// bodies that make up the encrypted file stream.
//
// Stream of one file: header (magic, salt), then one record per chunk:
//   [L: u32 big-endian = 12 + P + 16][nonce 12][ciphertext P][tag 16]
// Chunk 0's body carries the header in front of its record. Each record's associated
// data (magic, salt, chunk index, last flag) binds it to its file and its place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "common/result.h"
#include "e2ee/crypto.h"

namespace qel {

inline constexpr std::string_view STREAM_MAGIC = "QEL3";
inline constexpr std::string_view FILE_KEY_LABEL = "Dropvale e2ee v3 file key";
inline constexpr std::size_t TRANSFER_KEY_SIZE = 32;
inline constexpr std::size_t SALT_SIZE = 16;
inline constexpr std::size_t NONCE_SIZE = 12;
inline constexpr std::size_t TAG_SIZE = 16;
inline constexpr std::size_t FILE_HEADER_SIZE = 20;
inline constexpr std::size_t RECORD_OVERHEAD = 32;  // length 4 + nonce 12 + tag 16
inline constexpr std::size_t AAD_SIZE = 29;

using TransferKey = std::array<unsigned char, TRANSFER_KEY_SIZE>;
using Salt = std::array<unsigned char, SALT_SIZE>;
using Nonce = std::array<unsigned char, NONCE_SIZE>;

// Fills `out` from the operating system's generator; safe from several threads.
// Error: "cannot generate random bytes: {}".
Status random_bytes(unsigned char* out, std::size_t size);

// One file's sealing state, immutable once built: the cipher keyed with the file key
// (which is not kept beside it) and the file's own salt.
struct FileCipher {
  crypto::AesGcm aead;
  Salt salt{};
};

// A fresh salt and the file key HKDF-SHA256(salt, transfer_key, FILE_KEY_LABEL, 32).
// Error: the text of random_bytes.
Result<FileCipher> next_file_cipher(const TransferKey& transfer_key);

// The file key for a given salt; what a reader with the link's key derives.
Result<FileCipher> file_cipher_with_salt(const TransferKey& transfer_key, const Salt& salt);

std::array<unsigned char, AAD_SIZE> associated_data(const Salt& salt, std::uint64_t chunk_index,
                                                    bool is_last);

// Bytes in front of the plaintext in a chunk body: 20 + 16 for chunk 0, 16 otherwise.
std::size_t record_prefix_size(std::uint64_t chunk_index);
// The whole body: prefix, plaintext, tag.
std::size_t chunk_body_size(std::uint64_t chunk_index, std::size_t plaintext_size);

// Seals one chunk's record in place, piece by piece as its plaintext arrives, so that each
// piece can be sealed (and hashed by the caller) while it is still in cache. The body
// holds chunk_body_size(chunk_index, plaintext_size) bytes, the plaintext at offset
// record_prefix_size(chunk_index). The result equals the record sealed in one piece.
class ChunkSealer {
 public:
  // Writes the bytes in front of the ciphertext (the file header for chunk 0, the length
  // field, the nonce) and readies the cipher. Error: "encryption failed".
  static Result<ChunkSealer> start(const FileCipher& cipher, std::uint64_t chunk_index,
                                   bool is_last, const Nonce& nonce, unsigned char* body,
                                   std::size_t plaintext_size);

  // Encrypts the next `size` bytes of plaintext where they lie in the body, in order.
  // Error: "encryption failed".
  Status seal(unsigned char* data, std::size_t size);
  // Writes the tag after the ciphertext, once all plaintext is sealed.
  // Error: "encryption failed".
  Status finish();

 private:
  ChunkSealer(crypto::AesGcm::Sealing sealing, unsigned char* tag)
      : sealing_(std::move(sealing)), tag_(tag) {}
  crypto::AesGcm::Sealing sealing_;
  unsigned char* tag_;
};

// URL-safe Base64 (RFC 4648) without padding: 43 characters for a 32-byte key.
std::string base64url(const unsigned char* data, std::size_t size);

}  // namespace qel
