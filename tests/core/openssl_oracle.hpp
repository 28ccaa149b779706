// OpenSSL's one-shot HMAC as the tests' oracle: it shares no code with the
// library's precomputed-state path, so agreeing with it means something.
#pragma once

#include <cstdint>
#include <string_view>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "core/hex.hpp"
#include "core/internal/crypto.hpp"

namespace velnor::oracle {

inline Bytes openssl_hmac(crypto::ByteView key, crypto::ByteView data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  // Empty spans may carry a null pointer, which HMAC() does not take.
  static const std::uint8_t zero = 0;
  HMAC(EVP_sha256(), key.empty() ? &zero : key.data(), static_cast<int>(key.size()),
       data.empty() ? &zero : data.data(), data.size(), out, &len);
  return Bytes(out, out + len);
}

inline Bytes openssl_hmac(std::string_view key, std::string_view data) {
  return openssl_hmac(crypto::as_bytes(key), crypto::as_bytes(data));
}

}  // namespace velnor::oracle
