// Helpers shared by the support suites: a private temporary folder per test,
// environment variables restored on scope exit, small file utilities, and a
// switch that makes rename(2) fail so tests can stand in for a crash between
// writing a file and moving it into place.
#pragma once

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace choralink::test {

// A fresh folder under the system's temporary folder, removed with everything
// in it when the object goes.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Sets (or with nullopt unsets) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

std::string readFile(const std::filesystem::path& file);
void writeFile(const std::filesystem::path& file, std::string_view bytes);
// The names of the entries in `folder`, sorted.
std::vector<std::string> listFolder(const std::filesystem::path& folder);
// `text` split at line feeds; a final line feed ends the last line.
std::vector<std::string> lines(std::string_view text);

// While one exists, every rename(2) in this process fails with `error` and is
// counted.
class RenameFailure {
 public:
  explicit RenameFailure(int error);
  ~RenameFailure();
  RenameFailure(const RenameFailure&) = delete;
  RenameFailure& operator=(const RenameFailure&) = delete;

  int attempts() const;
};

}  // namespace choralink::test
