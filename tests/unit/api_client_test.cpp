#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "api/api_error.h"
#include "api/client.h"
#include "api/url.h"

namespace qel {
namespace {

TEST(ProxyHost, TakesTheTextBetweenSchemeAndPortOrPath) {
  struct Case {
    std::string url;
    std::string host;
  };
  const Case cases[] = {
      {"https://api.example.com/api/v1", "api.example.com"},
      {"http://127.0.0.1:8080/api", "127.0.0.1"},
      {"HTTPS://API.Example.COM", "api.example.com"},
      {"api.example.com:99/x", "api.example.com"},
      {"api.example.com", "api.example.com"},
      {"http://a.example://b.example/x", "a.example"},
      {"http://h\xC3\x89llo.example/", "h\xC3\x89llo.example"},  // only A to Z are lowered
      {"http://user@host.example:1/", "user@host.example"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(proxy_host_of(c.url), c.host) << c.url;
}

TEST(NoProxy, EntriesAreReducedAndMatchTheHostOrItsSubdomains) {
  struct Case {
    std::string list;
    std::string host;
    bool excluded;
  };
  const Case cases[] = {
      {"example.com", "example.com", true},
      {"example.com", "api.example.com", true},
      {"example.com", "badexample.com", false},
      {".example.com", "example.com", true},
      {".example.com", "a.b.example.com", true},
      {"*.example.com", "example.com", true},
      {"*.*.example.com", "x.example.com", true},
      {"..example.com", "x.example.com", true},
      {"example.com:8080", "example.com", true},
      {"EXAMPLE.Com", "api.example.com", true},
      {".example.com", "notexample.com", false},
      {"*", "anything.at.all", true},
      {"other.org, * ,x", "anything", true},
      {"other.org,  example.com ", "api.example.com", true},
      {"other.org", "example.com", false},
      {"", "example.com", false},
      {" , ,", "example.com", false},
      {"com", "example.com", true},
      {"example.com", "example.com.evil.org", false},
      {"*example.com", "api.example.com", false},
      {"127.0.0.1", "127.0.0.1", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(no_proxy_excludes(c.list, c.host), c.excluded) << c.list << " / " << c.host;
  }
}

TEST(ProxyAddress, AcceptedForms) {
  using Kind = ProxySettings::Kind;
  struct Case {
    std::string address;
    Kind kind;
    std::string host;
    std::uint16_t port;
    std::optional<std::string> user;
    std::optional<std::string> password;
  };
  const Case cases[] = {
      {"proxy.example", Kind::http, "proxy.example", 80, {}, {}},
      {"http://proxy.example:3128", Kind::http, "proxy.example", 3128, {}, {}},
      {"http://proxy.example:3128///", Kind::http, "proxy.example", 3128, {}, {}},
      {"http://u:p@proxy.example:8", Kind::http, "proxy.example", 8, "u", "p"},
      {"u:p:q@proxy.example", Kind::http, "proxy.example", 80, "u", "p:q"},
      {"http://a@b:pw@proxy.example", Kind::http, "proxy.example", 80, "a@b", "pw"},
      {"socks5://proxy.example", Kind::socks, "proxy.example", 1080, {}, {}},
      {"socks4://proxy.example:9", Kind::socks, "proxy.example", 9, {}, {}},
      {"socks4a://proxy.example", Kind::socks, "proxy.example", 1080, {}, {}},
      {"socks://proxy.example", Kind::socks, "proxy.example", 1080, {}, {}},
      {"http://[::1]:3128", Kind::http, "[::1]", 3128, {}, {}},
  };
  for (const auto& c : cases) {
    const auto proxy = parse_proxy_address(c.address);
    ASSERT_TRUE(proxy) << c.address;
    EXPECT_EQ(proxy->kind, c.kind) << c.address;
    EXPECT_EQ(proxy->host, c.host) << c.address;
    EXPECT_EQ(proxy->port, c.port) << c.address;
    EXPECT_EQ(proxy->user, c.user) << c.address;
    EXPECT_EQ(proxy->password, c.password) << c.address;
  }
}

TEST(ProxyAddress, RefusedForms) {
  for (const std::string address :
       {"https://proxy.example:443", "ftp://proxy.example", "HTTP://proxy.example", "", "http://",
        "http://:3128", "http://proxy.example:", "http://proxy.example:99999",
        "http://proxy.example:abc", "http://user@proxy.example", "http://proxy.example:80/path"}) {
    EXPECT_FALSE(parse_proxy_address(address)) << address;
  }
}

TEST(Redirects, MethodAndBodyFollowTheStatus) {
  const std::string body = "{\"a\":1}";
  HttpRequest post{"POST",
                   "http://a.example/api/v1/x",
                   {{"Accept", "application/json"},
                    {"Authorization", "Bearer k"},
                    {"Content-Type", "application/json"}},
                   body};
  for (std::uint16_t status : {301, 302, 303}) {
    const auto next = redirected_request(post, status, "/y");
    ASSERT_TRUE(next) << status;
    EXPECT_EQ(next->method, "GET");
    EXPECT_FALSE(next->body);
    EXPECT_EQ(next->url, "http://a.example/y");
    EXPECT_EQ(next->headers, (HttpHeaders{{"Accept", "application/json"}}));
  }
  for (std::uint16_t status : {307, 308, 300, 304, 305, 306, 309, 398}) {
    EXPECT_FALSE(redirected_request(post, status, "/y")) << status;
  }

  HttpRequest head{"HEAD", "http://a.example/x", {{"authorization", "Bearer k"}}, {}};
  for (std::uint16_t status : {301, 303, 307, 308}) {
    const auto next = redirected_request(head, status, "http://b.example:81/z");
    ASSERT_TRUE(next);
    EXPECT_EQ(next->method, "HEAD");
    EXPECT_TRUE(next->headers.empty());  // the key never follows a redirect
  }
  for (const std::string method : {"GET", "OPTIONS", "TRACE"}) {
    HttpRequest r{method, "http://a.example/x", {}, {}};
    ASSERT_TRUE(redirected_request(r, 307, "/z"));
    EXPECT_EQ(redirected_request(r, 308, "/z")->method, method);
  }
  for (const std::string method : {"PUT", "DELETE", "PATCH"}) {
    HttpRequest r{method, "http://a.example/x", {}, body};
    EXPECT_FALSE(redirected_request(r, 307, "/z")) << method;
    EXPECT_EQ(redirected_request(r, 302, "/z")->method, "GET") << method;
  }
}

// Answers each request with the next scripted outcome (JSON {} once they run out) and
// keeps what it was sent.
class ScriptedTransport : public Transport {
 public:
  explicit ScriptedTransport(std::vector<HttpOutcome> outcomes) : outcomes_(std::move(outcomes)) {}
  HttpOutcome send(const HttpRequest& request) override {
    sent.push_back(request);
    if (sent.size() <= outcomes_.size()) return outcomes_[sent.size() - 1];
    HttpReply done;
    done.status = 200;
    done.body = std::string("{}");
    return done;
  }
  std::vector<HttpRequest> sent;

 private:
  std::vector<HttpOutcome> outcomes_;
};

HttpOutcome redirect(std::uint16_t status, std::string location) {
  HttpReply reply;
  reply.status = status;
  reply.headers = {{"Location", std::move(location)}};
  reply.body = std::string(R"({"id":9,"received":1})");
  return reply;
}

TEST(Redirects, UploadRequestsFailWhereTheUsualRuleWouldChangeOrHandOver) {
  const std::string body = "chunk bytes";
  for (const std::string method : {"PUT", "POST"}) {
    for (std::uint16_t status : {301, 302, 303, 307, 308}) {
      auto transport = std::make_shared<ScriptedTransport>(
          std::vector<HttpOutcome>{redirect(status, "../elsewhere?x=1")});
      const ApiClient client{"http://a.example/api/v1", "k", transport};
      const HttpOutcome outcome =
          api_request(client, method, "/c").redirects(Redirects::unchanged).send(body);
      const auto* refused = std::get_if<RedirectNotFollowed>(&outcome);
      ASSERT_NE(refused, nullptr) << method << " " << status;
      EXPECT_EQ(refused->status, status);
      EXPECT_EQ(refused->location, "http://a.example/api/elsewhere?x=1");
      EXPECT_EQ(transport->sent.size(), 1u);

      const auto checked = check_response(outcome);
      ASSERT_FALSE(checked.ok());
      EXPECT_EQ(format_api_error(checked.error()),
                "The server redirected the request to http://a.example/api/elsewhere?x=1, which "
                "an upload does not follow. (http_error, HTTP " + std::to_string(status) + ")");
      EXPECT_FALSE(is_retryable(checked.error()));
    }
  }

  // The usual rule for the same PUT: a 302 is followed as a GET, a 307 handed over.
  auto followed = std::make_shared<ScriptedTransport>(std::vector<HttpOutcome>{redirect(302, "/x")});
  const ApiClient client{"http://a.example/api/v1", "k", followed};
  EXPECT_TRUE(check_response(api_request(client, "PUT", "/c").send(body)).ok());
  ASSERT_EQ(followed->sent.size(), 2u);
  EXPECT_EQ(followed->sent[1].method, "GET");
  auto handed = std::make_shared<ScriptedTransport>(std::vector<HttpOutcome>{redirect(307, "/y")});
  const ApiClient plain{"http://a.example/api/v1", "k", handed};
  EXPECT_TRUE(std::holds_alternative<HttpReply>(api_request(plain, "PUT", "/c").send(body)));

  // A redirect that keeps the request as it is still is followed.
  auto kept = std::make_shared<ScriptedTransport>(std::vector<HttpOutcome>{redirect(307, "/z")});
  const ApiClient other{"http://a.example/api/v1", "k", kept};
  EXPECT_TRUE(check_response(api_request(other, "GET", "/c").redirects(Redirects::unchanged).send()).ok());
  EXPECT_EQ(kept->sent.size(), 2u);
}

TEST(Redirects, NeverFromHttpsToPlainHttp) {
  EXPECT_TRUE(leaves_tls("https://a.example/x", "http://a.example/x"));
  EXPECT_TRUE(leaves_tls("HTTPS://a.example/x", "Http://b.example:80/y"));
  for (const auto& [from, to] : {std::pair{"https://a.example/x", "https://b.example/y"},
                                 std::pair{"http://a.example/x", "http://b.example/y"},
                                 std::pair{"http://a.example/x", "https://a.example/x"}}) {
    EXPECT_FALSE(leaves_tls(from, to)) << from << " " << to;
  }

  struct Case {
    std::string method;
    std::uint16_t status;
    std::string location;
    std::string target;  // empty: refused
  };
  const Case cases[] = {
      {"GET", 302, "http://a.example/api/v1/me", ""},
      {"GET", 307, "HTTP://a.example:443/me", ""},
      {"DELETE", 301, "http://b.example/gone", ""},
      {"POST", 303, "http://a.example/next", ""},
      {"GET", 302, "//b.example/me", "https://b.example/me"},
      {"GET", 308, "/api/v2/me", "https://a.example/api/v2/me"},
      {"GET", 301, "https://b.example/me", "https://b.example/me"},
  };
  for (const auto& c : cases) {
    auto transport = std::make_shared<ScriptedTransport>(
        std::vector<HttpOutcome>{redirect(c.status, c.location)});
    const ApiClient client{"https://a.example/api/v1", "k", transport};
    const HttpOutcome outcome = api_request(client, c.method, "/me").send();
    if (c.target.empty()) {
      const auto* failure = std::get_if<TransportFailure>(&outcome);
      ASSERT_NE(failure, nullptr) << c.location;
      EXPECT_EQ(failure->description,
                "https://a.example/api/v1/me: Insecure Redirect: not followed from https to " +
                    resolve_url("https://a.example/api/v1/me", c.location));
      EXPECT_EQ(transport->sent.size(), 1u) << c.location;
      const auto checked = check_response(outcome);
      ASSERT_FALSE(checked.ok());
      EXPECT_EQ(checked.error().code, "network");
    } else {
      EXPECT_TRUE(check_response(outcome).ok()) << c.location;
      ASSERT_EQ(transport->sent.size(), 2u) << c.location;
      EXPECT_EQ(transport->sent[1].url, c.target);
    }
  }
}

TEST(ResolveUrl, ReferencesAgainstTheRequestUrl) {
  const std::string base = "http://a.example:8/api/v1/me?x=1#frag";
  struct Case {
    std::string reference;
    std::string resolved;
  };
  const Case cases[] = {
      {"https://b.example/p", "https://b.example/p"},
      {"//c.example/q", "http://c.example/q"},
      {"/root?y=2", "http://a.example:8/root?y=2"},
      {"other", "http://a.example:8/api/v1/other"},
      {"../up", "http://a.example:8/api/up"},
      {"./same/../x", "http://a.example:8/api/v1/x"},
      {"../../../../too/far", "http://a.example:8/too/far"},
      {"?q=3", "http://a.example:8/api/v1/me?q=3"},
      {"", "http://a.example:8/api/v1/me?x=1"},
      {"#only-fragment", "http://a.example:8/api/v1/me?x=1"},
      {"/a/b/../c/./d", "http://a.example:8/a/c/d"},
  };
  for (const auto& c : cases) EXPECT_EQ(resolve_url(base, c.reference), c.resolved) << c.reference;
  EXPECT_EQ(resolve_url("http://h.example", "x"), "http://h.example/x");
}

TEST(EscapeUrl, OnlyBytesThatCannotStandInARequestLine) {
  EXPECT_EQ(escape_url_text("http://h/t?status=a b&c"), "http://h/t?status=a%20b&c");
  EXPECT_EQ(escape_url_text("/x?q=\xC8\x99\t\"<>`"), "/x?q=%C8%99%09%22%3C%3E%60");
  EXPECT_EQ(escape_url_text("/a%20b?x=1&y=[2]#f"), "/a%20b?x=1&y=[2]#f");
}

TEST(MakeAgent, TrimsEveryTrailingSlashAndKeepsTheKey) {
  const ApiClient client = make_agent("http://h.example/api///", " k ");
  EXPECT_EQ(client.base_url, "http://h.example/api");
  EXPECT_EQ(client.key, " k ");
  EXPECT_NE(client.agent, nullptr);
}

}  // namespace
}  // namespace qel
