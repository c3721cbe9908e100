// Helpers shared by the support suites: the common temporary folder,
// environment and file helpers, and a switch that makes rename(2) fail so tests can stand in for a
// crash between writing a file and moving it into place.
#pragma once

#include "tests/common/scoped_env.h"
#include "tests/common/temp_folder.h"

namespace choralink::test {

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
