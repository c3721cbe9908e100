// Sends a FeedbackReport to the product's web service and turns the answer
// into a FeedbackResult whose message the feedback sheet shows.
#pragma once

#include <future>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "support/feedback/feedback_report.h"
#include "support/feedback/http_client.h"
#include "support/log.h"

namespace choralink {

class FeedbackResult {
 public:
  enum class Kind { success, tooLarge, rateLimited, failed };

  static FeedbackResult success(std::optional<std::string> reference = std::nullopt);
  static FeedbackResult tooLarge() { return FeedbackResult(Kind::tooLarge); }
  static FeedbackResult rateLimited() { return FeedbackResult(Kind::rateLimited); }
  static FeedbackResult failed() { return FeedbackResult(Kind::failed); }

  Kind kind() const { return kind_; }
  const std::optional<std::string>& reference() const { return reference_; }
  // The text shown to the user.
  std::string message() const;

  bool operator==(const FeedbackResult&) const = default;

 private:
  explicit FeedbackResult(Kind kind, std::optional<std::string> reference = std::nullopt)
      : kind_(kind), reference_(std::move(reference)) {}

  Kind kind_;
  std::optional<std::string> reference_;
};

// A cheap value made per send: the HTTP client, the endpoint, the log that
// hears about the outcome (one line per send, never the report's content) and
// the time limit (shortened only by tests).
class FeedbackClient {
 public:
  // https://<service host>/api/feedback
  static std::string endpoint();
  // The service host and its "www." name.
  static std::set<std::string> allowedHosts();
  static constexpr double timeout = 20.0;
  // Shown beside the log option of the feedback sheet.
  static const std::string_view disclosure;

  // One CurlHTTPClient for allowedHosts, created on first use and shared.
  static std::shared_ptr<HTTPClient> sharedHTTP();

  // `log` must outlive the client and every send it starts.
  FeedbackClient(std::shared_ptr<HTTPClient> http, std::string endpointURL,
                 Log& log = Log::shared(), double timeoutSeconds = timeout);

  // Posts the report and reads the answer. Never throws. Blocks the calling
  // thread for at most the time limit.
  FeedbackResult send(const FeedbackReport& report) const;

  // send() on a thread of its own; the future is ready when the answer is.
  // Like every std::async future, dropping it waits for the send to end.
  std::future<FeedbackResult> sendAsync(FeedbackReport report) const;

 private:
  std::shared_ptr<HTTPClient> http_;
  std::string endpoint_;
  Log* log_;
  double timeout_;
};

}  // namespace choralink
