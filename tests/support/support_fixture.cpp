#include "tests/support/support_fixture.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

std::atomic<int> gRenameError{0};
std::atomic<int> gRenameAttempts{0};

}  // namespace

// This definition takes the place of the C library's for the whole test
// program (the support library calls rename(2) directly), so that a failure
// can be injected exactly between writing a file and moving it into place.
extern "C" int rename(const char* from, const char* to) noexcept {
  if (int error = gRenameError.load(); error != 0) {
    gRenameAttempts.fetch_add(1);
    errno = error;
    return -1;
  }
  return ::renameat(AT_FDCWD, from, AT_FDCWD, to);
}

namespace choralink::test {

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "choralink-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
  if (const char* old = std::getenv(name)) previous_ = old;
  if (value) {
    ::setenv(name, value->c_str(), 1);
  } else {
    ::unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (previous_) {
    ::setenv(name_.c_str(), previous_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

std::string readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void writeFile(const std::filesystem::path& file, std::string_view bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::vector<std::string> listFolder(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> lines(std::string_view text) {
  std::vector<std::string> out;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    if (end == std::string_view::npos) {
      out.emplace_back(text);
      break;
    }
    out.emplace_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  return out;
}

RenameFailure::RenameFailure(int error) {
  gRenameAttempts = 0;
  gRenameError = error;
}

RenameFailure::~RenameFailure() {
  gRenameError = 0;
}

int RenameFailure::attempts() const {
  return gRenameAttempts.load();
}

}  // namespace choralink::test
