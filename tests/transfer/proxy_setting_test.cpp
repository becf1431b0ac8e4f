#include "transfer/proxy_setting.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace brenvik {
namespace {

// An environment of its own, so the tests never depend on the machine's.
class Environment {
 public:
  explicit Environment(std::map<std::string, std::string> variables)
      : variables_(std::move(variables)) {}
  EnvironmentLookup Lookup() const {
    return [this](const char* name) -> const char* {
      const auto it = variables_.find(name);
      return it == variables_.end() ? nullptr : it->second.c_str();
    };
  }

 private:
  std::map<std::string, std::string> variables_;
};

TEST(ProxyFor, TakesTheSchemesOwnVariableThenTheGeneralOne) {
  const Environment both({{"http_proxy", "http://p1:3128"},
                          {"HTTPS_PROXY", "http://p2:3128"},
                          {"ALL_PROXY", "http://p3:3128"}});
  EXPECT_EQ(ProxyFor("http://h/a", both.Lookup()), "http://p1:3128");
  EXPECT_EQ(ProxyFor("https://h/a", both.Lookup()), "http://p2:3128");
  EXPECT_EQ(ProxyFor("file:///srv/a", both.Lookup()), "");

  // HTTP_PROXY in capitals is not read (a web server sets it from a request).
  const Environment upper({{"HTTP_PROXY", "http://evil:1"}, {"all_proxy", " http://p3:3128 "}});
  EXPECT_EQ(ProxyFor("http://h/a", upper.Lookup()), "http://p3:3128");
  EXPECT_EQ(ProxyFor("http://h/a", Environment({}).Lookup()), "");
}

TEST(ProxyFor, NoProxyNamesHostsAndTheirDomains) {
  const Environment env(
      {{"http_proxy", "http://p:3128"}, {"no_proxy", " localhost, .example.org,10.0.0.1"}});
  for (const char* direct : {"http://localhost:8080/a", "http://example.org/a",
                             "http://dl.EXAMPLE.org/a", "http://user@10.0.0.1/a"}) {
    EXPECT_EQ(ProxyFor(direct, env.Lookup()), "") << direct;
  }
  for (const char* proxied : {"http://notexample.org/a", "http://example.org.evil/a",
                              "http://10.0.0.10/a", "http://localhost.evil/a"}) {
    EXPECT_EQ(ProxyFor(proxied, env.Lookup()), "http://p:3128") << proxied;
  }
  const Environment all({{"http_proxy", "http://p:3128"}, {"NO_PROXY", "*"}});
  EXPECT_EQ(ProxyFor("http://anywhere/a", all.Lookup()), "");
}

TEST(ShownProxy, LeavesOutTheLogin) {
  EXPECT_EQ(ShownProxy("http://user:secret@p:3128"), "http://p:3128");
  EXPECT_EQ(ShownProxy("user:secret@p:3128"), "p:3128");
  EXPECT_EQ(ShownProxy("http://p:3128/"), "http://p:3128/");
  EXPECT_EQ(ShownProxy("http://p:3128/a@b"), "http://p:3128/a@b");
}

}  // namespace
}  // namespace brenvik
