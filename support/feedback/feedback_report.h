// One feedback submission: the user's title and description, an optional
// screenshot and an optional log attachment, cleaned and bounded on
// construction, and its JSON body for the web service.
//
// Plain values; safe to copy and to use from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace choralink {

// Where a report comes from. JSON keys: "app_version", "channel", "macos"
// (the operating system's version), "arch".
struct FeedbackEnvironment {
  std::string appVersion;
  std::string channel;
  std::string macos;
  std::string arch;

  // The product line the service files the report under.
  static constexpr std::string_view kChannel = "mac";

  // The running application's facts (AppInfo): version, kChannel, the
  // operating system's version and the processor architecture.
  static FeedbackEnvironment current();

  bool operator==(const FeedbackEnvironment&) const = default;
};

void to_json(nlohmann::json& json, const FeedbackEnvironment& environment);
// Requires exactly the four string members; throws nlohmann::json::exception
// otherwise.
void from_json(const nlohmann::json& json, FeedbackEnvironment& environment);

// A report that cannot be built; what() is the message shown to the user.
class FeedbackError : public std::runtime_error {
 public:
  enum class Kind { emptyTitle, unsupportedImageType, imageTooLarge, imageUnreadable };

  explicit FeedbackError(Kind kind);

  Kind kind() const { return kind_; }
  static const char* messageFor(Kind kind);

  bool operator==(const FeedbackError& other) const { return kind_ == other.kind_; }

 private:
  Kind kind_;
};

// One screenshot: a PNG, JPEG or WebP image of at most one mebibyte.
class FeedbackImage {
 public:
  static constexpr std::size_t maxBytes = 1048576;
  // Lower-case file extension to media type: the names a screenshot may have.
  static const std::map<std::string, std::string, std::less<>>& contentTypes();

  // Validates the name and the bytes; throws FeedbackError. The file name is
  // reduced to its last component and cleaned like a title. The media type
  // is taken from the bytes, which must be a PNG, JPEG or WebP image.
  FeedbackImage(std::string_view filename, std::vector<std::uint8_t> data);

  // Reads and validates an image file; throws FeedbackError. Neither an
  // unsupported name nor an oversized file is read.
  static FeedbackImage load(const std::filesystem::path& file);

  const std::string& filename() const { return filename_; }
  const std::string& contentType() const { return contentType_; }
  const std::vector<std::uint8_t>& data() const { return data_; }

  bool operator==(const FeedbackImage&) const = default;

 private:
  std::string filename_;
  std::string contentType_;
  std::vector<std::uint8_t> data_;
};

class FeedbackReport {
 public:
  // Upper bound of the log attachment in UTF-8 bytes.
  static constexpr std::int64_t maxLogBytes = 65536;

  // Cleans and bounds every text; throws FeedbackError (emptyTitle) when
  // nothing of the title remains.
  FeedbackReport(std::string_view title, std::string_view description,
                 std::optional<FeedbackImage> image, std::optional<std::string> log,
                 FeedbackEnvironment environment);

  const std::string& title() const { return title_; }
  const std::string& description() const { return description_; }
  const FeedbackEnvironment& environment() const { return environment_; }
  const std::optional<FeedbackImage>& image() const { return image_; }
  const std::optional<std::string>& log() const { return log_; }

  // The compact JSON request body with sorted keys; throws only if the
  // serialiser rejects a value (environment texts are not cleaned).
  std::string jsonBody() const;

  bool operator==(const FeedbackReport&) const = default;

 private:
  std::string title_;
  std::string description_;
  FeedbackEnvironment environment_;
  std::optional<FeedbackImage> image_;
  std::optional<std::string> log_;
};

// Standard Base64 with padding and without line breaks.
std::string base64Encode(const std::vector<std::uint8_t>& bytes);

}  // namespace choralink
