#include "support/feedback/feedback_report.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "support/app_info.h"
#include "support/feedback/feedback_sanitizer.h"

namespace choralink {
namespace {

std::string lowerExtension(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  std::string ext(name.substr(dot + 1));
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

std::string_view lastComponent(std::string_view name) {
  const std::size_t slash = name.find_last_of("/\\");
  return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

bool startsWith(const std::vector<std::uint8_t>& data, std::size_t offset,
                std::initializer_list<std::uint8_t> prefix) {
  if (data.size() < offset + prefix.size()) return false;
  return std::equal(prefix.begin(), prefix.end(),
                    data.begin() + static_cast<std::ptrdiff_t>(offset));
}

// The media type the bytes announce, or nothing for anything but the three
// accepted image formats. A file renamed to .png is no screenshot.
std::optional<std::string> sniffContentType(const std::vector<std::uint8_t>& data) {
  if (startsWith(data, 0, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A})) return "image/png";
  if (startsWith(data, 0, {0xFF, 0xD8, 0xFF})) return "image/jpeg";
  if (startsWith(data, 0, {'R', 'I', 'F', 'F'}) && startsWith(data, 8, {'W', 'E', 'B', 'P'})) {
    return "image/webp";
  }
  return std::nullopt;
}

}  // namespace

FeedbackEnvironment FeedbackEnvironment::current() {
  return FeedbackEnvironment{std::string(AppInfo::version()), std::string(kChannel),
                             AppInfo::osVersion(), std::string(AppInfo::arch())};
}

void to_json(nlohmann::json& json, const FeedbackEnvironment& environment) {
  json = nlohmann::json{{"app_version", environment.appVersion},
                        {"channel", environment.channel},
                        {"macos", environment.macos},
                        {"arch", environment.arch}};
}

void from_json(const nlohmann::json& json, FeedbackEnvironment& environment) {
  if (!json.is_object() || json.size() != 4) {
    throw nlohmann::json::type_error::create(302, "environment needs exactly four members", &json);
  }
  environment.appVersion = json.at("app_version").get<std::string>();
  environment.channel = json.at("channel").get<std::string>();
  environment.macos = json.at("macos").get<std::string>();
  environment.arch = json.at("arch").get<std::string>();
}

const char* FeedbackError::messageFor(Kind kind) {
  switch (kind) {
    case Kind::emptyTitle:
      return "Please enter a title.";
    case Kind::unsupportedImageType:
      return "Screenshots must be PNG, JPEG or WebP.";
    case Kind::imageTooLarge:
      return "Screenshots must be 1 MB or smaller.";
    case Kind::imageUnreadable:
      return "Couldn't read that image.";
  }
  return "";
}

FeedbackError::FeedbackError(Kind kind) : std::runtime_error(messageFor(kind)), kind_(kind) {}

const std::map<std::string, std::string, std::less<>>& FeedbackImage::contentTypes() {
  static const std::map<std::string, std::string, std::less<>> types{
      {"png", "image/png"}, {"jpg", "image/jpeg"}, {"jpeg", "image/jpeg"}, {"webp", "image/webp"}};
  return types;
}

FeedbackImage::FeedbackImage(std::string_view filename, std::vector<std::uint8_t> data) {
  std::string cleaned = FeedbackSanitizer::title(lastComponent(filename));
  if (cleaned.empty() || !contentTypes().contains(lowerExtension(cleaned))) {
    throw FeedbackError(FeedbackError::Kind::unsupportedImageType);
  }
  if (data.size() > maxBytes) throw FeedbackError(FeedbackError::Kind::imageTooLarge);
  if (data.empty()) throw FeedbackError(FeedbackError::Kind::imageUnreadable);
  std::optional<std::string> type = sniffContentType(data);
  if (!type) throw FeedbackError(FeedbackError::Kind::unsupportedImageType);

  filename_ = std::move(cleaned);
  contentType_ = std::move(*type);
  data_ = std::move(data);
}

FeedbackImage FeedbackImage::load(const std::filesystem::path& file) {
  const std::string name = file.filename().string();
  if (!contentTypes().contains(lowerExtension(name))) {
    throw FeedbackError(FeedbackError::Kind::unsupportedImageType);
  }
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(file, error);
  if (!error && size > maxBytes) throw FeedbackError(FeedbackError::Kind::imageTooLarge);

  std::ifstream in(file, std::ios::binary);
  if (!in) throw FeedbackError(FeedbackError::Kind::imageUnreadable);
  // Read one byte past the bound: a file whose size the file system could not
  // tell (or that grows meanwhile) must not be read without limit.
  std::vector<std::uint8_t> data(maxBytes + 1);
  in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (in.bad() || (in.fail() && !in.eof())) {
    throw FeedbackError(FeedbackError::Kind::imageUnreadable);
  }
  data.resize(static_cast<std::size_t>(in.gcount()));
  return FeedbackImage(name, std::move(data));
}

FeedbackReport::FeedbackReport(std::string_view title, std::string_view description,
                               std::optional<FeedbackImage> image, std::optional<std::string> log,
                               FeedbackEnvironment environment)
    : title_(FeedbackSanitizer::title(title)),
      description_(FeedbackSanitizer::description(description)),
      environment_(std::move(environment)),
      image_(std::move(image)) {
  if (title_.empty()) throw FeedbackError(FeedbackError::Kind::emptyTitle);
  if (log) log_ = FeedbackSanitizer::tailUTF8(FeedbackSanitizer::log(*log), maxLogBytes);
}

std::string FeedbackReport::jsonBody() const {
  nlohmann::json body{
      {"title", title_}, {"description", description_}, {"environment", environment_}};
  if (image_) {
    body["image"] = {{"filename", image_->filename()},
                     {"content_type", image_->contentType()},
                     {"size_bytes", image_->data().size()},
                     {"data_base64", base64Encode(image_->data())}};
  }
  if (log_ && !log_->empty()) body["log"] = *log_;
  // nlohmann::json keeps object members in a sorted map, so keys come out
  // sorted; dump() without indent is compact.
  return body.dump();
}

std::string base64Encode(const std::vector<std::uint8_t>& bytes) {
  static constexpr std::array<char, 64> kAlphabet{
      'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
      'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f',
      'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v',
      'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) |
                            std::uint32_t{bytes[i + 2]};
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = std::uint32_t{bytes[i]} << 16;
    if (rest == 2) v |= std::uint32_t{bytes[i + 1]} << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace choralink
