// What every command-line tool of Choralink does the same way: its exit
// codes, strict parsing of option values (a value that is not what was asked
// for is an error naming it, never a silent 0 or a clamped number), and a
// scratch folder that goes on every way out.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace choralink::tools {

inline constexpr int kExitOK = 0;
// The daemon or the engine did not do what was asked (also a lost server).
inline constexpr int kExitFailure = 1;
// The command line makes no sense; nothing was done.
inline constexpr int kExitUsage = 2;
// Everything ran, and the outputs were measured not in step.
inline constexpr int kExitNotInStep = 3;

// A command line that makes no sense; what() says what was wrong.
class UsageError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// `text` as a whole number from `low` to `high` (decimal digits with an
// optional leading minus, nothing else). Throws UsageError naming `what`,
// the text and the range.
long long wholeNumber(std::string_view text, long long low, long long high,
                      const std::string& what);

// "KEY=VALUE" split at the first '='. Throws UsageError naming `option`
// when there is no '=' or the key is empty.
std::pair<std::string, std::string> keyValue(std::string_view text, const std::string& option);

// A fresh folder under the temporary folder ("<prefix>-XXXXXX"), removed
// with its content when the object goes. Throws std::runtime_error when it
// cannot be made.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& prefix);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace choralink::tools
