#pragma once
// Ed25519 signing from a 32-byte seed through the platform's crypto library
// (release_signature_openssl.cpp on Linux, release_signature_gcrypt.cpp on
// Windows); tools/release_signature.cpp puts the results into signify's
// format. Ed25519 is deterministic: the same seed and message give the same
// bytes with either library.
//
// Thread safety: any thread.

#include <string_view>

#include "verify/ed25519.h"

namespace brenvik {

using Ed25519Seed = std::array<unsigned char, 32>;

// The public key that goes with `seed`; false when the library fails.
[[nodiscard]] bool Ed25519PublicKeyOf(const Ed25519Seed& seed, Ed25519Key& key);

// `seed`'s signature over exactly `message`; false when the library fails.
[[nodiscard]] bool SignEd25519(const Ed25519Seed& seed, std::string_view message,
                               Ed25519Signature& signature);

}  // namespace brenvik
