#include "tools/release_signature.h"

#include "tools/release_signature_ed25519.h"

namespace brenvik {

namespace {

std::string Bytes(const unsigned char* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// A signify file: the comment line, then base64 of "Ed", the key number and
// `payload` (a signature or a public key).
template <size_t kSize>
std::string SignifyFileText(const SigningKey& key, const std::array<unsigned char, kSize>& payload,
                            const std::string& comment) {
  const std::string bytes =
      "Ed" + Bytes(key.number.data(), key.number.size()) + Bytes(payload.data(), payload.size());
  return "untrusted comment: " + comment + "\n" + EncodeBase64(bytes) + "\n";
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
  Ed25519Signature signature;
  if (!SignEd25519(key.seed, message, signature)) return {};
  return SignifyFileText(key, signature, comment);
}

std::string PublicKeyText(const SigningKey& key, const std::string& comment) {
  Ed25519Key public_key;
  if (!Ed25519PublicKeyOf(key.seed, public_key)) return {};
  return SignifyFileText(key, public_key, comment);
}

}  // namespace brenvik
