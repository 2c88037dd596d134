// HKDF-SHA256 (RFC 5869) over the back end's HMAC, so every back end shares one derivation.
#include <algorithm>

#include "e2ee/crypto.h"

namespace qel::crypto {
namespace {

const unsigned char* bytes(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace

std::string hkdf_sha256(std::string_view salt, std::string_view ikm, std::string_view info,
                        std::size_t length) {
  length = std::min<std::size_t>(length, 255 * 32);
  // Extract: an absent salt stands for 32 zero bytes; HMAC pads short keys with zeros anyway.
  const Digest prk = hmac_sha256(bytes(salt), salt.size(), bytes(ikm), ikm.size());

  std::string okm;
  okm.reserve(length);
  std::string block;  // T(i-1) | info | i
  Digest t{};
  for (unsigned counter = 1; okm.size() < length; ++counter) {
    block.clear();
    if (counter > 1) block.append(reinterpret_cast<const char*>(t.data()), t.size());
    block.append(info);
    block.push_back(static_cast<char>(counter));
    t = hmac_sha256(prk.data(), prk.size(), bytes(block), block.size());
    okm.append(reinterpret_cast<const char*>(t.data()),
               std::min(t.size(), length - okm.size()));
  }
  return okm;
}

}  // namespace qel::crypto
