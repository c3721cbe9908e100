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
  EXPECT_TRUE(client.isAllowed("HTTPS://CHORALINK.TEST/api/feedback"));
  EXPECT_TRUE(client.isAllowed("https://www.choralink.test:8443/any/path?q=1#f"));
  EXPECT_FALSE(client.isAllowed("http://choralink.test/api/feedback"));
  EXPECT_FALSE(client.isAllowed("ftp://choralink.test/"));
  EXPECT_FALSE(client.isAllowed("https://elsewhere.test/api/feedback"));
  EXPECT_FALSE(client.isAllowed("https://choralink.test.elsewhere.test/"));
  EXPECT_FALSE(client.isAllowed("https://elsewhere.test/?next=https://choralink.test/"));
  EXPECT_FALSE(client.isAllowed("https://choralink.test@elsewhere.test/"));
  EXPECT_FALSE(client.isAllowed("choralink.test/api/feedback"));
  EXPECT_FALSE(client.isAllowed("https:///api/feedback"));
  EXPECT_FALSE(client.isAllowed(""));
}

TEST(HTTPClientAllowed, RefusedURLsFailWithoutSending) {
  HttpsTestServer server([](const Request&) { return Reply{200, "{}"}; });
  auto client = testing::loopbackClient(server);

  const std::string plain =
      "http://" + std::string(kServiceHost) + ":" + std::to_string(server.port()) + "/api/feedback";
  EXPECT_EQ(errorOf([&] { client->postJSON(plain, "{}", kLimit); }),
            HTTPError::hostNotAllowed(kServiceHost));
  EXPECT_EQ(errorOf([&] { client->postJSON(server.url(kForeignHost, "/"), "{}", kLimit); }),
            HTTPError::hostNotAllowed(kForeignHost));
  EXPECT_EQ(errorOf([&] { client->postJSON("not a url", "{}", kLimit); }),
            HTTPError::hostNotAllowed("not a url"));
  EXPECT_EQ(server.connections(), 0);
}

TEST(HTTPClientPost, SendsTheBodyWithJsonHeadersAndReturnsTheAnswer) {
  HttpsTestServer server([](const Request&) { return Reply{201, R"({"ok":true})"}; });
  auto client = testing::loopbackClient(server);
  const std::string body = R"({"title":"hi"})";

  const HTTPResponse response =
      client->postJSON(server.url("CHORALINK.test", "/api/feedback"), body, kLimit);
  EXPECT_EQ(response, (HTTPResponse{201, R"({"ok":true})"}));

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/api/feedback");
  EXPECT_EQ(requests[0].body, body);
  EXPECT_EQ(requests[0].headers.at("content-type"), "application/json");
  EXPECT_EQ(requests[0].headers.at("accept"), "application/json");
  EXPECT_EQ(requests[0].headers.at("user-agent"), "Choralink-Mac/1.2.3");
  EXPECT_FALSE(requests[0].headers.contains("expect"));
}

TEST(HTTPClientPost, NamesTheApplicationsVersionByDefault) {
  HttpsTestServer server([](const Request&) { return Reply{200, ""}; });
  auto transport = testing::loopbackTransport(server);
  transport.appVersion.clear();
  CurlHTTPClient client({kServiceHost}, transport);
  client.postJSON(server.url(kServiceHost, "/"), "{}", kLimit);
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].headers.at("user-agent"),
            "Choralink-Mac/" + std::string(AppInfo::version()));
}

TEST(HTTPClientPost, ErrorStatusesAreAnswersNotErrors) {
  int status = 500;
  HttpsTestServer server([&](const Request&) { return Reply{status, "broken"}; });
  auto client = testing::loopbackClient(server);
  EXPECT_EQ(client->postJSON(server.url(kServiceHost, "/"), "{}", kLimit).status, 500);
  status = 404;
  EXPECT_EQ(client->postJSON(server.url(kServiceHost, "/"), "{}", kLimit),
            (HTTPResponse{404, "broken"}));
}

TEST(HTTPClientPost, KeepsNothingBetweenRequests) {
  HttpsTestServer server([](const Request&) {
    return Reply{200, "{}", {{"Set-Cookie", "session=abc; Path=/; Secure"}}};
  });
  auto client = testing::loopbackClient(server);
  client->postJSON(server.url(kServiceHost, "/"), "{}", kLimit);
  client->postJSON(server.url(kServiceHost, "/"), "{}", kLimit);

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_FALSE(requests[1].headers.contains("cookie"));
  EXPECT_FALSE(requests[1].headers.contains("authorization"));
  // Each request has a connection of its own.
  EXPECT_EQ(server.connections(), 2);
}

TEST(HTTPClientRedirect, ATemporaryRedirectOnTheSameHostRepeatsThePost) {
  HttpsTestServer* self = nullptr;
  HttpsTestServer server([&](const Request& request) {
    if (request.target == "/api/feedback") return redirectTo(307, "/api/v2/feedback");
    return Reply{201, "moved"};
  });
  self = &server;
  auto client = testing::loopbackClient(server);
  EXPECT_EQ(client->postJSON(self->url(kServiceHost, "/api/feedback"), "{\"a\":1}", kLimit),
            (HTTPResponse{201, "moved"}));
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].method, "POST");
  EXPECT_EQ(requests[1].target, "/api/v2/feedback");
  EXPECT_EQ(requests[1].body, "{\"a\":1}");
}

TEST(HTTPClientRedirect, APermanentRedirectToTheOtherServiceHostIsFollowed) {
  std::string location;
  HttpsTestServer server([&](const Request& request) {
    if (request.headers.at("host").starts_with(kServiceHost)) return redirectTo(308, location);
    return Reply{200, "from www"};
  });
  location = server.url(kOtherServiceHost, "/api/feedback");
  auto client = testing::loopbackClient(server);
  EXPECT_EQ(client->postJSON(server.url(kServiceHost, "/api/feedback"), "{}", kLimit).body,
            "from www");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_THAT(requests[1].headers.at("host"), ::testing::StartsWith(kOtherServiceHost));
  EXPECT_EQ(requests[1].method, "POST");
}

TEST(HTTPClientRedirect, SeeOtherTurnsThePostIntoAGet) {
  HttpsTestServer server([](const Request& request) {
    if (request.method == "POST") return redirectTo(303, "/done");
    return Reply{200, "done"};
  });
  auto client = testing::loopbackClient(server);
  EXPECT_EQ(client->postJSON(server.url(kServiceHost, "/api/feedback"), "{}", kLimit).status, 200);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].method, "GET");
  EXPECT_EQ(requests[1].body, "");
}

TEST(HTTPClientRedirect, ARedirectLeavingTheAllowedHostsIsReturnedNotFollowed) {
  // Both targets are reachable (pinned to this very server), so a followed
  // redirect would show up as a second request.
  std::string location;
  HttpsTestServer server([&](const Request&) { return redirectTo(302, location); });
  auto client = testing::loopbackClient(server);

  for (const std::string& target :
       {server.url(kForeignHost, "/collect"),
        "http://" + std::string(kServiceHost) + ":" + std::to_string(server.port()) + "/api"}) {
    location = target;
    const int before = static_cast<int>(server.requests().size());
    const HTTPResponse response =
        client->postJSON(server.url(kServiceHost, "/api/feedback"), "{}", kLimit);
    EXPECT_EQ(response.status, 302) << target;
    EXPECT_EQ(static_cast<int>(server.requests().size()), before + 1) << target;
  }
  for (const Request& request : server.requests()) {
    EXPECT_THAT(request.headers.at("host"), ::testing::StartsWith(kServiceHost));
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

TEST(HTTPClientFailure, AServerThatNeverAnswersRunsIntoTheLimit) {
  HttpsTestServer server([](const Request&) { return Reply::never(); });
  auto client = testing::loopbackClient(server);
  const auto start = std::chrono::steady_clock::now();
  const auto error = errorOf([&] { client->postJSON(server.url(kServiceHost, "/"), "{}", 0.3); });
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind(), HTTPError::Kind::network);
  EXPECT_THAT(error->what(), HasSubstr("timed out"));
  EXPECT_EQ(server.requests().size(), 1u);  // the request did arrive
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST(HTTPClientFailure, AnUntrustedCertificateIsATransportFailure) {
  HttpsTestServer server([](const Request&) { return Reply{200, "{}"}; });
  auto client = testing::loopbackClient(server, /*trustTestCertificate=*/false);
  const auto error =
      errorOf([&] { client->postJSON(server.url(kServiceHost, "/"), "{}", kLimit); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind(), HTTPError::Kind::network);
  EXPECT_THAT(error->what(), HasSubstr("certificate"));
  EXPECT_TRUE(server.requests().empty());
}

TEST(HTTPClientFailure, AnOversizedAnswerIsRefused) {
  HttpsTestServer server([](const Request&) {
    return Reply{200, std::string(CurlHTTPClient::maxResponseBytes + 1, 'x')};
  });
  auto client = testing::loopbackClient(server);
  EXPECT_EQ(errorOf([&] { client->postJSON(server.url(kServiceHost, "/"), "{}", kLimit); }),
            HTTPError::network("Response too large"));
}

TEST(HTTPClientFailure, NobodyListeningIsATransportFailure) {
  int port = 0;
  {
    HttpsTestServer closed([](const Request&) { return Reply{}; });
    port = closed.port();
  }
  CurlHTTPClient::Transport transport;
  transport.pinnedAddresses = {std::string(kServiceHost) + ":" + std::to_string(port) +
                               ":127.0.0.1"};
  transport.direct = true;
  CurlHTTPClient client({kServiceHost}, transport);
  const auto error = errorOf([&] {
    client.postJSON("https://" + std::string(kServiceHost) + ":" + std::to_string(port) + "/", "{}",
                    kLimit);
  });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind(), HTTPError::Kind::network);
  EXPECT_FALSE(error->payload().empty());
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
