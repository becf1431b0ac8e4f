#include <openssl/evp.h>

#include <memory>

#include "verify/ed25519.h"

namespace brenvik {

// OpenSSL 3 sets itself up on first use.
void PrepareCryptoLibrary() {}

bool VerifyEd25519(const Ed25519Key& key, const Ed25519Signature& signature,
                   std::string_view message) {
  using KeyPointer = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
  using ContextPointer = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
  const KeyPointer pkey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()),
      &EVP_PKEY_free);
  const ContextPointer context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!pkey || !context) return false;
  if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) return false;
  return EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

}  // namespace brenvik
