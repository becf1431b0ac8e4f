#include "tools/release_signature.h"

#include <openssl/evp.h>

#include <memory>

namespace brenvik {

namespace {

using KeyPointer = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

KeyPointer PrivateKey(const SigningKey& key) {
  return KeyPointer(
      EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, key.seed.data(), key.seed.size()),
      &EVP_PKEY_free);
}

std::string Bytes(const unsigned char* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace

std::string EncodeBase64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
    text += kAlphabet[(group >> 18) & 63];
    text += kAlphabet[(group >> 12) & 63];
    text += i + 1 < bytes.size() ? kAlphabet[(group >> 6) & 63] : '=';
    text += i + 2 < bytes.size() ? kAlphabet[group & 63] : '=';
  }
  return text;
}

std::string SignatureFileText(const SigningKey& key, std::string_view message,
                              const std::string& comment) {
  const KeyPointer pkey = PrivateKey(key);
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        &EVP_MD_CTX_free);
  unsigned char signature[64];
  size_t length = sizeof signature;
  if (!pkey || !context ||
      EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1 ||
      EVP_DigestSign(context.get(), signature, &length,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1 ||
      length != sizeof signature) {
    return {};
  }
  const std::string bytes =
      "Ed" + Bytes(key.number.data(), key.number.size()) + Bytes(signature, sizeof signature);
  return "untrusted comment: " + comment + "\n" + EncodeBase64(bytes) + "\n";
}

std::string PublicKeyText(const SigningKey& key, const std::string& comment) {
  const KeyPointer pkey = PrivateKey(key);
  unsigned char raw[32];
  size_t length = sizeof raw;
  if (!pkey || EVP_PKEY_get_raw_public_key(pkey.get(), raw, &length) != 1 || length != sizeof raw) {
    return {};
  }
  const std::string bytes =
      "Ed" + Bytes(key.number.data(), key.number.size()) + Bytes(raw, sizeof raw);
  return "untrusted comment: " + comment + "\n" + EncodeBase64(bytes) + "\n";
}

}  // namespace brenvik
