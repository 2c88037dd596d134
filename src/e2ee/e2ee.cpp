#include "e2ee/e2ee.h"

#include <cstring>
#include <limits>

#include "platform/platform.h"

namespace qel {
namespace {

void put_be(unsigned char* out, std::uint64_t value, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) {
    out[bytes - 1 - i] = static_cast<unsigned char>(value >> (8 * i));
  }
}

}  // namespace

Status random_bytes(unsigned char* out, std::size_t size) {
  if (auto filled = platform::random_fill(out, size); !filled) {
    return fail("cannot generate random bytes: " + filled.error());
  }
  return {};
}

Result<FileCipher> file_cipher_with_salt(const TransferKey& transfer_key, const Salt& salt) {
  const std::string file_key = crypto::hkdf_sha256(
      std::string_view(reinterpret_cast<const char*>(salt.data()), salt.size()),
      std::string_view(reinterpret_cast<const char*>(transfer_key.data()), transfer_key.size()),
      FILE_KEY_LABEL, crypto::AesGcm::KEY_SIZE);
  auto aead = crypto::AesGcm::create(reinterpret_cast<const unsigned char*>(file_key.data()));
  if (!aead) return fail(std::move(aead).error());
  return FileCipher{std::move(aead).value(), salt};
}

Result<FileCipher> next_file_cipher(const TransferKey& transfer_key) {
  Salt salt{};
  if (auto drawn = random_bytes(salt.data(), salt.size()); !drawn) {
    return fail(std::move(drawn).error());
  }
  return file_cipher_with_salt(transfer_key, salt);
}

std::array<unsigned char, AAD_SIZE> associated_data(const Salt& salt, std::uint64_t chunk_index,
                                                    bool is_last) {
  std::array<unsigned char, AAD_SIZE> aad{};
  std::memcpy(aad.data(), STREAM_MAGIC.data(), STREAM_MAGIC.size());
  std::memcpy(aad.data() + 4, salt.data(), salt.size());
  put_be(aad.data() + 20, chunk_index, 8);
  aad[28] = is_last ? 1 : 0;
  return aad;
}

std::size_t record_prefix_size(std::uint64_t chunk_index) {
  return (chunk_index == 0 ? FILE_HEADER_SIZE : 0) + 4 + NONCE_SIZE;
}

std::size_t chunk_body_size(std::uint64_t chunk_index, std::size_t plaintext_size) {
  return record_prefix_size(chunk_index) + plaintext_size + TAG_SIZE;
}

Result<ChunkSealer> ChunkSealer::start(const FileCipher& cipher, std::uint64_t chunk_index,
                                       bool is_last, const Nonce& nonce, unsigned char* body,
                                       std::size_t plaintext_size) {
  // The length field counts nonce, ciphertext and tag in 32 bits.
  if (plaintext_size > std::numeric_limits<std::uint32_t>::max() - NONCE_SIZE - TAG_SIZE) {
    return fail("encryption failed");
  }
  const auto aad = associated_data(cipher.salt, chunk_index, is_last);
  auto sealing = cipher.aead.start_seal(nonce.data(), aad.data(), aad.size());
  if (!sealing) return fail(std::move(sealing).error());

  unsigned char* record = body;
  if (chunk_index == 0) {
    std::memcpy(body, STREAM_MAGIC.data(), STREAM_MAGIC.size());
    std::memcpy(body + 4, cipher.salt.data(), cipher.salt.size());
    record += FILE_HEADER_SIZE;
  }
  put_be(record, NONCE_SIZE + plaintext_size + TAG_SIZE, 4);
  std::memcpy(record + 4, nonce.data(), nonce.size());
  return ChunkSealer(std::move(sealing).value(), record + 4 + NONCE_SIZE + plaintext_size);
}

Status ChunkSealer::seal(unsigned char* data, std::size_t size) {
  return sealing_.update(data, size);
}

Status ChunkSealer::finish() { return sealing_.finish(tag_); }

std::string base64url(const unsigned char* data, std::size_t size) {
  static constexpr char ALPHABET[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  out.reserve((size * 4 + 2) / 3);
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const std::uint32_t v = (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8) |
                            data[i + 2];
    out += ALPHABET[(v >> 18) & 63];
    out += ALPHABET[(v >> 12) & 63];
    out += ALPHABET[(v >> 6) & 63];
    out += ALPHABET[v & 63];
  }
  if (size - i == 1) {
    const std::uint32_t v = std::uint32_t{data[i]} << 16;
    out += ALPHABET[(v >> 18) & 63];
    out += ALPHABET[(v >> 12) & 63];
  } else if (size - i == 2) {
    const std::uint32_t v = (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8);
    out += ALPHABET[(v >> 18) & 63];
    out += ALPHABET[(v >> 12) & 63];
    out += ALPHABET[(v >> 6) & 63];
  }
  return out;
}

}  // namespace qel
