// The encrypted file stream: key derivation, associated data, record layout and sealing.
#include "e2ee/e2ee.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>
#include <string>

#include "support/hex.h"

namespace {

using namespace qel;
using qel::test::hex;

constexpr std::size_t MiB = 1024 * 1024;

TransferKey test_key() {
  TransferKey key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(i);
  return key;
}
Salt test_salt() {
  Salt salt{};
  for (std::size_t i = 0; i < salt.size(); ++i) salt[i] = static_cast<unsigned char>(0x40 + i);
  return salt;
}
Nonce test_nonce() {
  Nonce nonce{};
  for (std::size_t i = 0; i < nonce.size(); ++i) nonce[i] = static_cast<unsigned char>(0xa0 + i);
  return nonce;
}

std::uint32_t be32(const std::string& s, std::size_t at) {
  return (std::uint32_t{static_cast<unsigned char>(s[at])} << 24) |
         (std::uint32_t{static_cast<unsigned char>(s[at + 1])} << 16) |
         (std::uint32_t{static_cast<unsigned char>(s[at + 2])} << 8) |
         static_cast<unsigned char>(s[at + 3]);
}

// The body of one chunk sealed by ChunkSealer, the plaintext fed in pieces of at most
// `piece` bytes; empty when a step fails.
std::optional<std::string> sealed_body(const FileCipher& cipher, std::uint64_t index, bool is_last,
                                       const Nonce& nonce, std::string_view plaintext,
                                       std::size_t piece) {
  std::string body(chunk_body_size(index, plaintext.size()), '\0');
  auto* bytes = reinterpret_cast<unsigned char*>(body.data());
  auto sealer = ChunkSealer::start(cipher, index, is_last, nonce, bytes, plaintext.size());
  if (!sealer) return std::nullopt;
  unsigned char* data = bytes + record_prefix_size(index);
  std::memcpy(data, plaintext.data(), plaintext.size());
  for (std::size_t at = 0; at < plaintext.size(); at += piece) {
    if (!sealer->seal(data + at, std::min(piece, plaintext.size() - at))) return std::nullopt;
  }
  if (!sealer->finish()) return std::nullopt;
  return body;
}

// Opens one record the way a reader of the stream does: with the cipher derived from the
// transfer key and the salt in the header. Empty when the tag does not match.
std::optional<std::string> open_record(const FileCipher& cipher, const std::string& record,
                                       std::uint64_t index, bool is_last) {
  const std::uint32_t length = be32(record, 0);
  if (length + 4 != record.size()) return std::nullopt;
  std::string data = record.substr(16, length - 28);
  const auto aad = associated_data(cipher.salt, index, is_last);
  const auto* nonce = reinterpret_cast<const unsigned char*>(record.data() + 4);
  const auto* tag = reinterpret_cast<const unsigned char*>(record.data() + record.size() - 16);
  if (!cipher.aead.open(nonce, aad.data(), aad.size(),
                        reinterpret_cast<unsigned char*>(data.data()), data.size(), tag)) {
    return std::nullopt;
  }
  return data;
}

TEST(E2ee, AssociatedDataLayout) {
  const auto aad = associated_data(test_salt(), 0x0102030405060708ULL, true);
  EXPECT_EQ(hex(aad), "51454c33" "404142434445464748494a4b4c4d4e4f" "0102030405060708" "01");
  EXPECT_EQ(hex(associated_data(test_salt(), 0, false)).substr(40), "0000000000000000" "00");
}

TEST(E2ee, BodySizesFollowTheRecordLayout) {
  struct Case {
    std::uint64_t index;
    std::size_t plaintext;
    std::size_t prefix, body;
  };
  const Case cases[] = {
      {0, 1, 36, 53},                  // a 1-byte file: n + 52
      {0, 8 * MiB, 36, 8 * MiB + 52},  // a full first chunk
      {1, 8 * MiB, 16, 8 * MiB + 32},  // a full later chunk
      {1, 1, 16, 33},                  // the last byte of an 8 MiB + 1 file
  };
  for (const Case& c : cases) {
    EXPECT_EQ(record_prefix_size(c.index), c.prefix) << c.index << "/" << c.plaintext;
    EXPECT_EQ(chunk_body_size(c.index, c.plaintext), c.body) << c.index << "/" << c.plaintext;
  }
}

// Reference bodies computed with an independent HKDF-SHA256 and AES-256-GCM; sealed in one
// piece and in pieces of 5 bytes and of 1 byte.
TEST(E2ee, SealedBodyMatchesReferenceImplementation) {
  auto cipher = file_cipher_with_salt(test_key(), test_salt());
  ASSERT_TRUE(cipher);
  struct Case {
    std::uint64_t index;
    bool last;
    std::string plaintext, body;
  };
  const Case cases[] = {
      {0, true, "hello, world\n",
       "51454c33404142434445464748494a4b4c4d4e4f00000029a0a1a2a3a4a5a6a7a8a9aaabce01e39f2fc0b908"
       "7f251a7f7e9146299d435db452201e5768f00da3f2"},
      {1, false, "x", "0000001da0a1a2a3a4a5a6a7a8a9aaabde771d738b6d83075f7d42773963e41489"},
      {7, true, "x", "0000001da0a1a2a3a4a5a6a7a8a9aaabde10ec559328d038a66de767da1e077391"},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : {c.plaintext.size(), std::size_t{5}, std::size_t{1}}) {
      const auto body = sealed_body(*cipher, c.index, c.last, test_nonce(), c.plaintext, piece);
      ASSERT_TRUE(body) << c.index;
      EXPECT_EQ(hex(*body), c.body) << c.index << ", pieces of " << piece;
    }
  }
}

TEST(E2ee, SealedInPiecesEqualsOnePieceAndOpens) {
  TransferKey key{};
  ASSERT_TRUE(random_bytes(key.data(), key.size()));
  auto cipher = next_file_cipher(key);
  ASSERT_TRUE(cipher);
  // The reader knows only the transfer key and the header's salt.
  auto reader = file_cipher_with_salt(key, cipher->salt);
  ASSERT_TRUE(reader);

  std::string plaintext(8 * MiB, '\0');
  for (std::size_t i = 0; i < plaintext.size(); ++i) plaintext[i] = static_cast<char>(i * 7);

  struct Case {
    std::uint64_t index;
    bool last;
    std::size_t size;
  };
  for (const Case& c : {Case{0, true, 8 * MiB}, Case{0, false, 8 * MiB}, Case{1, true, 1},
                        Case{3, false, 1000}}) {
    const std::string_view part(plaintext.data(), c.size);
    Nonce nonce{};
    ASSERT_TRUE(random_bytes(nonce.data(), nonce.size()));
    const auto body = sealed_body(*cipher, c.index, c.last, nonce, part, c.size);
    ASSERT_TRUE(body);
    ASSERT_EQ(body->size(), chunk_body_size(c.index, c.size));
    const std::string record = c.index == 0 ? body->substr(20) : *body;
    if (c.index == 0) {
      EXPECT_EQ(body->substr(0, 4), "QEL3");
      EXPECT_EQ(body->substr(4, 16),
                std::string(reinterpret_cast<const char*>(cipher->salt.data()), 16));
    } else {
      EXPECT_NE(body->substr(0, 4), "QEL3");
    }
    EXPECT_EQ(be32(record, 0), c.size + 28);
    EXPECT_EQ(record.substr(4, 12), std::string(reinterpret_cast<const char*>(nonce.data()), 12));

    // Pieces of 128 KiB, and of a size off the cipher's 16-byte block, give the same bytes.
    for (std::size_t piece : {std::size_t{128 * 1024}, std::size_t{100'003}}) {
      const auto pieces = sealed_body(*cipher, c.index, c.last, nonce, part, piece);
      ASSERT_TRUE(pieces);
      EXPECT_TRUE(*pieces == *body) << c.index << ", pieces of " << piece;
    }

    // Opens at its own place only: another index or last flag fails the tag check.
    const auto opened = open_record(*reader, record, c.index, c.last);
    ASSERT_TRUE(opened);
    EXPECT_TRUE(*opened == part);
    EXPECT_FALSE(open_record(*reader, record, c.index + 1, c.last));
    EXPECT_FALSE(open_record(*reader, record, c.index, !c.last));
  }
}

TEST(E2ee, FreshSaltsGiveDifferentCiphertexts) {
  const TransferKey key = test_key();
  auto a = next_file_cipher(key);
  auto b = next_file_cipher(key);
  ASSERT_TRUE(a && b);
  EXPECT_NE(a->salt, b->salt);

  // Equal content in two files never looks alike, even under one nonce.
  auto one = sealed_body(*a, 0, true, test_nonce(), "same content", 12);
  auto two = sealed_body(*b, 0, true, test_nonce(), "same content", 12);
  ASSERT_TRUE(one && two);
  EXPECT_NE(one->substr(36), two->substr(36));  // ciphertext and tag
}

TEST(E2ee, RefusesARecordLongerThanItsLengthField) {
  auto cipher = file_cipher_with_salt(test_key(), test_salt());
  ASSERT_TRUE(cipher);
  unsigned char body[64] = {};
  // The size is checked before the body is touched.
  const auto sealer =
      ChunkSealer::start(*cipher, 1, true, test_nonce(), body, std::size_t{0xFFFFFFFF} - 27);
  ASSERT_FALSE(sealer);
  EXPECT_EQ(sealer.error(), "encryption failed");
  for (unsigned char b : body) ASSERT_EQ(b, 0);
}

TEST(E2ee, Base64UrlWithoutPadding) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},         {"f", "Zg"},         {"fo", "Zm8"},          {"foo", "Zm9v"},
      {"foob", "Zm9vYg"}, {"fooba", "Zm9vYmE"}, {"foobar", "Zm9vYmFy"}, {"\xfb\xff", "-_8"},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(base64url(reinterpret_cast<const unsigned char*>(in.data()), in.size()), out);
  }
  std::set<std::string> seen;
  for (int i = 0; i < 20; ++i) {
    TransferKey key{};
    ASSERT_TRUE(random_bytes(key.data(), key.size()));
    const std::string text = base64url(key.data(), key.size());
    EXPECT_EQ(text.size(), 43u);
    EXPECT_EQ(text.find_first_of("=+/"), std::string::npos);
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 20u);
}

}  // namespace
