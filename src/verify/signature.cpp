#include "verify/signature.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/stdio_file.h"
#include "verify/ed25519.h"

namespace brenvik {

namespace {

constexpr std::string_view kCommentStart = "untrusted comment: ";
constexpr std::string_view kAlgorithm = "Ed";
constexpr size_t kPublicKeyBytes = 2 + 8 + 32;
constexpr size_t kSignatureBytes = 2 + 8 + 64;

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// The comment line and the base64 line of a signify file, or nullopt when
// the text is not exactly those two lines (the last newline may be missing).
std::optional<std::string_view> Base64Line(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  const size_t newline = text.find('\n');
  if (newline == std::string_view::npos) return std::nullopt;
  if (text.substr(0, kCommentStart.size()) != kCommentStart) return std::nullopt;
  const std::string_view line = text.substr(newline + 1);
  if (line.find('\n') != std::string_view::npos) return std::nullopt;
  return line;
}

std::string Printable(std::string_view bytes) {
  std::string shown;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      shown += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
    }
  }
  return shown;
}

// The order of the curve's base point, little-endian: 2^252 +
// 27742317777372353535851937790883648493.
constexpr std::array<unsigned char, 32> kGroupOrder = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

// True when the signature's scalar S (its second half, little-endian) is
// below the group order. S + order would verify as well under the bare
// equation; refusing it here keeps one valid spelling per signature,
// whichever library does the arithmetic.
bool HasCanonicalScalar(const Ed25519Signature& signature) {
  for (size_t i = kGroupOrder.size(); i-- > 0;) {
    const unsigned char byte = signature[kEd25519SignatureBytes / 2 + i];
    if (byte != kGroupOrder[i]) return byte < kGroupOrder[i];
  }
  return false;  // equal to the order
}

}  // namespace

std::optional<std::vector<unsigned char>> DecodeBase64(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  while (padding < 2 && text[text.size() - 1 - padding] == '=') ++padding;
  std::vector<unsigned char> bytes;
  bytes.reserve(text.size() / 4 * 3);
  uint32_t group = 0;
  for (size_t i = 0; i < text.size() - padding; ++i) {
    const int value = Base64Value(text[i]);
    if (value < 0) return std::nullopt;
    group = (group << 6) | static_cast<uint32_t>(value);
    if (i % 4 == 3) {
      bytes.push_back(static_cast<unsigned char>(group >> 16));
      bytes.push_back(static_cast<unsigned char>(group >> 8));
      bytes.push_back(static_cast<unsigned char>(group));
      group = 0;
    }
  }
  // The last group: 2 or 3 characters carry 1 or 2 bytes, and the bits
  // beyond them must be zero, so every byte string has one spelling.
  if (padding == 2) {
    if ((group & 0x0F) != 0) return std::nullopt;
    bytes.push_back(static_cast<unsigned char>(group >> 4));
  } else if (padding == 1) {
    if ((group & 0x03) != 0) return std::nullopt;
    bytes.push_back(static_cast<unsigned char>(group >> 10));
    bytes.push_back(static_cast<unsigned char>(group >> 2));
  }
  return bytes;
}

std::variant<PublicKey, std::string> ParsePublicKey(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.remove_suffix(1);
  }
  std::string_view line = text;
  if (text.find('\n') != std::string_view::npos) {
    const std::optional<std::string_view> found = Base64Line(text);
    if (!found) return std::string("not a signify public key (a comment line, then the key)");
    line = *found;
  }
  const std::optional<std::vector<unsigned char>> bytes = DecodeBase64(line);
  if (!bytes) return std::string("the key is not valid base64");
  if (bytes->size() != kPublicKeyBytes) {
    return "the key has " + std::to_string(bytes->size()) + " bytes where a signify key has " +
           std::to_string(kPublicKeyBytes);
  }
  if (std::string_view(reinterpret_cast<const char*>(bytes->data()), 2) != kAlgorithm) {
    return std::string("the key is not an Ed25519 signify key");
  }
  PublicKey key;
  std::copy(bytes->begin() + 2, bytes->begin() + 10, key.number.begin());
  std::copy(bytes->begin() + 10, bytes->end(), key.key.begin());
  return key;
}

std::string KeyNumberText(const KeyNumber& number) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char byte : number) {
    text += kHex[byte >> 4];
    text += kHex[byte & 0x0F];
  }
  return text;
}

std::optional<SignatureError> CheckSignature(const PublicKey& key, std::string_view signature_file,
                                             std::string_view message) {
  using enum SignatureProblem;
  if (signature_file.size() > kSignatureFileLimit) {
    return SignatureError{kTooLarge, "more than " + std::to_string(kSignatureFileLimit) + " bytes"};
  }
  const std::optional<std::string_view> line = Base64Line(signature_file);
  if (!line) return SignatureError{kMalformed, "not a comment line followed by one signature line"};
  const std::optional<std::vector<unsigned char>> bytes = DecodeBase64(*line);
  if (!bytes) return SignatureError{kMalformed, "the signature line is not valid base64"};
  if (bytes->size() != kSignatureBytes) {
    return SignatureError{kMalformed, std::to_string(bytes->size()) +
                                          " bytes where a signature has " +
                                          std::to_string(kSignatureBytes)};
  }
  const std::string_view algorithm(reinterpret_cast<const char*>(bytes->data()), 2);
  if (algorithm != kAlgorithm) {
    return SignatureError{kMalformed, "algorithm \"" + Printable(algorithm) + "\", not Ed25519"};
  }
  KeyNumber number;
  std::copy(bytes->begin() + 2, bytes->begin() + 10, number.begin());
  if (number != key.number) {
    return SignatureError{kOtherKey, "key number " + KeyNumberText(number) +
                                         ", the trusted key is number " +
                                         KeyNumberText(key.number)};
  }
  Ed25519Signature signature;
  std::copy(bytes->begin() + 10, bytes->end(), signature.begin());
  if (!HasCanonicalScalar(signature) || !VerifyEd25519(key.key, signature, message)) {
    return SignatureError{kNotValid, "the signed bytes differ from the ones received"};
  }
  return std::nullopt;
}

std::string SignatureErrorText(const SignatureError& error, const std::string& signed_name) {
  const std::string signature_name = signed_name + kSignatureSuffix;
  switch (error.problem) {
    case SignatureProblem::kMissing:
      return "the signature " + signature_name + " is missing (" + error.detail + ")";
    case SignatureProblem::kTooLarge:
      return "the signature " + signature_name + " is too large (" + error.detail + ")";
    case SignatureProblem::kMalformed:
      return "the signature " + signature_name + " is unreadable (" + error.detail + ")";
    case SignatureProblem::kOtherKey:
      return "the signature " + signature_name + " was made with another key (" + error.detail +
             ")";
    case SignatureProblem::kNotValid:
      break;
  }
  return "the signature " + signature_name + " is not valid for this " + signed_name + " (" +
         error.detail + ")";
}

SmallFileRead ReadFileAtMost(const std::filesystem::path& file, size_t limit, std::string& text) {
  const StdioFile in = OpenStdioFile(file, "rb");
  if (!in) return errno == ENOENT ? SmallFileRead::kMissing : SmallFileRead::kUnreadable;
  text.assign(limit + 1, '\0');
  const size_t got = std::fread(text.data(), 1, text.size(), in.get());
  if (std::ferror(in.get()) != 0) return SmallFileRead::kUnreadable;
  if (got > limit) return SmallFileRead::kTooLarge;
  text.resize(got);
  return SmallFileRead::kOk;
}

}  // namespace brenvik
