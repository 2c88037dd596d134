// Known-answer tests of the cryptographic primitives, fed whole and in pieces, and sealing
// from several threads.
#include "e2ee/crypto.h"

#include <gtest/gtest.h>

#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/hex.h"

namespace {

using qel::crypto::AesGcm;
using qel::test::hex;
using qel::test::unhex;

const unsigned char* bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}
std::string range(int from, int to) {
  std::string s;
  for (int c = from; c < to; ++c) s.push_back(static_cast<char>(c));
  return s;
}

TEST(Crypto, Sha256AndHmacKnownAnswers) {
  const std::string abc = "abc";
  EXPECT_EQ(hex(qel::crypto::sha256(bytes(abc), abc.size()).data(), 32),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hex(qel::crypto::sha256(nullptr, 0).data(), 32),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  // RFC 4231 test case 2.
  const std::string key = "Jefe", data = "what do ya want for nothing?";
  EXPECT_EQ(hex(qel::crypto::hmac_sha256(bytes(key), key.size(), bytes(data), data.size())
                    .data(),
                32),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

TEST(Crypto, Sha256InPiecesEqualsOneShot) {
  std::string message(200 * 1000 + 3, '\0');
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>(i * 31 + 7);
  const auto whole = qel::crypto::sha256(bytes(message), message.size());
  const std::vector<std::vector<std::size_t>> splits = {
      {message.size()}, {0, message.size()}, {1, message.size() - 1},
      {64, 64, 65536, message.size() - 65664}, {message.size() - 1, 1, 0},
  };
  qel::crypto::Sha256 hash;
  for (const auto& split : splits) {
    ASSERT_EQ(std::accumulate(split.begin(), split.end(), std::size_t{0}), message.size());
    std::size_t at = 0;
    for (std::size_t piece : split) {
      hash.update(bytes(message) + at, piece);
      at += piece;
    }
    EXPECT_EQ(hash.finish(), whole) << split.size() << " pieces";
  }
  // finish() starts the hasher over: nothing given hashes as the empty message.
  EXPECT_EQ(hex(hash.finish().data(), 32),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const std::string abc = "abc";
  hash.update(bytes(abc), 1);
  hash.update(bytes(abc) + 1, 2);
  EXPECT_EQ(hex(hash.finish().data(), 32),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Crypto, HkdfRfc5869Vectors) {
  struct Case {
    std::string salt, ikm, info;
    std::size_t length;
    std::string okm;
  };
  const Case cases[] = {
      {range(0, 13), std::string(22, '\x0b'), range(0xf0, 0xfa), 42,
       "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
      {range(0x60, 0xb0), range(0, 0x50), range(0xb0, 0x100), 82,
       "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c6"
       "5e590e09da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
      {"", std::string(22, '\x0b'), "", 42,
       "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hex(qel::crypto::hkdf_sha256(c.salt, c.ikm, c.info, c.length)), c.okm);
  }
}

// Test case 16 of the paper that defined GCM: AES-256, 96-bit IV, 60 bytes of plaintext, AAD.
struct Gcm16 {
  std::string key = unhex("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308");
  std::string iv = unhex("cafebabefacedbaddecaf888");
  std::string plaintext = unhex(
      "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e24"
      "49a6b525b16aedf5aa0de657ba637b39");
  std::string aad = unhex("feedfacedeadbeeffeedfacedeadbeefabaddad2");
  std::string ciphertext =
      "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b10"
      "56828838c5f61e6393ba7a0abcc9f662";
  std::string tag = "76fc6ece0f4e1768cddf8853bb2d551b";
};

// Seals `data` in place in consecutive pieces of the given sizes; the tag, or empty.
std::optional<std::string> seal_in_pieces(const AesGcm& aead, const std::string& iv,
                                          const std::string& aad, std::string& data,
                                          const std::vector<std::size_t>& pieces) {
  auto sealing = aead.start_seal(bytes(iv), bytes(aad), aad.size());
  if (!sealing) return std::nullopt;
  std::size_t at = 0;
  for (std::size_t piece : pieces) {
    if (!sealing->update(reinterpret_cast<unsigned char*>(data.data()) + at, piece)) {
      return std::nullopt;
    }
    at += piece;
  }
  unsigned char tag[16];
  if (at != data.size() || !sealing->finish(tag)) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(tag), 16);
}

TEST(Crypto, AesGcmNistVectorSealsAndOpens) {
  const Gcm16 v;
  auto aead = AesGcm::create(bytes(v.key));
  ASSERT_TRUE(aead);
  // Whatever the pieces (empty ones and sizes off the 16-byte block among them), the
  // ciphertext and tag are the vector's.
  const std::vector<std::size_t> splits[] = {
      {60}, {16, 44}, {1, 59}, {0, 7, 13, 0, 40}, {59, 1}, {15, 17, 28},
  };
  for (const auto& split : splits) {
    std::string data = v.plaintext;
    const auto tag = seal_in_pieces(*aead, v.iv, v.aad, data, split);
    ASSERT_TRUE(tag) << split.size() << " pieces";
    EXPECT_EQ(hex(data), v.ciphertext) << split.size() << " pieces";
    EXPECT_EQ(hex(*tag), v.tag) << split.size() << " pieces";
  }
  std::string data = v.plaintext;
  unsigned char tag[16];
  {
    const auto sealed = seal_in_pieces(*aead, v.iv, v.aad, data, {data.size()});
    ASSERT_TRUE(sealed);
    std::copy(sealed->begin(), sealed->end(), tag);
  }

  // Opening gives the plaintext back; a changed tag, byte or associated data does not open.
  std::string opened = data;
  ASSERT_TRUE(aead->open(bytes(v.iv), bytes(v.aad), v.aad.size(),
                         reinterpret_cast<unsigned char*>(opened.data()), opened.size(), tag));
  EXPECT_EQ(opened, v.plaintext);

  unsigned char bad_tag[16];
  std::copy(tag, tag + 16, bad_tag);
  bad_tag[15] ^= 1;
  std::string copy = data;
  EXPECT_FALSE(aead->open(bytes(v.iv), bytes(v.aad), v.aad.size(),
                          reinterpret_cast<unsigned char*>(copy.data()), copy.size(), bad_tag));
  copy = data;
  copy[0] ^= 1;
  EXPECT_FALSE(aead->open(bytes(v.iv), bytes(v.aad), v.aad.size(),
                          reinterpret_cast<unsigned char*>(copy.data()), copy.size(), tag));
  copy = data;
  EXPECT_FALSE(aead->open(bytes(v.iv), bytes(v.aad), v.aad.size() - 1,
                          reinterpret_cast<unsigned char*>(copy.data()), copy.size(), tag));
}

TEST(Crypto, EmptyOrSpentSealingRefuses) {
  const AesGcm empty;
  unsigned char nonce[12] = {}, tag[16];
  unsigned char data[1] = {0};
  const auto sealing = empty.start_seal(nonce, nullptr, 0);
  ASSERT_FALSE(sealing);
  EXPECT_EQ(sealing.error(), "encryption failed");

  // A sealing that gave its tag takes no more data and gives no second tag.
  const Gcm16 v;
  auto aead = AesGcm::create(bytes(v.key));
  ASSERT_TRUE(aead);
  auto spent = aead->start_seal(nonce, nullptr, 0);
  ASSERT_TRUE(spent);
  ASSERT_TRUE(spent->update(data, 1));
  ASSERT_TRUE(spent->finish(tag));
  const auto more = spent->update(data, 1);
  ASSERT_FALSE(more);
  EXPECT_EQ(more.error(), "encryption failed");
  EXPECT_FALSE(spent->finish(tag));
}

TEST(Crypto, OneInstanceSealsFromManyThreadsAsItDoesAlone) {
  const Gcm16 v;
  auto aead = AesGcm::create(bytes(v.key));
  ASSERT_TRUE(aead);
  constexpr int THREADS = 8, ROUNDS = 50;
  std::vector<std::string> results(THREADS);
  std::vector<char> consistent(THREADS, 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < ROUNDS; ++r) {
        std::string data(64 * 1024 + static_cast<std::size_t>(t), static_cast<char>(t));
        const auto tag = seal_in_pieces(*aead, v.iv, v.aad, data, {4096, data.size() - 4096});
        if (!tag) {
          consistent[t] = 0;
          return;
        }
        const std::string result = hex(*tag);
        if (r > 0 && result != results[t]) consistent[t] = 0;
        results[t] = result;
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < THREADS; ++t) {
    std::string data(64 * 1024 + static_cast<std::size_t>(t), static_cast<char>(t));
    const auto tag = seal_in_pieces(*aead, v.iv, v.aad, data, {data.size()});
    ASSERT_TRUE(tag);
    EXPECT_TRUE(consistent[t]) << "thread " << t;
    EXPECT_EQ(results[t], hex(*tag)) << "thread " << t;
  }
}

}  // namespace
