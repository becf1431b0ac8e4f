#pragma once
// Ed25519 verification through the platform's crypto library (OpenSSL on
// Linux, libgcrypt on Windows), for the signature check in
// verify/signature.h. Everything around it, the signify format and the
// checks of a hostile signature file, is shared code; only the curve
// arithmetic comes from the library.
//
// Thread safety: any thread.

#include <array>
#include <cstddef>
#include <string_view>

namespace brenvik {

inline constexpr size_t kEd25519KeyBytes = 32;
inline constexpr size_t kEd25519SignatureBytes = 64;

using Ed25519Key = std::array<unsigned char, kEd25519KeyBytes>;
using Ed25519Signature = std::array<unsigned char, kEd25519SignatureBytes>;

// Makes the crypto library ready for use from any thread: the first call
// does the library's one-time set-up, later calls return at once. Called
// by the functions here; code that uses the library directly (the release
// tools, the tests' reference digests) calls it first.
void PrepareCryptoLibrary();

// True when `signature` is `key`'s Ed25519 signature (RFC 8032, without
// context or prehash) over exactly `message`.
[[nodiscard]] bool VerifyEd25519(const Ed25519Key& key, const Ed25519Signature& signature,
                                 std::string_view message);

}  // namespace brenvik
