#include "app/ui/feedback/feedback_form.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "app/model/platform_texts.h"
#include "support/feedback/feedback_log.h"
#include "support/feedback/feedback_sanitizer.h"
#include "support/log.h"

namespace choralink::ui {
namespace {

// Whether the text holds anything but white space. Zero-width characters
// count as content here: the report's own cleaning decides about them.
bool hasNonBlank(std::string_view text) {
  std::int32_t i = 0;
  const auto length = static_cast<std::int32_t>(text.size());
  while (i < length) {
    UChar32 c = 0;
    U8_NEXT(text.data(), i, length, c);
    if (c < 0 || !u_isUWhiteSpace(c)) return true;
  }
  return false;
}

}  // namespace

FeedbackForm::Services FeedbackForm::Services::standard() {
  Services services;
  services.collectLog = [] {
    return FeedbackLog::collect(Log::shared().tail(FeedbackLog::logTailBytes),
                                FeedbackLog::diagnosticReportsDir());
  };
  services.send = [](const FeedbackReport& report) {
    return FeedbackClient(FeedbackClient::sharedHTTP(), FeedbackClient::endpoint()).send(report);
  };
  services.environment = FeedbackEnvironment::current();
  return services;
}

FeedbackForm::FeedbackForm(Executor& main, FeedbackWorker& worker, Services services)
    : main_(main), worker_(worker), services_(std::move(services)) {}

FeedbackForm::~FeedbackForm() = default;

const std::string& FeedbackForm::setTitle(std::string_view text) {
  title_ = FeedbackSanitizer::prefixCharacters(text, FeedbackSanitizer::titleMaxChars);
  changed();
  return title_;
}

const std::string& FeedbackForm::setDetails(std::string_view text) {
  details_ = FeedbackSanitizer::prefixCharacters(text, FeedbackSanitizer::descriptionMaxChars);
  changed();
  return details_;
}

void FeedbackForm::attachImage(const std::filesystem::path& file) {
  try {
    image_ = FeedbackImage::load(file);
    error_.reset();
  } catch (const FeedbackError& failure) {
    error_ = failure.what();
  }
  changed();
}

void FeedbackForm::removeImage() {
  image_.reset();
  changed();
}

bool FeedbackForm::canSend() const {
  return !sent_ && !sending_ && hasNonBlank(title_);
}

void FeedbackForm::send() {
  if (!canSend()) return;
  sending_ = true;
  error_.reset();
  changed();

  std::weak_ptr<int> alive = alive_;
  worker_.run([this, alive, main = &main_, services = services_, title = title_, details = details_,
               image = image_, attachLog = attachLog_] {
    Outcome outcome;
    try {
      std::optional<std::string> log;
      if (attachLog) log = services.collectLog();
      const FeedbackReport report(title, details, image, std::move(log), services.environment);
      outcome.answer = services.send(report);
    } catch (const FeedbackError& failure) {
      outcome.buildError = failure.what();
    }
    main->post([this, alive, outcome] {
      if (!alive.expired()) finished(outcome);
    });
  });
}

void FeedbackForm::finished(const Outcome& outcome) {
  if (!outcome.answer) {
    error_ = outcome.buildError;
  } else if (outcome.answer->kind() == FeedbackResult::Kind::success) {
    result_ = outcome.answer->message();
    sent_ = true;
  } else {
    error_ = outcome.answer->message();
  }
  sending_ = false;
  changed();
}

void FeedbackForm::changed() const {
  if (onChange_) onChange_();
}

std::string feedbackFootnote(std::string_view domain, std::string_view arch) {
  std::string text = "Your report goes to ";
  text += domain;
  text += PlatformTexts::shown(PlatformTexts::kFeedbackFootnoteMiddle);
  text += arch;
  text += ").";
  return text;
}

}  // namespace choralink::ui
