// An environment variable set (or unset) for one scope.
#pragma once

#include <optional>
#include <string>

namespace choralink::test {

// Sets `name` to `value` (nullopt: unsets it) and puts back what was there
// when it goes. Environment variables are process-wide: tests using this
// must not run it on several threads at once.
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

}  // namespace choralink::test
