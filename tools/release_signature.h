#pragma once
// Signing a release's catalogue in the format of OpenBSD's signify: the
// signature file "untrusted comment: ...", then base64 of "Ed", the key
// number and the Ed25519 signature over the file's bytes, so that the
// program's check (verify/signature.h) and signify's own -V both accept it.
// Publishers sign with signify itself; this is for the demo and the tests,
// which keep their key pairs in the source.
//
// Thread safety: plain functions over the caller's data; any thread.

#include <array>
#include <string>
#include <string_view>

#include "verify/signature.h"

namespace brenvik {

struct SigningKey {
  KeyNumber number{};
  std::array<unsigned char, 32> seed{};  // the Ed25519 private key's seed
};

// The text of a signature file for `message`, with `comment` after
// "untrusted comment: "; empty when the signature cannot be made.
std::string SignatureFileText(const SigningKey& key, std::string_view message,
                              const std::string& comment);

// The text of the public key file that goes with `key`; empty on failure.
std::string PublicKeyText(const SigningKey& key, const std::string& comment);

// Standard base64 with padding.
std::string EncodeBase64(std::string_view bytes);

}  // namespace brenvik
