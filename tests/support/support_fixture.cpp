#include "tests/support/support_fixture.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <cerrno>

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
