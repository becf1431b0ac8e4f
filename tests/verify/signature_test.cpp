#include "verify/signature.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/temp_dir.h"

namespace brenvik {
namespace {

// Made with signify-openbsd -G -n and -S: two key pairs, and key A's
// signature of kMessage.
constexpr const char* kKeyA =
    "untrusted comment: brenvik test key A public key\n"
    "RWTVbvzIMZYrCudexQnVzAYMM8ZUybx6tZdDKjkC0Ehw4ijfcqPvbXhD\n";
constexpr const char* kKeyB =
    "untrusted comment: brenvik test key B public key\n"
    "RWRT1/Zqmd1MPE2LcrtFH8zRLIinAdGu+QsX3pY/FcUkxQeBTPplPesl\n";
constexpr const char* kMessage = "signed message\n";
constexpr const char* kSignatureLine =
    "RWTVbvzIMZYrCvs1vnepVD5651EKwK0gPgjFOdrsq95IDooVnjRx6s6B/"
    "uYra459BXVz+KNTT2KaP6J+aHHquF38120mdZVdwAY=";

const std::string kSignature =
    std::string("untrusted comment: verify with a.pub\n") + kSignatureLine + "\n";

PublicKey Key(const char* text) {
  auto parsed = ParsePublicKey(text);
  if (const auto* problem = std::get_if<std::string>(&parsed)) {
    ADD_FAILURE() << *problem;
    return {};
  }
  return std::get<PublicKey>(parsed);
}

// The problem CheckSignature finds with `signature` under key A; nullopt: none.
std::optional<SignatureProblem> ProblemOf(const std::string& signature,
                                          const std::string& message = kMessage) {
  const auto error = CheckSignature(Key(kKeyA), signature, message);
  if (!error) return std::nullopt;
  return error->problem;
}

TEST(SignatureTest, ASignatureMadeWithTheToolVerifiesForExactlyItsBytes) {
  EXPECT_EQ(ProblemOf(kSignature), std::nullopt);
  // Without the last newline the file is still the same signature.
  EXPECT_EQ(ProblemOf(kSignature.substr(0, kSignature.size() - 1)), std::nullopt);

  std::string changed = kMessage;
  changed[0] ^= 0x01;
  EXPECT_EQ(ProblemOf(kSignature, changed), SignatureProblem::kNotValid);
  EXPECT_EQ(ProblemOf(kSignature, std::string(kMessage) + "\n"), SignatureProblem::kNotValid);
  EXPECT_EQ(ProblemOf(kSignature, ""), SignatureProblem::kNotValid);
}

TEST(SignatureTest, AnotherKeyIsToldApartFromAnInvalidSignature) {
  const auto error = CheckSignature(Key(kKeyB), kSignature, kMessage);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->problem, SignatureProblem::kOtherKey);
  EXPECT_EQ(error->detail,
            "key number d56efcc831962b0a, the trusted key is number 53d7f66a99dd4c3c");
  EXPECT_EQ(SignatureErrorText(*error, "FileList.txt"),
            "the signature FileList.txt.sig was made with another key (" + error->detail + ")");

  // Key A's number on a signature that is not key A's is "not valid".
  std::string forged = kSignatureLine;
  forged[40] = forged[40] == 'A' ? 'B' : 'A';
  EXPECT_EQ(ProblemOf("untrusted comment: x\n" + forged + "\n"), SignatureProblem::kNotValid);
}

TEST(SignatureTest, HostileSignatureFilesAreRefusedByWhatIsWrong) {
  const std::string comment = "untrusted comment: x\n";
  const std::string line = kSignatureLine;
  using enum SignatureProblem;
  EXPECT_EQ(ProblemOf(""), kMalformed);
  EXPECT_EQ(ProblemOf("garbage\x01\xff\n<html>not found</html>\n"), kMalformed);
  EXPECT_EQ(ProblemOf(line + "\n"), kMalformed);                          // no comment line
  EXPECT_EQ(ProblemOf("comment: x\n" + line + "\n"), kMalformed);         // the wrong comment
  EXPECT_EQ(ProblemOf(comment + line + "\n\n"), kMalformed);              // a line too many
  EXPECT_EQ(ProblemOf(comment + line + "\nmore\n"), kMalformed);          // a line too many
  EXPECT_EQ(ProblemOf(comment + line.substr(0, 96) + "\n"), kMalformed);  // too short
  EXPECT_EQ(ProblemOf(comment + line + "AAAA\n"), kMalformed);            // bad padding
  EXPECT_EQ(ProblemOf(comment + "!" + line.substr(1) + "\n"), kMalformed);
  EXPECT_EQ(ProblemOf(comment + " " + line + "\n"), kMalformed);
  EXPECT_EQ(ProblemOf(comment + line + "\r\n"), kMalformed);
  // The algorithm tag: "Ed" is the first two bytes, "RW" in base64.
  std::string other_algorithm = line;
  other_algorithm[1] = 'X';
  const auto error = CheckSignature(Key(kKeyA), comment + other_algorithm, kMessage);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->problem, kMalformed);
  EXPECT_EQ(error->detail, "algorithm \"Et\", not Ed25519");

  EXPECT_EQ(ProblemOf(comment + std::string(kSignatureFileLimit, 'A')), kTooLarge);
}

TEST(SignatureTest, PublicKeysInBothFormsAndWhatIsNotOne) {
  const PublicKey whole = Key(kKeyA);
  const PublicKey line_only = Key("RWTVbvzIMZYrCudexQnVzAYMM8ZUybx6tZdDKjkC0Ehw4ijfcqPvbXhD");
  EXPECT_EQ(whole.key, line_only.key);
  EXPECT_EQ(KeyNumberText(whole.number), "d56efcc831962b0a");

  auto problem = [](std::string_view text) {
    auto parsed = ParsePublicKey(text);
    const auto* error = std::get_if<std::string>(&parsed);
    return error != nullptr ? *error : std::string("(a key)");
  };
  EXPECT_EQ(problem(""), "the key is not valid base64");
  EXPECT_EQ(problem("not a key at all"), "the key is not valid base64");
  EXPECT_EQ(problem("first line\nRWTVbvzIMZYrCudexQnVzAYMM8ZUybx6tZdDKjkC0Ehw4ijfcqPvbXhD\n"),
            "not a signify public key (a comment line, then the key)");
  EXPECT_EQ(problem(kSignatureLine), "the key has 74 bytes where a signify key has 42");
  EXPECT_EQ(problem("RXTVbvzIMZYrCudexQnVzAYMM8ZUybx6tZdDKjkC0Ehw4ijfcqPvbXhD"),
            "the key is not an Ed25519 signify key");
}

TEST(SignatureTest, Base64IsReadStrictly) {
  auto text = [](std::string_view base64) {
    const auto bytes = DecodeBase64(base64);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("(refused)");
  };
  EXPECT_EQ(text("TWFu"), "Man");
  EXPECT_EQ(text("TWE="), "Ma");
  EXPECT_EQ(text("TQ=="), "M");
  EXPECT_EQ(text("TWF"), "(refused)");   // not a multiple of four
  EXPECT_EQ(text("TWF="), "(refused)");  // stray bits under the padding
  EXPECT_EQ(text("TR=="), "(refused)");  // stray bits under the padding
  EXPECT_EQ(text("T==="), "(refused)");  // too much padding
  EXPECT_EQ(text("TW=u"), "(refused)");  // padding inside
  EXPECT_EQ(text("TW u"), "(refused)");  // a blank
  EXPECT_EQ(text("TW-_"), "(refused)");  // the URL alphabet
  EXPECT_EQ(text(""), "(refused)");
}

TEST(SignatureTest, SmallFilesAreReadUpToTheirLimitOnly) {
  test::TempDir dir;
  const auto file = dir.path() / "FileList.txt.sig";
  std::string text;
  EXPECT_EQ(ReadFileAtMost(file, 10, text), SmallFileRead::kMissing);
  std::ofstream(file) << "0123456789";
  EXPECT_EQ(ReadFileAtMost(file, 10, text), SmallFileRead::kOk);
  EXPECT_EQ(text, "0123456789");
  EXPECT_EQ(ReadFileAtMost(file, 9, text), SmallFileRead::kTooLarge);
  EXPECT_EQ(ReadFileAtMost(dir.path(), 10, text), SmallFileRead::kUnreadable);
}

}  // namespace
}  // namespace brenvik
