#include "support/feedback/feedback_client.h"

#include <exception>

#include <nlohmann/json.hpp>

#include "support/app_info.h"
#include "support/feedback/feedback_sanitizer.h"

namespace choralink {
namespace {

// The service's reference, cleaned like a title so that a broken or hostile
// answer cannot put control or direction characters into the message.
std::optional<std::string> referenceIn(const std::string& body) {
  const nlohmann::json json = nlohmann::json::parse(body, nullptr, false);
  if (!json.is_object()) return std::nullopt;
  const auto it = json.find("reference");
  if (it == json.end() || !it->is_string()) return std::nullopt;
  std::string reference = FeedbackSanitizer::title(it->get_ref<const std::string&>());
  if (reference.empty()) return std::nullopt;
  return reference;
}

}  // namespace

FeedbackResult FeedbackResult::success(std::optional<std::string> reference) {
  return FeedbackResult(Kind::success, std::move(reference));
}

std::string FeedbackResult::message() const {
  switch (kind_) {
    case Kind::success:
      return reference_ ? "Thanks! Your feedback was sent. Reference: " + *reference_
                        : "Thanks! Your feedback was sent.";
    case Kind::tooLarge:
      return "That report is too large. Try a smaller screenshot or turn off the diagnostic log.";
    case Kind::rateLimited:
      return "Too many reports just now. Please wait a minute and try again.";
    case Kind::failed:
      return "Couldn't send feedback. Please check your connection and try again.";
  }
  return {};
}

std::string FeedbackClient::endpoint() {
  return "https://" + std::string(AppInfo::serviceHost()) + "/api/feedback";
}

std::set<std::string> FeedbackClient::allowedHosts() {
  const std::string host(AppInfo::serviceHost());
  return {host, "www." + host};
}

const std::string_view FeedbackClient::disclosure =
    "The diagnostic log contains your audio device names, your operating system and Choralink "
    "versions, and file paths on this computer.";

std::shared_ptr<HTTPClient> FeedbackClient::sharedHTTP() {
  static const std::shared_ptr<HTTPClient> shared =
      std::make_shared<CurlHTTPClient>(allowedHosts());
  return shared;
}

FeedbackClient::FeedbackClient(std::shared_ptr<HTTPClient> http, std::string endpointURL, Log& log,
                               double timeoutSeconds)
    : http_(std::move(http)),
      endpoint_(std::move(endpointURL)),
      log_(&log),
      timeout_(timeoutSeconds) {}

FeedbackResult FeedbackClient::send(const FeedbackReport& report) const {
  std::string body;
  try {
    body = report.jsonBody();
  } catch (const std::exception&) {
    return FeedbackResult::failed();
  }

  HTTPResponse response;
  try {
    if (!http_) throw HTTPError::network("No HTTP client");
    response = http_->postJSON(endpoint_, body, timeout_);
  } catch (const std::exception& error) {
    log_->warn(std::string("feedback: send failed (") + error.what() + ")");
    return FeedbackResult::failed();
  }

  if (response.status >= 200 && response.status <= 299) {
    std::optional<std::string> reference = referenceIn(response.body);
    log_->info("feedback: sent");
    return FeedbackResult::success(std::move(reference));
  }
  if (response.status == 429) return FeedbackResult::rateLimited();
  if (response.status == 413) return FeedbackResult::tooLarge();
  log_->warn("feedback: HTTP " + std::to_string(response.status));
  return FeedbackResult::failed();
}

std::future<FeedbackResult> FeedbackClient::sendAsync(FeedbackReport report) const {
  return std::async(std::launch::async,
                    [client = *this, report = std::move(report)] { return client.send(report); });
}

}  // namespace choralink
