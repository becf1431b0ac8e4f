#include "verify/md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "verify/reference_md5.h"

namespace brenvik {
namespace {

// Feeds the message in pieces of piece_size bytes (0: all at once).
Md5Digest DigestInPieces(const uint8_t* data, size_t length, size_t piece_size) {
  if (piece_size == 0) return Md5Of(data, length);
  Md5Context context;
  Md5Init(context);
  for (size_t offset = 0; offset < length; offset += piece_size) {
    Md5Update(context, data + offset, std::min(piece_size, length - offset));
  }
  Md5Digest digest;
  Md5Final(digest, context);
  return digest;
}

std::vector<uint8_t> RandomBytes(std::mt19937& generator, size_t length) {
  std::vector<uint8_t> bytes(length);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(generator());
  return bytes;
}

bool AllZero(const Md5Context& context) {
  const Md5Context zero{};
  return std::memcmp(&context, &zero, sizeof context) == 0;
}

constexpr size_t kPieceSizes[] = {0, 1, 63, 64, 65, 4096};

struct KnownDigest {
  const char* message;
  const char* hex;
};

// The test suite of RFC 1321, appendix A.5.
constexpr KnownDigest kRfcSuite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"1234567890123456789012345678901234567890"
     "1234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

class Md5RfcSuite : public testing::TestWithParam<KnownDigest> {};

TEST_P(Md5RfcSuite, DigestsToTheListedValueWholeAndInPieces) {
  const std::string message = GetParam().message;
  const auto* bytes = reinterpret_cast<const uint8_t*>(message.data());
  for (size_t piece_size : kPieceSizes) {
    SCOPED_TRACE("piece size " + std::to_string(piece_size));
    EXPECT_EQ(Md5Hex(DigestInPieces(bytes, message.size(), piece_size)), GetParam().hex);
  }
}

INSTANTIATE_TEST_SUITE_P(Rfc1321, Md5RfcSuite, testing::ValuesIn(kRfcSuite));

// Lengths around the points where the padding spills into a second block.
TEST(Md5, PaddingBoundariesMatchReference) {
  std::mt19937 generator(55);
  for (size_t length : {55, 56, 57, 63, 64, 65, 119, 120, 121, 127, 128}) {
    SCOPED_TRACE("length " + std::to_string(length));
    const auto bytes = RandomBytes(generator, length);
    const auto expected = test::ReferenceMd5(bytes.data(), bytes.size());
    for (size_t piece_size : kPieceSizes) {
      EXPECT_EQ(DigestInPieces(bytes.data(), bytes.size(), piece_size), expected);
    }
  }
}

TEST(Md5, RandomBuffersMatchReferenceWholeAndInRandomPieces) {
  std::mt19937 generator(1321);
  std::uniform_int_distribution<size_t> length_of(0, 20000);
  std::uniform_int_distribution<size_t> piece_of(0, 300);
  for (int trial = 0; trial < 300; ++trial) {
    const auto bytes = RandomBytes(generator, length_of(generator));
    SCOPED_TRACE("trial " + std::to_string(trial) + ", length " + std::to_string(bytes.size()));
    const auto expected = test::ReferenceMd5(bytes.data(), bytes.size());
    EXPECT_EQ(Md5Of(bytes.data(), bytes.size()), expected);

    // Random piece sizes, zero included, so updates start at every buffer
    // index and at unaligned addresses.
    Md5Context context;
    Md5Init(context);
    for (size_t offset = 0; offset < bytes.size();) {
      const size_t piece = std::min(piece_of(generator), bytes.size() - offset);
      Md5Update(context, bytes.data() + offset, piece);
      offset += piece;
    }
    Md5Digest digest;
    Md5Final(digest, context);
    EXPECT_EQ(digest, expected);
  }
}

TEST(Md5, ZeroLengthUpdateLeavesContextUnchanged) {
  std::mt19937 generator(0);
  const auto bytes = RandomBytes(generator, 200);
  for (size_t fed : {0, 1, 64, 100, 200}) {
    SCOPED_TRACE("after " + std::to_string(fed) + " bytes");
    Md5Context context{};
    Md5Init(context);
    Md5Update(context, bytes.data(), fed);
    const Md5Context before = context;
    Md5Update(context, bytes.data(), 0);
    Md5Update(context, nullptr, 0);
    EXPECT_EQ(std::memcmp(&context, &before, sizeof context), 0);
  }
}

TEST(Md5, FinalWipesTheWholeContext) {
  std::mt19937 generator(7);
  for (size_t length : {0, 3, 56, 64, 1000}) {
    SCOPED_TRACE("length " + std::to_string(length));
    const auto bytes = RandomBytes(generator, length);
    Md5Context context;
    Md5Init(context);
    Md5Update(context, bytes.data(), bytes.size());
    Md5Digest digest;
    Md5Final(digest, context);
    EXPECT_TRUE(AllZero(context));
    EXPECT_EQ(digest, test::ReferenceMd5(bytes.data(), bytes.size()));
  }
}

TEST(Md5, BitCountIsLowWordFirstAndCarriesIntoHighWord) {
  std::mt19937 generator(29);
  const auto bytes = RandomBytes(generator, 1000);
  Md5Context context;
  Md5Init(context);
  Md5Update(context, bytes.data(), bytes.size());
  EXPECT_EQ(context.count[0], 8000u);
  EXPECT_EQ(context.count[1], 0u);

  // 64 bytes short of 2^29 bytes fed: the next 128 bytes wrap the low word.
  context.count[0] = 0xfffffe00u;
  Md5Update(context, bytes.data(), 128);
  EXPECT_EQ(context.count[0], 0x200u);
  EXPECT_EQ(context.count[1], 1u);
}

}  // namespace
}  // namespace brenvik
