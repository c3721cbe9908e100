#include "support/feedback/feedback_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/log.h"
#include "tests/common/log_capture.h"
#include "tests/common/temp_folder.h"
#include "tests/net/https_test_server.h"
#include "tests/net/net_fixture.h"

namespace choralink {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::HttpsTestServer;
using ::testing::IsEmpty;
using testing::kForeignHost;
using testing::kServiceHost;
using Reply = HttpsTestServer::Reply;
using Request = HttpsTestServer::Request;
using Kind = FeedbackResult::Kind;

const FeedbackEnvironment kEnvironment{"2.1.0", "mac", "6.1.0", "arm64"};

FeedbackReport report() {
  return FeedbackReport("Secret title", "Secret description", std::nullopt,
                        std::string("secret log"), kEnvironment);
}

class FeedbackClientTest : public ::testing::Test {
 protected:
  // A client of `server`'s feedback endpoint with the given limit.
  FeedbackClient clientFor(const HttpsTestServer& server, double limit = 10.0) {
    return FeedbackClient(testing::loopbackClient(server),
                          server.url(kServiceHost, "/api/feedback"), log, limit);
  }

  std::vector<std::string> logged() { return test::fileMessages(log); }

  test::TempFolder dir;
  Log log{dir.path() / "choralink.log", {}};
};

TEST(FeedbackClientLimit, TwentySecondsUnlessToldOtherwise) {
  struct Recorder : HTTPClient {
    HTTPResponse postJSON(const std::string& url, std::string_view, double timeout) override {
      seen = {url, timeout};
      return {200, ""};
    }
    HTTPResponse get(const std::string&, double, std::size_t, const std::atomic<bool>*) override {
      return {};
    }
    std::pair<std::string, double> seen;
  };
  auto http = std::make_shared<Recorder>();
  FeedbackClient(http, FeedbackClient::endpoint()).send(report());
  EXPECT_EQ(http->seen, std::make_pair(FeedbackClient::endpoint(), 20.0));
}

// Any 2xx answer is a success; its reference, cleaned, when it has a usable one.
TEST_F(FeedbackClientTest, SuccessCarriesTheCleanedReferenceWhenThereIsOne) {
  const std::pair<std::string, FeedbackResult> cases[] = {
      {R"({"reference":"  FB-2026\n   \u202e42  ","extra":1})",
       FeedbackResult::success("FB-2026 42")},
      {"", FeedbackResult::success()},
      {"[]", FeedbackResult::success()},
      {R"({"reference":17})", FeedbackResult::success()},
      {R"({"ref":"x"})", FeedbackResult::success()},
      {R"({"reference":" \u200b\u202e "})", FeedbackResult::success()},
      {"not json {", FeedbackResult::success()},
      {"\"FB-1\"", FeedbackResult::success()}};
  for (const auto& [body, result] : cases) {
    HttpsTestServer server([&](const Request&) { return Reply{201, body}; });
    EXPECT_EQ(clientFor(server).send(report()), result) << body;
    EXPECT_EQ(server.requests().at(0).body, report().jsonBody());
  }
  EXPECT_EQ(cases[0].second.message(), "Thanks! Your feedback was sent. Reference: FB-2026 42");
  EXPECT_EQ(logged(), std::vector<std::string>(std::size(cases), "[INFO] feedback: sent"));
}

// 413 and 429 are the user's to act on and not logged; any other answer
// (a redirect away from the service included) fails and logs its status.
TEST_F(FeedbackClientTest, StatusesMapToResultsAndOnlyFailuresAreLogged) {
  const struct {
    int status;
    FeedbackResult result;
    const char* line;
  } cases[] = {
      {413, FeedbackResult::tooLarge(), nullptr},
      {429, FeedbackResult::rateLimited(), nullptr},
      {500, FeedbackResult::failed(), "[WARN] feedback: HTTP 500"},
      {302, FeedbackResult::failed(), "[WARN] feedback: HTTP 302"},
  };
  std::vector<std::string> expected;
  for (const auto& c : cases) {
    std::string location;
    HttpsTestServer server([&](const Request&) {
      return Reply{c.status, "{}", {{"Location", location}}};
    });
    location = server.url(kForeignHost, "/api/feedback");
    EXPECT_EQ(clientFor(server).send(report()), c.result) << c.status;
    EXPECT_EQ(server.requests().size(), 1u);
    if (c.line) expected.push_back(c.line);
  }
  EXPECT_EQ(logged(), expected);
}

TEST_F(FeedbackClientTest, PlainHTTPIsRefusedBeforeAnythingIsSent) {
  HttpsTestServer server([](const Request&) { return Reply{200, ""}; });
  const FeedbackClient client(testing::loopbackClient(server),
                              server.url(kServiceHost, "/api/feedback", "http"), log);
  EXPECT_EQ(client.send(report()), FeedbackResult::failed());
  EXPECT_THAT(logged(),
              ElementsAre("[WARN] feedback: send failed (Host not allowed: choralink.test)"));
}

TEST_F(FeedbackClientTest, NothingOfTheReportReachesTheLog) {
  HttpsTestServer server([](const Request&) { return Reply{500, ""}; });
  clientFor(server).send(report());
  HttpsTestServer ok([](const Request&) { return Reply{200, R"({"reference":"SECRET-REF"})"}; });
  clientFor(ok).send(report());
  const std::string file = log.tail(1'000'000);
  EXPECT_THAT(file, HasSubstr("feedback: sent"));
  EXPECT_THAT(file, ::testing::Not(HasSubstr("ecret")));
  EXPECT_THAT(file, ::testing::Not(HasSubstr("SECRET")));
}

TEST_F(FeedbackClientTest, AReportThatCannotBeSerialisedFailsSilently) {
  HttpsTestServer server([](const Request&) { return Reply{200, ""}; });
  const FeedbackReport broken("t", "", std::nullopt, std::nullopt,
                              FeedbackEnvironment{"\xFF", "mac", "6.1.0", "arm64"});
  EXPECT_EQ(clientFor(server).send(broken), FeedbackResult::failed());
  EXPECT_THAT(logged(), IsEmpty());
  EXPECT_EQ(server.connections(), 0);
}

TEST_F(FeedbackClientTest, WithoutAnHTTPClientItFails) {
  const FeedbackClient client(nullptr, FeedbackClient::endpoint(), log);
  EXPECT_EQ(client.send(report()), FeedbackResult::failed());
  EXPECT_THAT(logged(), ElementsAre(::testing::StartsWith("[WARN] feedback: send failed (")));
}

TEST_F(FeedbackClientTest, SendAsyncDeliversTheResultOnAFuture) {
  HttpsTestServer server([](const Request&) { return Reply{429, ""}; });
  std::future<FeedbackResult> pending = clientFor(server).sendAsync(report());
  EXPECT_EQ(pending.get(), FeedbackResult::rateLimited());
}

}  // namespace
}  // namespace choralink
