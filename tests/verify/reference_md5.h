#pragma once
// MD5 from the platform's crypto library (OpenSSL on Linux, libgcrypt on
// Windows): the reference our own MD5 is checked against.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "verify/md5.h"

#ifdef _WIN32
#include <gcrypt.h>

#include "verify/ed25519.h"
#else
#include <openssl/evp.h>
#endif

namespace brenvik::test {

inline Md5Digest ReferenceMd5(const uint8_t* data, size_t length) {
  Md5Digest digest{};
#ifdef _WIN32
  PrepareCryptoLibrary();
  EXPECT_EQ(gcry_md_get_algo_dlen(GCRY_MD_MD5), digest.size());
  gcry_md_hash_buffer(GCRY_MD_MD5, digest.data(), data, length);
#else
  unsigned int digest_length = 0;
  EXPECT_EQ(EVP_Digest(data, length, digest.data(), &digest_length, EVP_md5(), nullptr), 1);
  EXPECT_EQ(digest_length, digest.size());
#endif
  return digest;
}

}  // namespace brenvik::test
