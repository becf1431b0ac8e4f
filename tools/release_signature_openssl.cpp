#include <openssl/evp.h>

#include <memory>

#include "tools/release_signature_ed25519.h"

namespace brenvik {

namespace {

using KeyPointer = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

KeyPointer PrivateKey(const Ed25519Seed& seed) {
  return KeyPointer(
      EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()),
      &EVP_PKEY_free);
}

}  // namespace

bool Ed25519PublicKeyOf(const Ed25519Seed& seed, Ed25519Key& key) {
  const KeyPointer pkey = PrivateKey(seed);
  size_t length = key.size();
  return pkey && EVP_PKEY_get_raw_public_key(pkey.get(), key.data(), &length) == 1 &&
         length == key.size();
}

bool SignEd25519(const Ed25519Seed& seed, std::string_view message, Ed25519Signature& signature) {
  const KeyPointer pkey = PrivateKey(seed);
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        &EVP_MD_CTX_free);
  size_t length = signature.size();
  return pkey && context &&
         EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) == 1 &&
         EVP_DigestSign(context.get(), signature.data(), &length,
                        reinterpret_cast<const unsigned char*>(message.data()),
                        message.size()) == 1 &&
         length == signature.size();
}

}  // namespace brenvik
