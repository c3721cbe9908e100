// The feedback sheet without its widgets: the form's inputs with their typing
// limits, the screenshot, and the send with its outcome. Fresh for every
// opening of the sheet; the view draws it and forwards each edit.
//
// Lives on the model's thread. A send runs on the worker and hands its
// outcome back through the main executor; an outcome that arrives after the
// form is gone is dropped.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/ui/feedback/feedback_worker.h"
#include "engine/dispatch/executor.h"
#include "support/feedback/feedback_client.h"
#include "support/feedback/feedback_report.h"

namespace choralink::ui {

class FeedbackForm {
 public:
  // What a send needs. Both functions are called on a worker thread.
  struct Services {
    // The log attachment (log tail and crash report), asked for only when
    // the user chose to attach it.
    std::function<std::string()> collectLog;
    // Posts the report and waits for the answer.
    std::function<FeedbackResult(const FeedbackReport&)> send;
    FeedbackEnvironment environment;

    // The running application's: Log::shared(), the crash folder, the
    // product's service.
    static Services standard();
  };

  FeedbackForm(Executor& main, FeedbackWorker& worker, Services services);
  ~FeedbackForm();
  FeedbackForm(const FeedbackForm&) = delete;
  FeedbackForm& operator=(const FeedbackForm&) = delete;

  // Called after every change the view shows (not after the edits it made).
  void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }

  const std::string& title() const { return title_; }
  const std::string& details() const { return details_; }
  const std::optional<FeedbackImage>& image() const { return image_; }
  bool attachLog() const { return attachLog_; }
  bool sending() const { return sending_; }
  const std::optional<std::string>& result() const { return result_; }
  const std::optional<std::string>& error() const { return error_; }
  bool sent() const { return sent_; }

  // The edits. Title and details keep at most their first 80 and 300
  // user-perceived characters; the return value is the text as kept.
  const std::string& setTitle(std::string_view text);
  const std::string& setDetails(std::string_view text);
  void setAttachLog(bool on) { attachLog_ = on; }

  // Attaches the file as the screenshot; when it cannot be one, shows why
  // and keeps the screenshot there was.
  void attachImage(const std::filesystem::path& file);
  void removeImage();

  // Whether "Send" is offered at all, and whether it can be pressed.
  bool showsSend() const { return !sent_; }
  bool canSend() const;
  void send();

 private:
  // A send's end: the service's answer, or the report could not be built.
  struct Outcome {
    std::optional<FeedbackResult> answer;
    std::string buildError;
  };
  void finished(const Outcome& outcome);
  void changed() const;

  Executor& main_;
  FeedbackWorker& worker_;
  Services services_;
  std::function<void()> onChange_;

  std::string title_;
  std::string details_;
  std::optional<FeedbackImage> image_;
  bool attachLog_ = false;
  bool sending_ = false;
  std::optional<std::string> result_;
  std::optional<std::string> error_;
  bool sent_ = false;

  // Expires with the form; a send's outcome checks it first.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

// "Your report goes to choralink.app with the app version, system version
// and computer type (x86_64)."
std::string feedbackFootnote(std::string_view domain, std::string_view arch);

}  // namespace choralink::ui
