#include "tools/common/tool_args.h"

#include <stdlib.h>

#include <charconv>
#include <system_error>

namespace choralink::tools {

long long wholeNumber(std::string_view text, long long low, long long high,
                      const std::string& what) {
  const std::string range = std::to_string(low) + " to " + std::to_string(high);
  long long value = 0;
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  const bool digitsOnly = !text.empty() && text.front() != '+' && at == end;
  if (error == std::errc::result_out_of_range || (digitsOnly && (value < low || value > high))) {
    throw UsageError(what + " is " + std::string(text) + "; it must be from " + range);
  }
  if (error != std::errc() || !digitsOnly) {
    throw UsageError(what + " is \"" + std::string(text) + "\"; it must be a whole number from " +
                     range);
  }
  return value;
}

std::pair<std::string, std::string> keyValue(std::string_view text, const std::string& option) {
  const auto eq = text.find('=');
  if (eq == std::string_view::npos || eq == 0) {
    throw UsageError(option + " takes NAME=VALUE, not \"" + std::string(text) + "\"");
  }
  return {std::string(text.substr(0, eq)), std::string(text.substr(eq + 1))};
}

ScratchFolder::ScratchFolder(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot make a scratch folder in " +
                             std::filesystem::temp_directory_path().string());
  }
  path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace choralink::tools
