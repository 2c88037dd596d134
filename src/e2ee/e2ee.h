// End-to-end encryption: per-file keys from the transfer key, and the sealed chunk records.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"
#include "e2ee/crypto.h"

namespace qel {

inline constexpr std::string_view STREAM_MAGIC = "QEL3";
inline constexpr std::string_view FILE_KEY_LABEL = "Dropvale e2ee v3 file key";
inline constexpr std::size_t FILE_HEADER_SIZE = 20;
inline constexpr std::size_t RECORD_OVERHEAD = 32;  // length 4 + nonce 12 + tag 16
inline constexpr std::size_t AAD_SIZE = 29;

using TransferKey = std::array<unsigned char, 32>;
using Salt = std::array<unsigned char, 16>;

Status random_bytes(unsigned char* out, std::size_t size);

struct FileCipher {
  crypto::AesGcm aead;
  Salt salt{};
};

Result<FileCipher> next_file_cipher(const TransferKey& transfer_key);

std::array<unsigned char, AAD_SIZE> associated_data(const Salt& salt, std::uint64_t chunk_index,
                                                    bool is_last);

// Bytes before the plaintext in a chunk body: 20 + 16 for chunk 0, 16 otherwise.
std::size_t record_prefix_size(std::uint64_t chunk_index);

// Seals the body in place. `body` holds record_prefix_size(chunk_index) bytes of room,
// then the plaintext, then 16 bytes of room for the tag.
Status seal_chunk_in_place(const FileCipher& cipher, std::uint64_t chunk_index, bool is_last,
                           unsigned char* body, std::size_t plaintext_size);

// The same, into a new buffer (header when chunk 0, record).
Result<std::string> encrypt_chunk(const FileCipher& cipher, std::uint64_t chunk_index,
                                  bool is_last, std::string_view plaintext);

// URL-safe Base64 without padding: 43 characters for a 32-byte key.
std::string base64url(const unsigned char* data, std::size_t size);

}  // namespace qel
