#include "support/feedback/http_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/app_info.h"
#include "tests/net/https_test_server.h"
#include "tests/net/net_fixture.h"

namespace choralink {
namespace {

using ::testing::HasSubstr;
using testing::HttpsTestServer;
using testing::kForeignHost;
using testing::kOtherServiceHost;
using testing::kServiceHost;
using Reply = HttpsTestServer::Reply;
using Request = HttpsTestServer::Request;

constexpr double kLimit = 10.0;

// The HTTPError `call` throws, or nothing.
template <typename F>
std::optional<HTTPError> errorOf(F call) {
  try {
    call();
  } catch (const HTTPError& error) {
    return error;
  }
  return std::nullopt;
}

Reply redirectTo(int status, const std::string& location) {
  return Reply{status, "", {{"Location", location}}};
}

TEST(HTTPClientAllowed, ChecksOnlySchemeAndHost) {
  const CurlHTTPClient client({"Choralink.TEST", "www.choralink.test"});
  EXPECT_THAT(client.allowedHosts(),
              ::testing::ElementsAre("choralink.test", "www.choralink.test"));
  for (const char* url :
       {"HTTPS://CHORALINK.TEST/api/feedback", "https://www.choralink.test:8443/any/path?q=1#f"})
    EXPECT_TRUE(client.isAllowed(url)) << url;
  for (const char* url :
       {"http://choralink.test/api/feedback", "ftp://choralink.test/",
        "https://elsewhere.test/api/feedback", "https://choralink.test.elsewhere.test/",
        "https://elsewhere.test/?next=https://choralink.test/",
        "https://choralink.test@elsewhere.test/", "choralink.test/api/feedback",
        "https:///api/feedback", ""})
    EXPECT_FALSE(client.isAllowed(url)) << url;
}

TEST(HTTPClientAllowed, RefusedURLsFailWithoutSending) {
  HttpsTestServer server([](const Request&) { return Reply{200, "{}"}; });
  auto client = testing::loopbackClient(server);

  const std::string plain = server.url(kServiceHost, "/api/feedback", "http");
  EXPECT_EQ(errorOf([&] { client->postJSON(plain, "{}", kLimit); }),
            HTTPError::hostNotAllowed(kServiceHost));
  EXPECT_EQ(errorOf([&] { client->postJSON(server.url(kForeignHost, "/"), "{}", kLimit); }),
            HTTPError::hostNotAllowed(kForeignHost));
  EXPECT_EQ(server.connections(), 0);
}

TEST(HTTPClientPost, SendsJsonStatelesslyAndReturnsEveryStatusAsAnAnswer) {
  int status = 201;
  HttpsTestServer server([&](const Request&) {
    return Reply{status, R"({"ok":true})", {{"Set-Cookie", "session=abc; Path=/; Secure"}}};
  });
  auto client = testing::loopbackClient(server);
  const std::string body = R"({"title":"hi"})";
  EXPECT_EQ(client->postJSON(server.url("CHORALINK.test", "/api/feedback"), body, kLimit),
            (HTTPResponse{201, R"({"ok":true})"}));
  status = 500;  // an error status is an answer, not an error
  EXPECT_EQ(client->postJSON(server.url(kServiceHost, "/"), "{}", kLimit).status, 500);

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/api/feedback");
  EXPECT_EQ(requests[0].body, body);
  EXPECT_EQ(requests[0].headers.at("content-type"), "application/json");
  EXPECT_EQ(requests[0].headers.at("accept"), "application/json");
  EXPECT_EQ(requests[0].headers.at("user-agent"), "Choralink-Mac/1.2.3");
  EXPECT_FALSE(requests[0].headers.contains("expect"));
  EXPECT_FALSE(requests[1].headers.contains("cookie"));
  EXPECT_EQ(server.connections(), 2);  // each request has a connection of its own

  auto transport = testing::loopbackTransport(server);
  transport.appVersion.clear();
  CurlHTTPClient(std::set<std::string>{kServiceHost}, transport)
      .postJSON(server.url(kServiceHost, "/"), "{}", kLimit);
  EXPECT_EQ(server.requests().back().headers.at("user-agent"),
            "Choralink-Mac/" + std::string(AppInfo::version()));
}

// Only redirects to an allowed HTTPS host are followed; 303 turns the POST
// into a GET, 307/308 repeat it. Every target is pinned to this one server, so
// a followed redirect shows as a second request.
TEST(HTTPClientRedirect, FollowsOnlyRedirectsToAllowedHosts) {
  struct Case {
    int status;
    std::string host;  // empty: a relative location
    bool https;
    const char* method;  // of the second request, or nullptr when not followed
  };
  const Case cases[] = {
      {307, "", true, "POST"},
      {308, kOtherServiceHost, true, "POST"},
      {303, "", true, "GET"},
      {302, kForeignHost, true, nullptr},
      {302, kServiceHost, false, nullptr},
  };
  for (const Case& c : cases) {
    std::string location;
    HttpsTestServer server([&](const Request& request) {
      if (request.target == "/api/feedback") return redirectTo(c.status, location);
      return Reply{201, "moved"};
    });
    location =
        c.host.empty() ? "/api/v2" : server.url(c.host, "/api/v2", c.https ? "https" : "http");
    auto client = testing::loopbackClient(server);
    const HTTPResponse response =
        client->postJSON(server.url(kServiceHost, "/api/feedback"), "{\"a\":1}", kLimit);
    const auto requests = server.requests();
    SCOPED_TRACE(c.status);
    if (c.method == nullptr) {
      EXPECT_EQ(response.status, c.status);
      EXPECT_EQ(requests.size(), 1u);
      continue;
    }
    EXPECT_EQ(response, (HTTPResponse{201, "moved"}));
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].method, c.method);
    EXPECT_EQ(requests[1].target, "/api/v2");
    EXPECT_EQ(requests[1].body, std::string(c.method) == "GET" ? "" : "{\"a\":1}");
    EXPECT_THAT(requests[1].headers.at("host"),
                ::testing::StartsWith(c.host.empty() ? kServiceHost : c.host));
  }
}

TEST(HTTPClientRedirect, AnEndlessChainFails) {
  HttpsTestServer server([](const Request&) { return redirectTo(307, "/again"); });
  auto client = testing::loopbackClient(server);
  const auto error =
      errorOf([&] { client->postJSON(server.url(kServiceHost, "/"), "{}", kLimit); });
  ASSERT_TRUE(error);
  EXPECT_EQ(*error, HTTPError::network("Too many redirects"));
  EXPECT_EQ(server.requests().size(), 1u + CurlHTTPClient::maxRedirects);
}

// A server that never answers runs into the limit (the request did arrive);
// an untrusted certificate fails before any request; an answer over the size
// limit is refused; a server gone away leaves nobody listening.
TEST(HTTPClientFailure, SilenceAnUntrustedCertificateAnOversizedAnswerOrNobodyListeningFail) {
  const struct {
    Reply reply;
    bool trusted;
    double limit;
    const char* says;
    std::size_t requests;
    bool gone = false;
  } cases[] = {{Reply::never(), true, 0.3, "timed out", 1},
               {Reply{}, false, kLimit, "certificate", 0},
               {Reply{200, std::string(CurlHTTPClient::maxResponseBytes + 1, 'x')}, true, kLimit,
                "Response too large", 1},
               {Reply{}, true, kLimit, "", 0, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    std::optional<HttpsTestServer> server(std::in_place, [&](const Request&) { return c.reply; });
    auto client = testing::loopbackClient(*server, c.trusted);
    const std::string url = server->url(kServiceHost, "/");
    if (c.gone) server.reset();
    const auto start = std::chrono::steady_clock::now();
    const auto error = errorOf([&] { client->postJSON(url, "{}", c.limit); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), HTTPError::Kind::network);
    EXPECT_THAT(error->what(), HasSubstr(c.says));
    EXPECT_FALSE(error->payload().empty());
    EXPECT_EQ(server ? server->requests().size() : 0u, c.requests);
  }
}

TEST(HTTPClientConcurrency, OneClientServesSeveralThreads) {
  HttpsTestServer server([](const Request& request) { return Reply{200, request.body}; });
  auto client = testing::loopbackClient(server);
  std::vector<std::thread> threads;
  std::atomic<int> matches{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 3; ++i) {
        const std::string body = "{\"n\":" + std::to_string(t * 10 + i) + "}";
        if (client->postJSON(server.url(kServiceHost, "/"), body, kLimit).body == body) ++matches;
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(matches.load(), 12);
}

}  // namespace
}  // namespace choralink
