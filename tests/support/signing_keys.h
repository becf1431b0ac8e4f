#pragma once
// Two fixed key pairs for tests that sign a catalogue: the publisher's and
// somebody else's. Only for targets that link brenvik_release_catalogue.

#include "tools/release_signature.h"

namespace brenvik::test {

inline constexpr SigningKey kPublisherTestKey = {
    .number = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87},
    .seed = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
             17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32},
};

inline constexpr SigningKey kOtherTestKey = {
    .number = {0x98, 0x89, 0x7a, 0x6b, 0x5c, 0x4d, 0x3e, 0x2f},
    .seed = {99, 98, 97, 96, 95, 94, 93, 92, 91, 90, 89, 88, 87, 86, 85, 84,
             83, 82, 81, 80, 79, 78, 77, 76, 75, 74, 73, 72, 71, 70, 69, 68},
};

// The signature file text of `message` by `key`.
inline std::string SignatureOf(const SigningKey& key, std::string_view message) {
  return SignatureFileText(key, message, "verify with the test key");
}

}  // namespace brenvik::test
