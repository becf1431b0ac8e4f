#include "transfer/url_text.h"

#include <gtest/gtest.h>

namespace brenvik {
namespace {

TEST(SchemeOf, IsTheLowerCasedPartBeforeTheColon) {
  EXPECT_EQ(SchemeOf("HTTPS://h/x"), "https");
  EXPECT_EQ(SchemeOf("file:///srv/a"), "file");
  EXPECT_EQ(SchemeOf("mailto:someone"), "mailto");
  EXPECT_EQ(SchemeOf("no scheme here"), "");
  EXPECT_EQ(SchemeOf(":x"), "");
}

TEST(ResolveLocation, ReadsEveryFormOfReference) {
  const std::string base = "http://h:8080/Orvcd/1.0/a.bin";
  EXPECT_EQ(ResolveLocation(base, "https://mirror/x.bin"), "https://mirror/x.bin");
  EXPECT_EQ(ResolveLocation(base, "//mirror:81/x.bin"), "http://mirror:81/x.bin");
  EXPECT_EQ(ResolveLocation(base, "/x.bin"), "http://h:8080/x.bin");
  EXPECT_EQ(ResolveLocation(base, "b.bin"), "http://h:8080/Orvcd/1.0/b.bin");
  EXPECT_EQ(ResolveLocation(base, "../2.0/b.bin?v=2"), "http://h:8080/Orvcd/2.0/b.bin?v=2");
  // A query in the base does not count as its folder.
  EXPECT_EQ(ResolveLocation("http://h/a/b?next=/c/d", "e"), "http://h/a/e");
  // A base without a path has the root as its folder.
  EXPECT_EQ(ResolveLocation("http://h", "e"), "http://h/e");
  // A scheme elsewhere stays as written: whether to follow it is the caller's call.
  EXPECT_EQ(ResolveLocation(base, "ftp://h/x"), "ftp://h/x");
  EXPECT_EQ(ResolveLocation(base, "file:///etc/hosts"), "file:///etc/hosts");
}

TEST(ResolveLocation, ResolvesDotSegmentsWithoutClimbingAboveTheRoot) {
  const std::string base = "http://h/a/b/c.bin";
  EXPECT_EQ(ResolveLocation(base, "./d/./e.bin"), "http://h/a/b/d/e.bin");
  EXPECT_EQ(ResolveLocation(base, "../../../../x.bin"), "http://h/x.bin");
  EXPECT_EQ(ResolveLocation(base, "/a/../x/.."), "http://h/");
  EXPECT_EQ(ResolveLocation(base, "."), "http://h/a/b/");
  EXPECT_EQ(ResolveLocation("https://h/a/../b", "https://h/a/../b"), "https://h/b");
}

TEST(ResolveLocation, EscapesWhatTheWireCannotCarryAndDropsTheFragment) {
  const std::string base = "http://h/a/";
  EXPECT_EQ(ResolveLocation(base, "  /new place/caf\xC3\xA9.bin#top \r\n"),
            "http://h/new%20place/caf%C3%A9.bin");
  EXPECT_EQ(ResolveLocation(base, "x%20y.bin"), "http://h/a/x%20y.bin");
}

TEST(FileUrlPath, NamesLocalPathsAndShares) {
  EXPECT_EQ(FileUrlPath("file:///srv/release/a%20b.bin"), "/srv/release/a b.bin");
  EXPECT_EQ(FileUrlPath("file://localhost/srv/x"), "/srv/x");
  EXPECT_EQ(FileUrlPath("file:///C:/Games/a%20b.bin"), "C:/Games/a b.bin");
  EXPECT_EQ(FileUrlPath("file://C:\\Games\\a b.bin"), "C:\\Games\\a b.bin");
  EXPECT_EQ(FileUrlPath("FILE://LOCALHOST/d:/x"), "d:/x");
  EXPECT_EQ(FileUrlPath("file://server/share/x.bin"), "//server/share/x.bin");
  EXPECT_EQ(FileUrlPath("file:///caf%C3%A9/100%"), "/caf\xC3\xA9/100%");
}

TEST(RedirectRefusal, RefusesOtherSchemesAndTheWayDownFromHttps) {
  EXPECT_EQ(RedirectRefusal("http://h/a", "http://m/a"), "");
  EXPECT_EQ(RedirectRefusal("http://h/a", "https://m/a"), "");
  EXPECT_EQ(RedirectRefusal("https://h/a", "HTTPS://m/a"), "");
  EXPECT_EQ(RedirectRefusal("https://h/a", "http://m/a"),
            "the server redirected from https to the unprotected address \"http://m/a\", which "
            "is refused");
  EXPECT_EQ(RedirectRefusal("HTTPS://h/a", "Http://m/a").empty(), false);
  for (const char* elsewhere : {"ftp://m/a", "file:///etc/passwd", "gopher://m/", "m/a"}) {
    EXPECT_NE(RedirectRefusal("http://h/a", elsewhere), "") << elsewhere;
    EXPECT_NE(RedirectRefusal("https://h/a", elsewhere), "") << elsewhere;
  }
}

TEST(EncodedNamePath, EncodesEveryByteButTheUnreservedOnes) {
  EXPECT_EQ(EncodedNamePath("Setup-1.0_final~.exe"), "Setup-1.0_final~.exe");
  // '+' would be a blank to some stores; '%' must not start an escape.
  EXPECT_EQ(EncodedNamePath("a+b #1 100%41?.bin"), "a%2Bb%20%231%20100%2541%3F.bin");
  EXPECT_EQ(EncodedNamePath("Sub Dir\\deeper/x;y=z&w.bin"), "Sub%20Dir/deeper/x%3By%3Dz%26w.bin");
  EXPECT_EQ(EncodedNamePath("caf\xC3\xA9"), "caf%C3%A9");
  EXPECT_EQ(EncodedNamePath(""), "");
}

}  // namespace
}  // namespace brenvik
