// The signature format against signify itself: a signature made with the
// tool's own command line verifies in Brenvik, and one made by Brenvik's
// signer verifies with the tool. Skipped where the tool is not installed
// (scripts/install-deps installs it).

#include "tools/release_signature.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/release_fixture.h"
#include "support/signing_keys.h"
#include "support/temp_dir.h"
#include "verify/signature.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

constexpr const char* kSignify = "/usr/bin/signify-openbsd";

// Runs signify with `arguments` (file names without quotes needed) in `dir`.
int Signify(const TempDir& dir, const std::string& arguments) {
  const std::string command =
      "cd '" + dir.path().string() + "' && " + kSignify + " " + arguments + " >signify.out 2>&1";
  const int raw = std::system(command.c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

class SignifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(kSignify)) GTEST_SKIP() << kSignify << " is not installed (signify-openbsd)";
    temp_.Write("FileList.txt", "1.0\n0\nInstall.exe\t0123456789abcdef0123456789abcdef\t7\n");
  }
  TempDir temp_;
};

TEST_F(SignifyTest, ASignatureMadeWithSignifyVerifiesInBrenvik) {
  ASSERT_EQ(Signify(temp_, "-G -n -p release.pub -s release.sec"), 0) << temp_.Read("signify.out");
  ASSERT_EQ(Signify(temp_, "-S -s release.sec -m FileList.txt"), 0) << temp_.Read("signify.out");
  const auto key = ParsePublicKey(temp_.Read("release.pub"));
  ASSERT_TRUE(std::holds_alternative<PublicKey>(key));
  const std::string catalogue = temp_.Read("FileList.txt");
  const std::string signature = temp_.Read("FileList.txt.sig");
  EXPECT_EQ(CheckSignature(std::get<PublicKey>(key), signature, catalogue), std::nullopt);

  // The same signature over a catalogue changed by one byte is not valid.
  std::string changed = catalogue;
  changed.back() = '8';
  const auto error = CheckSignature(std::get<PublicKey>(key), signature, changed);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->problem, SignatureProblem::kNotValid);
}

TEST_F(SignifyTest, ASignatureMadeByBrenvikVerifiesWithSignify) {
  const std::string catalogue = temp_.Read("FileList.txt");
  temp_.Write("test.pub", PublicKeyText(test::kPublisherTestKey, "test key public key"));
  temp_.Write("FileList.txt.sig", test::SignatureOf(test::kPublisherTestKey, catalogue));
  EXPECT_EQ(Signify(temp_, "-V -p test.pub -m FileList.txt"), 0) << temp_.Read("signify.out");

  temp_.Write("FileList.txt", catalogue + "\n");
  EXPECT_NE(Signify(temp_, "-V -p test.pub -m FileList.txt"), 0);
}

TEST(ReleaseSignatureTest, Base64MatchesTheStandardForEveryTailLength) {
  EXPECT_EQ(EncodeBase64(""), "");
  EXPECT_EQ(EncodeBase64("M"), "TQ==");
  EXPECT_EQ(EncodeBase64("Ma"), "TWE=");
  EXPECT_EQ(EncodeBase64("Man"), "TWFu");
  const std::string bytes = test::RandomBytes(1000, 3);
  const auto decoded = DecodeBase64(EncodeBase64(bytes));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(std::string(decoded->begin(), decoded->end()), bytes);
}

}  // namespace
}  // namespace brenvik
