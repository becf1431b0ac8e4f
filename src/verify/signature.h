#pragma once
// Detached Ed25519 signatures in the format of OpenBSD's signify, so that a
// publisher signs with that tool as it is (Debian: signify-openbsd).
//
// A public key is the text of a signify ".pub" file: the line
// "untrusted comment: ..." and one base64 line holding "Ed", an 8-byte key
// number and the 32-byte Ed25519 key; the base64 line alone is accepted too
// (the form a build setting carries). A signature file holds the comment
// line and one base64 line holding "Ed", the signing key's number and the
// 64-byte signature, which is Ed25519 over the message's bytes themselves.
//
// Everything here treats the signature file as hostile: its size is capped,
// its lines and base64 are read strictly, and its length, algorithm and key
// number are checked before the signature itself, so "made with another
// key" is told apart from "not valid". A signature whose scalar half is not
// reduced below the group order is not valid either (RFC 8032 requires
// that check), so each signature has one spelling on every platform.
//
// Thread safety: plain functions over the caller's data; any thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace brenvik {

// The most a signature file may hold: a real one has about 150 bytes.
inline constexpr size_t kSignatureFileLimit = 4096;
// The signature of "FileList.txt" is "FileList.txt.sig" in the same folder.
inline constexpr const char* kSignatureSuffix = ".sig";

using KeyNumber = std::array<unsigned char, 8>;

struct PublicKey {
  KeyNumber number{};
  std::array<unsigned char, 32> key{};
};

enum class SignatureProblem {
  kMissing,    // there is no signature file
  kTooLarge,   // more than kSignatureFileLimit bytes
  kMalformed,  // not a signify signature: lines, base64, length or algorithm
  kOtherKey,   // a signify signature, made with a key other than the trusted one
  kNotValid,   // made with the trusted key's number, but not for these bytes
};

struct SignatureError {
  SignatureProblem problem = SignatureProblem::kMalformed;
  std::string detail;  // one line, e.g. what is wrong with the base64
};

// The key in `text`, or why it is not a signify public key.
[[nodiscard]] std::variant<PublicKey, std::string> ParsePublicKey(std::string_view text);

// A key number as signify's tools would show its bytes: 16 hex digits.
std::string KeyNumberText(const KeyNumber& number);

// Checks that `signature_file` (the whole text of the signature file) is a
// signature by `key` over exactly `message`. nullopt: it is.
[[nodiscard]] std::optional<SignatureError> CheckSignature(const PublicKey& key,
                                                           std::string_view signature_file,
                                                           std::string_view message);

// One line naming what failed, e.g. "the signature is not valid for this
// FileList.txt"; `signed_name` is the name of the signed file.
std::string SignatureErrorText(const SignatureError& error, const std::string& signed_name);

// Strict base64 (RFC 4648 alphabet, padding only at the end, no blanks);
// nullopt for anything else.
[[nodiscard]] std::optional<std::vector<unsigned char>> DecodeBase64(std::string_view text);

enum class SmallFileRead { kOk, kMissing, kTooLarge, kUnreadable };

// Reads `file` into `text` when it holds at most `limit` bytes, reading no
// more than limit + 1 bytes in any case.
[[nodiscard]] SmallFileRead ReadFileAtMost(const std::filesystem::path& file, size_t limit,
                                           std::string& text);

}  // namespace brenvik
