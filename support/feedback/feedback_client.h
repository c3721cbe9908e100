// Sends a FeedbackReport to the product's web service and turns the answer
// into a FeedbackResult whose message the feedback sheet shows.
#pragma once

#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "support/feedback/feedback_report.h"
#include "support/feedback/http_client.h"

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

// Where send() reports its outcome: one line per send, never the report's
// content. The application passes the diagnostic log.
struct FeedbackClientLog {
  std::function<void(const std::string&)> info;
  std::function<void(const std::string&)> warn;
};

// A cheap value made per send: the HTTP client, the endpoint and the time
// limit (shortened only by tests).
class FeedbackClient {
 public:
  // The product's web service.
  static const std::string endpoint;
  static const std::set<std::string> allowedHosts;
  static constexpr double timeout = 20.0;
  // Shown beside the log option of the feedback sheet.
  static const std::string disclosure;

  // One CurlHTTPClient for allowedHosts, created on first use and shared.
  static std::shared_ptr<HTTPClient> sharedHTTP();

  FeedbackClient(std::shared_ptr<HTTPClient> http, std::string endpointURL,
                 FeedbackClientLog log = {}, double timeoutSeconds = timeout);

  // Posts the report and reads the answer. Never throws. Blocks the calling
  // thread for at most the time limit.
  FeedbackResult send(const FeedbackReport& report) const;

  // send() on a thread of its own; the future is ready when the answer is.
  std::future<FeedbackResult> sendAsync(FeedbackReport report) const;

 private:
  std::shared_ptr<HTTPClient> http_;
  std::string endpoint_;
  FeedbackClientLog log_;
  double timeout_;
};

}  // namespace choralink
