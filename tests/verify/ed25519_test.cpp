// Ed25519 through the platform's crypto library must give the same bytes
// on every platform: the release tool's signing and public keys against
// RFC 8032's test vectors and against a signature made by the Linux build,
// and the engine's check against both.

#include "verify/ed25519.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "support/signing_keys.h"
#include "tools/release_signature.h"
#include "tools/release_signature_ed25519.h"
#include "verify/signature.h"

namespace brenvik {
namespace {

std::vector<unsigned char> FromHex(std::string_view hex) {
  std::vector<unsigned char> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(
        static_cast<unsigned char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

template <size_t kSize>
std::array<unsigned char, kSize> ArrayFromHex(std::string_view hex) {
  const std::vector<unsigned char> bytes = FromHex(hex);
  EXPECT_EQ(bytes.size(), kSize) << hex;
  std::array<unsigned char, kSize> array{};
  std::copy_n(bytes.begin(), std::min(kSize, bytes.size()), array.begin());
  return array;
}

struct Vector {
  const char* seed;
  const char* public_key;
  const char* message;
  const char* signature;
};

// RFC 8032, section 7.1, tests 1 to 3.
constexpr Vector kRfcVectors[] = {
    {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf"
     "9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f"
     "11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984"
     "dc6594a7c15e9716ed28dc027beceea1ec40a"},
};

class RfcVector : public testing::TestWithParam<Vector> {};

TEST_P(RfcVector, SigningAndTheKeyGiveTheListedBytesAndTheCheckAcceptsOnlyThem) {
  const Vector& vector = GetParam();
  const auto seed = ArrayFromHex<32>(vector.seed);
  const std::vector<unsigned char> message_bytes = FromHex(vector.message);
  const std::string message(message_bytes.begin(), message_bytes.end());
  const auto expected_key = ArrayFromHex<32>(vector.public_key);
  const auto expected_signature = ArrayFromHex<64>(vector.signature);

  Ed25519Key key{};
  ASSERT_TRUE(Ed25519PublicKeyOf(seed, key));
  EXPECT_EQ(key, expected_key);
  Ed25519Signature signature{};
  ASSERT_TRUE(SignEd25519(seed, message, signature));
  EXPECT_EQ(signature, expected_signature);

  EXPECT_TRUE(VerifyEd25519(expected_key, expected_signature, message));
  EXPECT_FALSE(VerifyEd25519(expected_key, expected_signature, message + "x"));
  for (const size_t byte : {size_t{0}, size_t{31}, size_t{32}, size_t{63}}) {
    Ed25519Signature changed = expected_signature;
    changed[byte] ^= 0x01;
    EXPECT_FALSE(VerifyEd25519(expected_key, changed, message)) << "byte " << byte;
  }
}

INSTANTIATE_TEST_SUITE_P(Rfc8032, RfcVector, testing::ValuesIn(kRfcVectors));

// A catalogue signed with the publisher's test key by the Linux build (its
// OpenSSL path); signify-openbsd -V accepts the pair.
constexpr const char* kCatalogue =
    "# FileList.txt written by brenvik-catalogue\n1.0\n5\n"
    "read me.txt\t5a105e8b9d40e1329780d62ea2265d8a\t5\n";
constexpr const char* kLinuxSignature =
    "untrusted comment: verify with the test key\n"
    "RWQQITJDVGV2hz0M6ZT15ehHoDMP4h3yZrnJucOWufonMUG59Wf9qYLum3gyc2ya4ac6lpvldToojWbkHttuKCgQP9kJp/"
    "KvPgg=\n";
constexpr const char* kLinuxPublicKey =
    "untrusted comment: test key public key\n"
    "RWQQITJDVGV2h3m1Vi6P5lT5QHixEuipi6eQH4U65pW+1+DjkQutBJZk\n";

TEST(Ed25519Test, TheReleaseToolSignsAsTheLinuxBuildDid) {
  EXPECT_EQ(test::SignatureOf(test::kPublisherTestKey, kCatalogue), kLinuxSignature);
  EXPECT_EQ(PublicKeyText(test::kPublisherTestKey, "test key public key"), kLinuxPublicKey);

  const auto parsed = ParsePublicKey(kLinuxPublicKey);
  ASSERT_TRUE(std::holds_alternative<PublicKey>(parsed));
  const PublicKey& key = std::get<PublicKey>(parsed);
  EXPECT_EQ(CheckSignature(key, kLinuxSignature, kCatalogue), std::nullopt);
  const auto error = CheckSignature(key, kLinuxSignature, std::string(kCatalogue) + "\n");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->problem, SignatureProblem::kNotValid);
}

// The signify signature line's bytes with the group order added to the
// scalar half of the signature (little-endian).
std::string WithScalarPlusOrder(std::vector<unsigned char> bytes) {
  const auto order = ArrayFromHex<32>(
      "edd3f55c1a631258d69cf7a2def9de14"
      "000000000000000000000000000000"
      "10");
  const size_t scalar = bytes.size() - order.size();
  unsigned carry = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    const unsigned sum = bytes[scalar + i] + order[i] + carry;
    bytes[scalar + i] = static_cast<unsigned char>(sum);
    carry = sum >> 8;
  }
  EXPECT_EQ(carry, 0u);
  return std::string(bytes.begin(), bytes.end());
}

// The scalar plus the group order satisfies the verification equation too;
// one library accepts it, the other does not, so the check refuses it
// itself and both platforms agree.
TEST(Ed25519Test, AnUnreducedScalarIsNotValidOnAnyPlatform) {
  const auto parsed = ParsePublicKey(kLinuxPublicKey);
  ASSERT_TRUE(std::holds_alternative<PublicKey>(parsed));
  const std::string_view file = kLinuxSignature;
  std::string_view line = file.substr(file.find('\n') + 1);
  line.remove_suffix(1);  // the newline
  const auto bytes = DecodeBase64(line);
  ASSERT_TRUE(bytes);
  const std::string unreduced = WithScalarPlusOrder(*bytes);
  const auto error =
      CheckSignature(std::get<PublicKey>(parsed),
                     "untrusted comment: x\n" + EncodeBase64(unreduced) + "\n", kCatalogue);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->problem, SignatureProblem::kNotValid);
}

}  // namespace
}  // namespace brenvik
