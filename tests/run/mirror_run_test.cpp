// Runs over several servers holding the same release: the one the
// catalogue came from and its mirrors, all real loopback servers.

#include <gtest/gtest.h>

#include <memory>

#include "run/run_harness.h"
#include "texts/run_texts.h"
#include "transfer/url_text.h"

namespace brenvik::test {
namespace {

class MirrorRunTest : public RunHarness {
 protected:
  // Adds a file to the catalogue's server and to every mirror given.
  void AddEverywhere(const std::string& name, const std::string& content,
                     std::initializer_list<Release*> mirrors) {
    release_.Add(name, content);
    for (Release* mirror : mirrors) mirror->Add(name, content);
  }
  int RequestsFor(const HttpServer& server, const Release& release) const {
    int total = 0;
    for (const auto& [name, content] : release.Files()) {
      total += server.Requests(release.PathOf(name));
    }
    return total;
  }
  static bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }
  // Ends the run before the test's own servers go: their end would
  // otherwise wait for the connections the run keeps open.
  void EndRun() {
    driver_.reset();
    engine_.reset();
  }
};

// Of three mirrors one refuses connections and one answers 503 for ever:
// they rest while the two good servers share the files, and none of their
// failures counts towards the question.
TEST_F(MirrorRunTest, BadMirrorsRestWhileTheGoodServersFinishWithoutAQuestion) {
  HttpServer good;
  HttpServer unavailable;
  Release good_release(good);
  Release unavailable_release(unavailable);
  std::string refusing_url;
  {
    HttpServer gone;  // its port refuses connections once it is gone
    refusing_url = gone.Url();
  }
  for (int i = 0; i < 4; ++i) {
    AddEverywhere("f" + std::to_string(i) + ".bin", RandomBytes(24 * 1024, 100 + i),
                  {&good_release, &unavailable_release});
  }
  // The good servers take a moment for each file, so the bad ones would
  // fail many times in a row meanwhile if their failures counted.
  for (const auto& [name, content] : release_.Files()) {
    unavailable.Misbehave(unavailable_release.PathOf(name), Behaviour{.status = 503});
    server_.Misbehave(release_.PathOf(name), Behaviour{.stall = std::chrono::milliseconds(800)});
    good.Misbehave(good_release.PathOf(name), Behaviour{.stall = std::chrono::milliseconds(800)});
  }
  WriteCatalogue();
  config_.mirrors = {refusing_url, unavailable.Url(), good.Url()};
  NewRun();
  ASSERT_EQ(Drive(), RunEnd::kFinished);
  EXPECT_TRUE(AllVerified());
  EXPECT_TRUE(prompt_.Texts().empty()) << prompt_.Texts().front();
  for (const auto& [name, content] : release_.Files()) EXPECT_EQ(OnDisk(name), content) << name;
  EXPECT_GT(RequestsFor(server_, release_), 0);
  EXPECT_GT(RequestsFor(good, good_release), 0) << "both good servers serve files";
  EXPECT_GT(RequestsFor(unavailable, unavailable_release), 0) << "the 503 server was tried";
  // While a good server takes its time, a row a bad one failed says so.
  bool told = false;
  for (const std::string& text : face_.row_texts) {
    EXPECT_FALSE(Has(text, "Retrying: attempt")) << text;
    told = told || Has(text, "Trying another server (");
  }
  EXPECT_TRUE(told);
  EndRun();
}

// A file that arrives damaged from one server comes from another next,
// without a question; the damaged copy's row names the server it came from.
TEST_F(MirrorRunTest, AFileDamagedOnOneServerComesFromAnother) {
  HttpServer mirror;
  Release mirror_release(mirror);
  const std::string content = RandomBytes(50 * 1024, 7);
  mirror_release.Add("game.pak", content);
  std::string damaged = content;
  damaged[1000] ^= 0x40;
  release_.Add("game.pak", content);
  WriteCatalogue();
  server_.Serve(release_.PathOf("game.pak"), damaged);  // same size, other bytes
  // The good copy takes a moment, so a view shows the damaged one's row.
  mirror.Misbehave(mirror_release.PathOf("game.pak"),
                   Behaviour{.stall = std::chrono::milliseconds(300)});
  config_.mirrors = {mirror.Url()};
  NewRun();
  ASSERT_EQ(Drive(), RunEnd::kFinished);
  EXPECT_TRUE(AllVerified());
  EXPECT_EQ(OnDisk("game.pak"), content);
  EXPECT_EQ(server_.Requests(release_.PathOf("game.pak")), 1);
  EXPECT_EQ(mirror.Requests(mirror_release.PathOf("game.pak")), 1);
  EXPECT_TRUE(prompt_.Texts().empty());
  const std::string named = "Checksum Failed! (from " + AuthorityOf(server_.Url()) + ")";
  EXPECT_EQ(face_.row_texts.count(named), 1u) << named;
  EndRun();
}

// When every server fails the file, the failures count as with one server
// and the row says which server the last attempt went to.
TEST_F(MirrorRunTest, WhenEveryServerFailsTheRowNamesTheServerAndTheQuestionComes) {
  HttpServer mirror;
  Release mirror_release(mirror);
  AddEverywhere("gone.bin", RandomBytes(1024, 9), {&mirror_release});
  WriteCatalogue();
  server_.Misbehave(release_.PathOf("gone.bin"), Behaviour{.status = 404});
  mirror.Misbehave(mirror_release.PathOf("gone.bin"), Behaviour{.status = 404});
  config_.mirrors = {mirror.Url()};
  std::string row_at_question;
  prompt_.SetOnAsk([&](const std::string& text) {
    if (text != kContinueLaterMessage) row_at_question = StatusText(0);
  });
  NewRun();
  EXPECT_EQ(Drive(), RunEnd::kClosed);
  ASSERT_EQ(prompt_.Count(), 2u);  // the question, then the continue-later message
  EXPECT_TRUE(Has(row_at_question, "attempt 11 of 11 failed (")) << row_at_question;
  EXPECT_TRUE(Has(row_at_question, " from 127.0.0.1:")) << row_at_question;
  EXPECT_TRUE(Has(prompt_.Texts().front(), "Couldn't download \"http://127.0.0.1:"));
  EXPECT_GT(server_.Requests(release_.PathOf("gone.bin")), 0);
  EXPECT_GT(mirror.Requests(mirror_release.PathOf("gone.bin")), 0);
  EndRun();
}

}  // namespace
}  // namespace brenvik::test
