// A private temporary folder per test, and small helpers for the files in it.
#pragma once

#include <filesystem>
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

// The file's bytes; empty when it cannot be read.
std::string readFile(const std::filesystem::path& file);
// Replaces the file's bytes and returns its path; throws std::runtime_error
// when it cannot.
std::filesystem::path writeFile(const std::filesystem::path& file, std::string_view bytes);
// The names of the entries in `folder`, sorted.
std::vector<std::string> listFolder(const std::filesystem::path& folder);
// `text` split at line feeds; a final line feed ends the last line.
std::vector<std::string> lines(std::string_view text);

}  // namespace choralink::test
